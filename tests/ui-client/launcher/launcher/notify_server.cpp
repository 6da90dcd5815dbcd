// A notification service for the tests: takes the freedesktop name on the session bus,
// appends each Notify call to the file named by argv[1] (one line: application, icon,
// summary, body with its line breaks as "|", the hint names) and answers with an id.
// Prints "ready" once the name is taken.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QFile>
#include <QStringList>
#include <QVariantMap>

#include <cstdio>

namespace {

class Recorder : public QDBusVirtualObject
{
public:
    explicit Recorder(QString file) : m_file(std::move(file)) {}

    QString introspect(const QString&) const override { return QString(); }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        const QList<QVariant> args = message.arguments();
        if (message.member() != QLatin1String("Notify") || args.size() != 8)
            return false;
        QStringList fields;
        fields << args[0].toString() << args[2].toString() << args[3].toString()
               << args[4].toString().replace(QLatin1Char('\n'), QLatin1Char('|'))
               << QStringList(qdbus_cast<QVariantMap>(args[6]).keys()).join(QLatin1Char(','));
        QFile out(m_file);
        if (out.open(QIODevice::Append)) {
            out.write(fields.join(QLatin1Char('\t')).toUtf8() + '\n');
            out.close();
        }
        connection.send(message.createReply(QVariant::fromValue(++m_serial)));
        return true;
    }

private:
    QString m_file;
    uint m_serial = 0;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    Recorder recorder(QString::fromLocal8Bit(argv[1]));
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), &recorder) ||
        !bus.registerService(QStringLiteral("org.freedesktop.Notifications")))
        return 1;
    std::puts("ready");
    std::fflush(stdout);
    return app.exec();
}
