#pragma once

#include "support/testing.h"

#include <QProcess>

namespace corvane::test {

// A program run by a test: its output gathered as it comes, waited for from the event loop,
// killed if it still runs when this goes.
class ChildProcess
{
public:
    ChildProcess();
    ~ChildProcess() { process.kill(), process.waitForFinished(); }
    Q_DISABLE_COPY_MOVE(ChildProcess)

    // extraEnvironment: "NAME=value" entries added to this process's environment.
    void start(const QString &program, const QStringList &arguments,
               const QStringList &extraEnvironment = {})
    {
        process.setEnvironment(QProcess::systemEnvironment() + extraEnvironment);
        process.start(program, arguments);
    }
    bool waitForOutput(const QByteArray &text, int timeoutMs = 10000)
    {
        return waitUntil([&] { return out.contains(text) || err.contains(text); }, timeoutMs);
    }
    // Until it exits; false when it did not in time.
    bool finish(int timeoutMs = 20000)
    {
        return waitUntil([this] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    }
    // The exit code, or -1 after a crash.
    int exitCode() const
    {
        return process.exitStatus() == QProcess::CrashExit ? -1 : process.exitCode();
    }

    QProcess process;
    QByteArray out, err;
};

} // namespace corvane::test
