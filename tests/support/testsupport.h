#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class QSignalSpy;

namespace corvane::test {

// The same bytes for the same size and seed, so a failing row can be replayed.
QByteArray randomBytes(qint64 size, quint32 seed = 1);
// The path written, or an empty string when the file could not be written whole.
QString writeFile(const QString &path, const QByteArray &content);
// "<missing>" for a file that cannot be read, so a comparison shows the difference.
QByteArray readFile(const QString &path);
// Descriptors of this process that point at the file: zero once a component let it go.
int openHandles(const QString &path);
// A loopback port that nothing listens on right now.
int freePort();
// Lets queued work run, for checks that something did not happen.
void settle(int ms = 150);
// The first argument of every recorded emission, as 64-bit numbers.
QList<qint64> firstArguments(const QSignalSpy &spy);

} // namespace corvane::test
