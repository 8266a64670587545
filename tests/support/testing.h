#pragma once

#include <QStringList>

#include <functional>

namespace corvane::test {

// The same bytes for the same size and seed, so a failing row can be replayed.
QByteArray randomBytes(qint64 size, quint32 seed = 1);
// The path written, or an empty string when the file could not be written whole.
QString writeFile(const QString &path, const QByteArray &content);
// "<missing>" for a file that cannot be read, so a comparison shows the difference.
QByteArray readFile(const QString &path);
// Names in a folder, hidden ones included, sorted.
QStringList filesIn(const QString &folder);
// Descriptors of this process that point at the file: zero once a component let it go.
int openHandles(const QString &path);
// Resident bytes of this process; under AddressSanitizer (its quarantine) the live allocations.
qint64 memoryInUse();
// Runs the event loop until condition holds or time is up, never sleeping between turns.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 5000);
// A file-size limit stands in for a full disk: writes beyond it fail with EFBIG. -1 lifts it.
void limitFileSize(qint64 bytes);
// Lets queued work run, for checks that something did not happen.
inline void settle(int ms = 150)
{
    waitUntil([] { return false; }, ms);
}

} // namespace corvane::test
