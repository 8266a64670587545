#include "support/childprocess.h"

namespace corvane::test {

ChildProcess::ChildProcess()
{
    // QProcess drains both pipes before it reports the end, so nothing written is lost.
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                     [this] { out += process.readAllStandardOutput(); });
    QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                     [this] { err += process.readAllStandardError(); });
}

} // namespace corvane::test
