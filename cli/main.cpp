#include "cli/console.h"
#include "cli/invocation.h"
#include "cli/signalwatcher.h"

#include <QApplication>
#include <QTimer>

using namespace Qt::StringLiterals;
using namespace corvane;

int main(int argc, char *argv[])
{
    // The components are widgets; the program needs no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static Console console;
    // Starting the headless platform warns about desktop settings that a program without a
    // display does not need; those warnings would only clutter a script's stderr.
    const QtMessageHandler previousHandler = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &, const QString &message) {
            if (type != QtDebugMsg && type != QtInfoMsg && type != QtWarningMsg)
                console.err(message + u'\n');
        });
    QApplication app(argc, argv);
    qInstallMessageHandler(previousHandler);
    QCoreApplication::setApplicationName(u"corvane-cli"_s);

    Invocation invocation(QCoreApplication::arguments(), console);
    // SIGINT and SIGTERM interrupt a session cleanly.
    SignalWatcher signalWatcher;
    signalWatcher.watch();
    QObject::connect(&signalWatcher, &SignalWatcher::caught, &invocation, &Invocation::interrupt);
    QObject::connect(&invocation, &Invocation::finished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    QTimer::singleShot(0, &invocation, &Invocation::start);
    return app.exec();
}
