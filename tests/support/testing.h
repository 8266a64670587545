#pragma once

#include <QByteArray>
#include <QString>
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
// Memory this process holds: its resident size, or under AddressSanitizer (whose quarantine
// keeps freed blocks resident) the bytes its allocator has live.
qint64 memoryInUse();
// Runs the event loop until condition holds or the time is up. It never sleeps between
// turns, so a stream that moves one block per turn runs at full speed.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 5000);
// Lets queued work run, for checks that something did not happen.
void settle(int ms = 150);
// CORVANE_SEED when set (to replay a failure), else a fresh random seed; printed either way.
quint32 seedFromEnvironment();

} // namespace corvane::test
