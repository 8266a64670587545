#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <cstring>

using namespace Qt::StringLiterals;

namespace corvane::test {

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    qint64 at = 0;
    for (; at + 4 <= size; at += 4) {
        const quint32 word = generator.generate();
        std::memcpy(bytes.data() + at, &word, 4);
    }
    for (; at < size; ++at)
        bytes[at] = char(generator.bounded(256));
    return bytes;
}

QString writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return {};
    return path;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

int openHandles(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    int count = 0;
    const QDir fds(u"/proc/self/fd"_s);
    for (const QFileInfo &fd :
         fds.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        count += fd.symLinkTarget() == target ? 1 : 0;
    return count;
}

int freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return 0;
    return probe.serverPort();
}

void settle(int ms)
{
    QTest::qWait(ms);
}

QList<qint64> firstArguments(const QSignalSpy &spy)
{
    QList<qint64> values;
    for (const QList<QVariant> &call : spy)
        values.append(call.at(0).toLongLong());
    return values;
}

} // namespace corvane::test
