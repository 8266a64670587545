#include "support/testing.h"

#include <QDir>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTimer>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

#ifdef __SANITIZE_ADDRESS__
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
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(seed).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

QString writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QFile::WriteOnly) && file.write(content) == content.size() ? path : QString();
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
    int count = 0;
    for (const QFileInfo &fd :
         QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::AllEntries | QDir::System))
        count += fd.symLinkTarget() == QFileInfo(path).absoluteFilePath() ? 1 : 0;
    return count;
}

qint64 memoryInUse()
{
#ifdef __SANITIZE_ADDRESS__
    return qint64(__sanitizer_get_current_allocated_bytes());
#endif
    const QList<QByteArray> fields = readFile(QStringLiteral("/proc/self/statm")).split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * ::sysconf(_SC_PAGESIZE) : -1;
}

void limitFileSize(qint64 bytes)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = bytes < 0 ? limit.rlim_max : std::min(rlim_t(bytes), limit.rlim_max);
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    if (condition())
        return true;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] { condition() ? loop.quit() : void(); });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start(1);
    loop.exec();
    return condition();
}

} // namespace corvane::test
