#ifndef BRISENDALE_QTSINGLEAPPLICATION_H
#define BRISENDALE_QTSINGLEAPPLICATION_H

#include <QApplication>
#include <QString>

#include <memory>

class QLockFile;

// A widget application that also tells whether another process of the same
// user already runs the same installed executable.
//
// The identity is a hash of the executable's canonical path and the user id.
// The guard is a lock file that only this host sees: in a private folder of the
// user below the temporary folder, else in the runtime folder /run/user/UID,
// else in the home's cache folder under a name that holds the host name. It is
// taken in the constructor and held until the object is destroyed. A holder
// that crashed or was killed does not block later starts, whatever host its
// file names.
class QtSingleApplication : public QApplication
{
    Q_OBJECT

public:
    // GUIenabled only tells whether widgets are wanted; this object is always a
    // QApplication, which needs a display or the offscreen platform.
    QtSingleApplication(int& argc, char** argv, bool GUIenabled = true);
    ~QtSingleApplication() override;

    // True when another instance held the guard at construction time; this
    // process then does not hold it.
    bool isRunning() const;

    // The identity of this executable for this user (stable across runs).
    QString id() const;

    // The lock file path this instance tried to take.
    QString lockFilePath() const;

private:
    bool m_running = false;
    QString m_id;
    QString m_lock_path;
    std::unique_ptr<QLockFile> m_lock;
};

#endif // BRISENDALE_QTSINGLEAPPLICATION_H
