#include "support/testing.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <unistd.h>

using namespace Qt::StringLiterals;

#ifdef __SANITIZE_ADDRESS__
// From the sanitizer runtime; GCC ships no header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();

// Qt itself is not instrumented, so its reads of an object freed under it (a component deleted
// from inside one of its sockets' signals) go unseen; scribbled over, such memory makes it crash.
extern "C" const char *__asan_default_options()
{
    return "max_free_fill_size=4096:free_fill_byte=255";
}
#endif

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

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

int openHandles(const QString &path)
{
    const QString target = QFileInfo(path).absoluteFilePath();
    int count = 0;
    const QDir fds(u"/proc/self/fd"_s);
    for (const QFileInfo &fd : fds.entryInfoList(QDir::AllEntries | QDir::System))
        count += fd.symLinkTarget() == target ? 1 : 0;
    return count;
}

qint64 memoryInUse()
{
#ifdef __SANITIZE_ADDRESS__
    return qint64(__sanitizer_get_current_allocated_bytes());
#endif
    QFile statm(u"/proc/self/statm"_s);
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * ::sysconf(_SC_PAGESIZE) : -1;
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    if (condition())
        return true;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start(1);
    loop.exec();
    return condition();
}

void settle(int ms)
{
    waitUntil([] { return false; }, ms);
}

quint32 seedFromEnvironment()
{
    bool fixed = false;
    const quint32 given = qEnvironmentVariable("CORVANE_SEED").toUInt(&fixed);
    const quint32 seed = fixed ? given : QRandomGenerator::global()->generate();
    std::fprintf(stderr, "seed %u (replay with CORVANE_SEED=%u)\n", seed, seed);
    return seed;
}

} // namespace corvane::test
