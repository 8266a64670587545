#pragma once

#include <QObject>
#include <QStringList>

#include <functional>

namespace corvane {

class Console;

// One run of corvane-cli, from its arguments to its exit code: help, version and usage
// errors are answered at once, a command runs as a session on the event loop.
class Invocation final : public QObject
{
    Q_OBJECT

public:
    // arguments as QCoreApplication::arguments() gives them (the program first).
    Invocation(const QStringList &arguments, Console &console, QObject *parent = nullptr);
    ~Invocation() override;
    Q_DISABLE_COPY_MOVE(Invocation)

    void start();
    // Ctrl-C or SIGTERM: the session ends cleanly.
    void interrupt();

signals:
    void finished(int exitCode);

private:
    QStringList m_arguments;
    Console &m_console;
    std::function<void()> m_interrupt;
};

} // namespace corvane
