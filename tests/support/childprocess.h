#pragma once

#include <QProcess>

namespace corvane::test {

// A program run by a test: its output gathered as it comes, waited for from the event loop.
class ChildProcess
{
public:
    ChildProcess();
    ~ChildProcess();
    Q_DISABLE_COPY_MOVE(ChildProcess)

    // extraEnvironment: "NAME=value" entries added to this process's environment.
    void start(const QString &program, const QStringList &arguments,
               const QStringList &extraEnvironment = {});
    bool waitForOutput(const QByteArray &text, int timeoutMs = 10000);
    // Until it exits; false when it had to be killed.
    bool finish(int timeoutMs = 20000);
    // The exit code, or -1 after a crash.
    int exitCode() const;

    QProcess process;
    QByteArray out;
    QByteArray err;
};

} // namespace corvane::test
