#ifndef BRISENDALE_LAUNCHER_ADAPTER_H
#define BRISENDALE_LAUNCHER_ADAPTER_H

#include <QObject>
#include <QString>

// Process-wide progress sink: code deep in the upgrade service reports through it without
// knowing the interface. It lives on the thread of the first GetInstance() call (the main
// thread); signals emitted from the worker reach auto-connected slots as queued calls.
class Notify_Adapter : public QObject
{
    Q_OBJECT

public:
    static Notify_Adapter* GetInstance();

    void UpdateProgress(int total, int step) const;
    void UpdateDialogText(QString text) const;

    ~Notify_Adapter() override;

signals:
    void sigUpdateProgress(int total, int current) const;
    void sigUpdateDialogText(QString text) const;

private:
    Notify_Adapter();
    Q_DISABLE_COPY(Notify_Adapter)
};

#endif // BRISENDALE_LAUNCHER_ADAPTER_H
