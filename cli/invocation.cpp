#include "cli/invocation.h"

#include "cli/commandline.h"
#include "cli/console.h"
#include "cli/receivesession.h"
#include "cli/sendsession.h"

using namespace Qt::StringLiterals;

namespace corvane {

namespace {

// Starts a session whose end is the invocation's; returns how to interrupt it.
template<typename Session, typename Options>
std::function<void()> run(Invocation *invocation, const Options &options, Console &console)
{
    auto *session = new Session(options, console, invocation);
    QObject::connect(session, &Session::finished, invocation, &Invocation::finished);
    session->start();
    return [session] {
        session->interrupt();
    };
}

} // namespace

Invocation::Invocation(const QStringList &arguments, Console &console, QObject *parent)
    : QObject(parent), m_arguments(arguments), m_console(console)
{}

Invocation::~Invocation() = default;

void Invocation::start()
{
    const CommandLine::Result command = CommandLine::parse(m_arguments);
    switch (command.action) {
    case CommandLine::Action::ShowText:
        m_console.out(command.text);
        emit finished(ExitCode::Success);
        return;
    case CommandLine::Action::UsageError:
        m_console.err(u"corvane-cli: "_s + command.text + u'\n' + command.helpHint + u'\n');
        emit finished(ExitCode::UsageError);
        return;
    case CommandLine::Action::Send:
        m_interrupt = run<SendSession>(this, command.send, m_console);
        return;
    case CommandLine::Action::Receive:
        m_interrupt = run<ReceiveSession>(this, command.receive, m_console);
        return;
    }
}

void Invocation::interrupt()
{
    if (m_interrupt)
        m_interrupt();
}

} // namespace corvane
