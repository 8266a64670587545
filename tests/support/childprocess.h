#pragma once

#include "support/testing.h"

#include <QProcess>

namespace corvane::test {

// A program run by a test ("NAME=value" entries added to its environment): its whole output
// gathered as it comes, waited for from the event loop, killed if it still runs when this goes.
class ChildProcess
{
public:
    ChildProcess()
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { out += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                         [this] { err += process.readAllStandardError(); });
    }
    ~ChildProcess() { process.kill(), process.waitForFinished(); }
    Q_DISABLE_COPY_MOVE(ChildProcess)

    void start(const QString &program, const QStringList &arguments,
               const QStringList &environment = {})
    {
        process.setEnvironment(QProcess::systemEnvironment() + environment);
        process.start(program, arguments);
    }
    bool finish(int timeoutMs = 20000) // false when it did not end in time
    {
        return waitUntil([this] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    }
    int exitCode() const // -1 after a crash
    {
        return process.exitStatus() == QProcess::CrashExit ? -1 : process.exitCode();
    }

    QProcess process;
    QByteArray out, err;
};

} // namespace corvane::test
