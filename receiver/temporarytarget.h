#pragma once

#include <QByteArrayView>
#include <QString>

namespace corvane {

// The file that an accepted transfer is written into, beside its save path, and the step
// that puts it in place. Plain POSIX calls: Qt has no portable fsync of a folder and no
// open that refuses a planted symbolic link.
//
// Until commit() succeeds the file is temporary: discard() and the destructor close and
// remove it. A commit that fails keeps it on disk (the bytes may be wanted) but closes it.
class TemporaryTarget
{
public:
    struct Outcome
    {
        bool ok = true;
        int number = 0;
        QString description;
    };

    explicit TemporaryTarget(const QString &path);
    ~TemporaryTarget();
    Q_DISABLE_COPY_MOVE(TemporaryTarget)

    QString path() const { return m_path; }
    bool isOpen() const { return m_fd >= 0; }

    // Creates the file or truncates a stale one; refuses to follow a symbolic link there.
    Outcome open();
    // Writes all of bytes at offset.
    Outcome write(qint64 offset, QByteArrayView bytes);
    // Makes the file durable and renames it over target, then makes the rename durable.
    Outcome commit(const QString &target);
    // Closes the file and removes it; harmless when already done.
    void discard();

private:
    Outcome failure(int error, const QString &what) const;
    void closeFile();
    void writeBack(qint64 end);

    QString m_path;
    int m_fd = -1;
    // Written bytes below these offsets have been handed to the disk / are on it.
    qint64 m_writeBackStarted = 0;
    qint64 m_writeBackDone = 0;
    // False only while the file is ours to remove: opened, and not yet committed or kept.
    bool m_released = true;
};

} // namespace corvane
