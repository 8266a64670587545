#pragma once

#include "protocol/timeleft.h"

#include <QElapsedTimer>
#include <QString>

namespace corvane {

class Console;

// What corvane-cli shows while it works. On a terminal: one progress line on stderr, redrawn
// at most every 200 ms. Otherwise: a plain progress line at most every 5 seconds. After each
// file: one summary line on stdout (name, bytes, seconds, MiB/s, SHA-256). Messages go to stderr
// and clear the progress line first, so they never mix with it.
class ProgressPrinter
{
public:
    // Redraws in place when the console's stderr is a terminal.
    explicit ProgressPrinter(Console &console);

    void begin(const QString &name, qint64 total);
    void update(qint64 done);
    // The latest speed sample, in KiB/s; the time left is estimated from the last few.
    void setSpeed(int kibPerSecond);
    // The file is done: summary line on stdout, with the hash unless it is empty.
    void finish(qint64 bytes, const QString &sha256);
    // The file failed: the progress line goes, no summary.
    void abandon();

    // A line on stderr.
    void note(const QString &text);
    // "corvane-cli: text" on stderr.
    void error(const QString &text);

    // "512 bytes", "1.5 KiB", "3.2 MiB" in the user's language.
    static QString formatSize(qint64 bytes);

private:
    void draw();
    void clearLine();
    double bytesPerSecond() const;

    Console &m_console;
    bool m_terminal = false;
    bool m_active = false;
    bool m_lineShown = false;
    QString m_name;
    qint64 m_total = 0;
    qint64 m_done = 0;
    int m_speedSample = -1;
    TimeLeft m_timeLeft;
    QElapsedTimer m_elapsed;
    QElapsedTimer m_sinceDraw;
};

} // namespace corvane
