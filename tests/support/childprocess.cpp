#include "support/childprocess.h"

#include "support/testing.h"

namespace corvane::test {

ChildProcess::ChildProcess()
{
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                     [this] { out += process.readAllStandardOutput(); });
    QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                     [this] { err += process.readAllStandardError(); });
}

ChildProcess::~ChildProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
}

void ChildProcess::start(const QString &program, const QStringList &arguments,
                         const QStringList &extraEnvironment)
{
    process.setEnvironment(QProcess::systemEnvironment() + extraEnvironment);
    process.start(program, arguments);
}

bool ChildProcess::waitForOutput(const QByteArray &text, int timeoutMs)
{
    return waitUntil([&] { return out.contains(text) || err.contains(text); }, timeoutMs);
}

bool ChildProcess::finish(int timeoutMs)
{
    if (waitUntil([this] { return process.state() == QProcess::NotRunning; }, timeoutMs)) {
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        return true;
    }
    process.kill();
    process.waitForFinished();
    return false;
}

int ChildProcess::exitCode() const
{
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace corvane::test
