#include "receiver/temporarytarget.h"

#include "protocol/errornumber.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace corvane {

namespace {
// A large file is handed to the disk in steps while it arrives, and flushed in larger ones,
// so no flush, the one at completion included, stalls the event loop for long.
constexpr qint64 WriteBackStep = 4 * 1024 * 1024;
constexpr qint64 FlushStep = 16 * 1024 * 1024;

QString reason(int error)
{
    return qt_error_string(error);
}

TemporaryTarget::Outcome saveFailure(const QString &from, const QString &to, const QString &why)
{
    return {false, ErrorNumber::SaveFailed,
            QStringLiteral("Could not save \"%1\" as \"%2\": %3").arg(from, to, why)};
}

// Makes a rename inside folder durable. Some filesystems cannot flush a folder at all
// (EINVAL); nothing more can be done there, so that is not a failure.
int syncFolder(const QString &folder)
{
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int error = 0;
    if (::fsync(fd) != 0 && errno != EINVAL)
        error = errno;
    ::close(fd);
    return error;
}
} // namespace

TemporaryTarget::TemporaryTarget(const QString &path) : m_path(path) {}

TemporaryTarget::~TemporaryTarget()
{
    discard();
}

TemporaryTarget::Outcome TemporaryTarget::failure(int error, const QString &what) const
{
    int number = ErrorNumber::PathFileAccess;
    switch (error) {
    case ENOSPC:
    case EFBIG:
    case EDQUOT:
        number = ErrorNumber::DiskFull;
        break;
    case ENOENT:
    case ENOTDIR:
        number = ErrorNumber::PathNotFound;
        break;
    default:
        break;
    }
    return {false, number, QStringLiteral("%1 \"%2\": %3").arg(what, m_path, reason(error))};
}

TemporaryTarget::Outcome TemporaryTarget::open()
{
    discard();
    const QByteArray name = QFile::encodeName(m_path);
    do {
        m_fd =
            ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd >= 0) {
        m_released = false;
        m_writeBackStarted = 0;
        m_writeBackDone = 0;
        return {};
    }
    const int error = errno;
    if (error == ELOOP) {
        return {false, ErrorNumber::PathFileAccess,
                QStringLiteral("\"%1\" is a symbolic link; the temporary file is never opened "
                               "through one")
                    .arg(m_path)};
    }
    return failure(error, QStringLiteral("Cannot open the temporary file"));
}

TemporaryTarget::Outcome TemporaryTarget::write(qint64 offset, QByteArrayView bytes)
{
    if (m_fd < 0)
        return {false, ErrorNumber::PathFileAccess,
                QStringLiteral("The temporary file \"%1\" is not open").arg(m_path)};
    const char *data = bytes.data();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::pwrite(m_fd, data, size_t(left), off_t(offset));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return failure(errno, QStringLiteral("Cannot write to the temporary file"));
        }
        if (written == 0)
            return failure(EIO, QStringLiteral("Cannot write to the temporary file"));
        data += written;
        offset += written;
        left -= written;
    }
    writeBack(offset);
    return {};
}

void TemporaryTarget::writeBack(qint64 end)
{
    if (end - m_writeBackStarted >= WriteBackStep) {
        // Only a hint to the kernel: the flush at commit still decides whether the file is safe.
        ::sync_file_range(m_fd, m_writeBackStarted, end - m_writeBackStarted,
                          SYNC_FILE_RANGE_WRITE);
        m_writeBackStarted = end;
    }
    // The disk's own cache is emptied only by a flush, whose cost grows with what was written
    // since the last one: flushing in steps keeps each wait, and the one at commit, short.
    if (end - m_writeBackDone >= FlushStep) {
        ::fdatasync(m_fd);
        m_writeBackDone = end;
    }
}

TemporaryTarget::Outcome TemporaryTarget::commit(const QString &target)
{
    if (m_fd < 0)
        return saveFailure(m_path, target, QStringLiteral("the temporary file is not open"));
    // From here on a failure keeps the temporary file: its bytes are all the host has left.
    m_released = true;
    if (::fsync(m_fd) != 0) {
        const int error = errno;
        closeFile();
        return saveFailure(m_path, target, reason(error));
    }
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR)
        return saveFailure(m_path, target, reason(errno));
    if (::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(target).constData()) != 0)
        return saveFailure(m_path, target, reason(errno));
    if (const int error = syncFolder(QFileInfo(target).absolutePath()); error != 0) {
        return {false, ErrorNumber::SaveFailed,
                QStringLiteral("\"%1\" was renamed to \"%2\", but its folder could not be "
                               "flushed to disk: %3")
                    .arg(m_path, target, reason(error))};
    }
    return {};
}

void TemporaryTarget::discard()
{
    closeFile();
    if (!m_released) {
        ::unlink(QFile::encodeName(m_path).constData());
        m_released = true;
    }
}

void TemporaryTarget::closeFile()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

} // namespace corvane
