#include "adapter.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>
#include <QThread>

#include <atomic>
#include <vector>

namespace {

// Records every delivery in one sequence, so the order across the two signals is visible.
class Receiver : public QObject
{
public:
    struct Event
    {
        QString kind;
        int total;
        int current;
        QString text;
        QThread* thread;
    };
    std::vector<Event> events;

    void onProgress(int total, int current)
    {
        events.push_back({"progress", total, current, {}, QThread::currentThread()});
    }
    void onText(QString text) { events.push_back({"text", 0, 0, text, QThread::currentThread()}); }
};

// Runs fn on a fresh thread, joined before return.
template <typename Fn>
void runOnWorker(Fn fn)
{
    std::unique_ptr<QThread> t(QThread::create(fn));
    t->start();
    ASSERT_TRUE(t->wait(30000));
}

TEST(NotifyAdapter, SameInstanceFromEveryThread)
{
    Notify_Adapter* here = Notify_Adapter::GetInstance();
    std::atomic<Notify_Adapter*> there{nullptr};
    runOnWorker([&] { there = Notify_Adapter::GetInstance(); });
    EXPECT_EQ(here, there.load());
    EXPECT_EQ(here, Notify_Adapter::GetInstance());
    EXPECT_EQ(here->thread(), QCoreApplication::instance()->thread());
}

TEST(NotifyAdapter, WorkerCallsArriveQueuedOnMainThreadInEmissionOrder)
{
    Notify_Adapter* adapter = Notify_Adapter::GetInstance();
    Receiver receiver;
    QObject::connect(adapter, &Notify_Adapter::sigUpdateProgress, &receiver, &Receiver::onProgress);
    QObject::connect(adapter, &Notify_Adapter::sigUpdateDialogText, &receiver, &Receiver::onText);
    QSignalSpy progressSpy(adapter, &Notify_Adapter::sigUpdateProgress);
    QSignalSpy textSpy(adapter, &Notify_Adapter::sigUpdateDialogText);

    runOnWorker([adapter] {
        QString text = QStringLiteral("Brisendale Drive is initializing...");
        adapter->UpdateProgress(3, 1);
        adapter->UpdateDialogText(text);
        // The queued call must carry its own copy, not a reference to the caller's string.
        text = QStringLiteral("changed after emission");
        adapter->UpdateProgress(3, 2);
        adapter->UpdateProgress(3, 3);
    });

    // Nothing runs on the receiver's thread before its event loop does.
    EXPECT_TRUE(receiver.events.empty());
    QCoreApplication::processEvents();
    QObject::disconnect(adapter, nullptr, &receiver, nullptr);

    ASSERT_EQ(receiver.events.size(), 4u);
    const QThread* mainThread = QCoreApplication::instance()->thread();
    EXPECT_EQ(receiver.events[0].kind, "progress");
    EXPECT_EQ(receiver.events[0].total, 3);
    EXPECT_EQ(receiver.events[0].current, 1);
    EXPECT_EQ(receiver.events[1].kind, "text");
    EXPECT_EQ(receiver.events[1].text, "Brisendale Drive is initializing...");
    EXPECT_EQ(receiver.events[2].current, 2);
    EXPECT_EQ(receiver.events[3].current, 3);
    for (const auto& e : receiver.events)
        EXPECT_EQ(e.thread, mainThread);

    ASSERT_EQ(progressSpy.count(), 3);
    EXPECT_EQ(progressSpy.at(0).at(0).toInt(), 3);
    EXPECT_EQ(progressSpy.at(2).at(1).toInt(), 3);
    ASSERT_EQ(textSpy.count(), 1);
    EXPECT_EQ(textSpy.at(0).at(0).toString(), "Brisendale Drive is initializing...");
}

TEST(NotifyAdapter, CallsWithoutReceiversAreHarmless)
{
    Notify_Adapter* adapter = Notify_Adapter::GetInstance();
    runOnWorker([adapter] {
        adapter->UpdateProgress(10, 5);
        adapter->UpdateDialogText(QString());
    });
    QCoreApplication::processEvents();
    // A receiver connected afterwards sees nothing of the earlier calls.
    QSignalSpy spy(adapter, &Notify_Adapter::sigUpdateProgress);
    QCoreApplication::processEvents();
    EXPECT_EQ(spy.count(), 0);
    adapter->UpdateProgress(1, 1);
    EXPECT_EQ(spy.count(), 1);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
