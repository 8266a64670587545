#include "cli/commandline.h"
#include "cli/receivesession.h"
#include "cli/sendsession.h"
#include "cli/signalwatcher.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

using namespace Qt::StringLiterals;
using namespace corvane;

namespace {

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// Runs a session on the event loop until it reports its exit code; SIGINT and SIGTERM
// interrupt it cleanly.
template<typename Session, typename Options>
int run(QApplication &app, const Options &options)
{
    Session session(options);
    SignalWatcher signalWatcher;
    signalWatcher.watch();
    QObject::connect(&signalWatcher, &SignalWatcher::caught, &session, &Session::interrupt);
    QObject::connect(&session, &Session::finished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    QTimer::singleShot(0, &session, &Session::start);
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    // The components are widgets; the program needs no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Starting the headless platform warns about desktop settings that a program without a
    // display does not need; those warnings would only clutter a script's stderr.
    const QtMessageHandler previousHandler = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &, const QString &message) {
            if (type != QtDebugMsg && type != QtInfoMsg && type != QtWarningMsg)
                print(stderr, message + u'\n');
        });
    QApplication app(argc, argv);
    qInstallMessageHandler(previousHandler);
    QCoreApplication::setApplicationName(u"corvane-cli"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVANE_VERSION));

    const CommandLine::Result command = CommandLine::parse(QCoreApplication::arguments());
    switch (command.action) {
    case CommandLine::Action::ShowText:
        print(stdout, command.text);
        return ExitCode::Success;
    case CommandLine::Action::UsageError:
        print(stderr, u"corvane-cli: "_s + command.text + u'\n' + command.helpHint + u'\n');
        return ExitCode::UsageError;
    case CommandLine::Action::Send:
        return run<SendSession>(app, command.send);
    case CommandLine::Action::Receive:
        return run<ReceiveSession>(app, command.receive);
    }
    return ExitCode::UsageError;
}
