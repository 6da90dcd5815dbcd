#pragma once

#include "adapter.h"
#include "brisendale-service.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSemaphore>
#include <QString>
#include <QStringList>

#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// One sequence of everything that happened on the worker side, in order: the service calls
// and (through direct connections) the worker's signals.
class Journal
{
public:
    void add(const QString& entry)
    {
        QMutexLocker lock(&m_mutex);
        m_entries << entry;
    }
    QStringList entries() const
    {
        QMutexLocker lock(&m_mutex);
        return m_entries;
    }

private:
    mutable QMutex m_mutex;
    QStringList m_entries;
};

// What the fake service answers and reports, and where it writes what it was asked.
struct Script
{
    bool need_upgrade = false;
    int upgrade_result = 0;
    // Sent through the adapter from HandlePackageUpgrade, as the extractor does.
    QString dialog_text;
    std::vector<std::pair<int, int>> reports;
    // When set, PreUpgrade releases `started` and then waits for `proceed`.
    QSemaphore* started = nullptr;
    QSemaphore* proceed = nullptr;
    // When set, PostUpgrade waits (bounded) for it: the dialog must be hidden by then.
    QSemaphore* hidden = nullptr;
    // What Problem reports: nothing when `problem` is false.
    bool problem = false;
    NoticeEvent event = NoticeEvent::UpgradeFailed;
    NoticeReason reason = NoticeReason::Other;
    std::string identity;
    std::shared_ptr<Journal> journal = std::make_shared<Journal>();
    // The call that throws ("PreUpgrade", "HandlePackageUpgrade", "PostUpgrade"), and what.
    QString throw_in;
    bool throw_bad_alloc = false;
};

// A service that touches no installation; RemoveAgedFolders stays the real one.
class FakeService : public Service
{
public:
    explicit FakeService(const Script& script) : Service(Layout::OfThisProcess()), m_script(script)
    {}

    void StopService() override { m_script.journal->add("StopService"); }
    UpgradeOutcome HandlePackageUpgrade() override
    {
        m_script.journal->add("HandlePackageUpgrade");
        maybeThrow("HandlePackageUpgrade");
        const Notify_Adapter* adapter = Notify_Adapter::GetInstance();
        if (!m_script.dialog_text.isEmpty())
            adapter->UpdateDialogText(m_script.dialog_text);
        for (const auto& r : m_script.reports)
            adapter->UpdateProgress(r.first, r.second);
        UpgradeOutcome outcome;
        outcome.state = m_script.upgrade_result == 0 ? UpgradeOutcome::State::Done
                                                     : UpgradeOutcome::State::Kept;
        return outcome;
    }
    void PostUpgrade() override
    {
        if (m_script.hidden && !m_script.hidden->tryAcquire(1, 10000)) {
            m_script.journal->add("PostUpgrade while the dialog shows");
            return;
        }
        m_script.journal->add("PostUpgrade");
        maybeThrow("PostUpgrade");
    }
    void PreUpgrade() override
    {
        m_script.journal->add("PreUpgrade");
        maybeThrow("PreUpgrade");
        if (m_script.started)
            m_script.started->release();
        if (m_script.proceed)
            m_script.proceed->acquire();
    }
    bool IsNeedUpgrade() override
    {
        m_script.journal->add("IsNeedUpgrade");
        return m_script.need_upgrade;
    }

    bool Problem(NoticeEvent& event, NoticeReason& reason, std::string& identity) const override
    {
        event = m_script.event;
        reason = m_script.reason;
        identity = m_script.identity;
        return m_script.problem;
    }

private:
    void maybeThrow(const char* call) const
    {
        if (m_script.throw_in != QLatin1String(call))
            return;
        if (m_script.throw_bad_alloc)
            throw std::bad_alloc();
        throw std::runtime_error(std::string("thrown in ") + call);
    }

    Script m_script;
};
