#include "entry_queue.h"

#include <archive_entry.h>

#include <utility>

namespace {

// A cloned header with its path strings; counted so that a stream of empty files
// cannot queue without bound.
const size_t HEADER_COST = 1024;

} // namespace

void EntryFree::operator()(archive_entry* entry) const
{
    archive_entry_free(entry);
}

size_t EntryPiece::cost() const
{
    return data.size() + (entry ? HEADER_COST : 0);
}

EntryQueue::EntryQueue(size_t budget) : m_budget(budget) {}

// Wakes the other side only when it sleeps, and a sleeping consumer only once a few
// pieces wait: each wake-up is a context switch on a machine with few cores.
bool EntryQueue::push(EntryPiece piece)
{
    const size_t cost = piece.cost();
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_aborted && m_used > 0 && m_used + cost > m_budget) {
        if (m_consumer_waits) {
            m_has_piece.notify_one();
        }
        m_producer_waits = true;
        m_has_room.wait(lock);
        m_producer_waits = false;
    }
    if (m_aborted) {
        return false;
    }
    m_pieces.push_back(std::move(piece));
    m_used += cost;
    if (m_used > m_peak) {
        m_peak = m_used;
    }
    if (m_consumer_waits && m_used >= m_budget / 8) {
        m_has_piece.notify_one();
    }
    return true;
}

bool EntryQueue::pop(EntryPiece* piece)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_aborted && !m_finished && m_pieces.empty()) {
        if (m_producer_waits) {
            m_has_room.notify_one();
        }
        m_consumer_waits = true;
        m_has_piece.wait(lock);
        m_consumer_waits = false;
    }
    if (m_aborted || m_pieces.empty()) {
        return false;
    }
    *piece = std::move(m_pieces.front());
    m_pieces.pop_front();
    m_used -= piece->cost();
    if (m_producer_waits && m_used <= m_budget / 2) {
        m_has_room.notify_one();
    }
    return true;
}

void EntryQueue::finish(bool ok)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_finished = true;
    m_ok = ok;
    m_has_piece.notify_one();
}

void EntryQueue::abort()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_aborted = true;
    m_pieces.clear();
    m_used = 0;
    m_has_piece.notify_one();
    m_has_room.notify_one();
}

bool EntryQueue::aborted() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_aborted;
}

bool EntryQueue::succeeded() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_finished && m_ok && !m_aborted;
}

size_t EntryQueue::peak() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_peak;
}
