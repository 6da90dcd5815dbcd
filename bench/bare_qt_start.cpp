// The floor for the launcher's start without an upgrade: a widget application that
// runs its event loop once and exits. bench/install_bench.sh times both.

#include <QApplication>
#include <QTimer>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return QApplication::exec();
}
