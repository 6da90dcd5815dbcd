#ifndef BRISENDALE_LAUNCHER_ENTRY_QUEUE_H
#define BRISENDALE_LAUNCHER_ENTRY_QUEUE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

struct archive_entry;

struct EntryFree
{
    void operator()(archive_entry* entry) const;
};
using EntryHandle = std::unique_ptr<archive_entry, EntryFree>;

// One piece of the archive, in archive order: an entry's header with its first data
// block, or a further data block of the entry before it.
struct EntryPiece
{
    EntryHandle entry; // null for a block that continues the previous entry
    std::vector<char> data;
    int64_t offset = 0; // where data goes in the entry's file

    // What the piece counts against the queue's budget.
    size_t cost() const;
};

// Hands pieces from the reading thread to the writing thread in order while holding at
// most `budget` bytes between them (a larger single piece passes alone). One producer,
// one consumer. Either side can abort; the producer ends the stream with finish().
class EntryQueue
{
public:
    explicit EntryQueue(size_t budget);
    EntryQueue(const EntryQueue&) = delete;
    EntryQueue& operator=(const EntryQueue&) = delete;

    // Blocks while the budget is used up. False, with the piece dropped, once aborted.
    bool push(EntryPiece piece);
    // Blocks until a piece is queued. False once aborted, or finished and drained.
    bool pop(EntryPiece* piece);
    // No more pieces; ok tells whether the reading side read the whole archive.
    void finish(bool ok);
    // Stops both sides: a blocked push or pop returns false at once.
    void abort();

    bool aborted() const;
    // True once finish(true) was called and nothing aborted.
    bool succeeded() const;
    // The most bytes held at once.
    size_t peak() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_has_room;
    std::condition_variable m_has_piece;
    std::deque<EntryPiece> m_pieces;
    const size_t m_budget;
    size_t m_used = 0;
    size_t m_peak = 0;
    bool m_finished = false;
    bool m_ok = false;
    bool m_aborted = false;
    bool m_producer_waits = false;
    bool m_consumer_waits = false;
};

#endif // BRISENDALE_LAUNCHER_ENTRY_QUEUE_H
