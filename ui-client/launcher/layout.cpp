#include "layout.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QString>

#include <utility>

namespace {

ustring fromQString(const QString& text)
{
    return ustring(text.toUtf8().constData());
}

} // namespace

Layout::Layout(ustring system_root, ustring home)
    : m_system_root(std::move(system_root)), m_home(std::move(home))
{}

// The running executable as the toolkit finds it: the link in /proc, resolved, or where
// argv[0] leads when /proc is not mounted.
static QString thisExecutable(const char* argv0)
{
    if (QCoreApplication::instance() != nullptr) {
        return QCoreApplication::applicationFilePath();
    }
    const QFileInfo link(QStringLiteral("/proc/self/exe"));
    if (link.isSymLink()) {
        return link.canonicalFilePath();
    }
    const QString name = QFile::decodeName(argv0 ? argv0 : "");
    QString path;
    if (name.startsWith(QLatin1Char('/'))) {
        path = name;
    } else if (name.contains(QLatin1Char('/'))) {
        path = QDir::current().absoluteFilePath(name);
    } else if (!name.isEmpty()) {
        path = QStandardPaths::findExecutable(name);
    }
    return QFileInfo(QDir::cleanPath(path)).canonicalFilePath();
}

Layout Layout::OfThisProcess(const char* argv0)
{
    const QString exe = thisExecutable(argv0);
    return Layout(fromQString(QDir::cleanPath(QFileInfo(exe).path() + QStringLiteral("/.."))),
                  fromQString(QDir::homePath()));
}
