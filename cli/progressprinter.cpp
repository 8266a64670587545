#include "cli/progressprinter.h"

#include "protocol/announcedname.h"

#include <cstdio>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace corvane {

namespace {

constexpr qint64 TerminalIntervalMs = 200;
constexpr qint64 PlainIntervalMs = 5000;
constexpr int BarWidth = 20;
constexpr qsizetype NameWidth = 24;

void write(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

QString formatDuration(qint64 seconds)
{
    const qint64 hours = seconds / 3600;
    const QString minutesSeconds = QString::number((seconds / 60) % 60) + u':' +
                                   QString::number(seconds % 60).rightJustified(2, u'0');
    if (hours == 0)
        return minutesSeconds;
    return QString::number(hours) + u':' + minutesSeconds.rightJustified(5, u'0');
}

} // namespace

ProgressPrinter::ProgressPrinter() : ProgressPrinter(::isatty(STDERR_FILENO) == 1) {}

ProgressPrinter::ProgressPrinter(bool terminal) : m_terminal(terminal) {}

void ProgressPrinter::begin(const QString &name, qint64 total)
{
    clearLine();
    m_active = true;
    m_name = AnnouncedName::visible(name);
    m_total = total;
    m_done = 0;
    m_speedSample = -1;
    m_elapsed.start();
    m_sinceDraw.start();
    if (m_terminal)
        draw();
}

void ProgressPrinter::update(qint64 done)
{
    if (!m_active)
        return;
    m_done = done;
    if (m_sinceDraw.elapsed() >= (m_terminal ? TerminalIntervalMs : PlainIntervalMs))
        draw();
}

void ProgressPrinter::setSpeed(int kibPerSecond)
{
    m_speedSample = kibPerSecond;
}

void ProgressPrinter::finish(qint64 bytes)
{
    const qint64 nanoseconds = m_active ? m_elapsed.nsecsElapsed() : 0;
    const QString name = m_name;
    abandon();
    const double seconds = double(nanoseconds) / 1e9;
    const double mibPerSecond = seconds > 0 ? double(bytes) / (1024.0 * 1024.0) / seconds : 0.0;
    write(stdout, name + u": "_s + QString::number(bytes) + u" bytes in "_s +
                      QString::number(seconds, 'f', 3) + u" s, "_s +
                      QString::number(mibPerSecond, 'f', 2) + u" MiB/s\n"_s);
}

void ProgressPrinter::abandon()
{
    clearLine();
    m_active = false;
}

void ProgressPrinter::note(const QString &text)
{
    clearLine();
    write(stderr, text + u'\n');
    if (m_active && m_terminal)
        draw();
}

void ProgressPrinter::error(const QString &text)
{
    note(u"corvane-cli: "_s + text);
}

QString ProgressPrinter::formatSpeed(double bytesPerSecond)
{
    const double kib = bytesPerSecond / 1024.0;
    if (kib < 1024.0)
        return QString::number(kib, 'f', 0) + u" KiB/s"_s;
    return QString::number(kib / 1024.0, 'f', 1) + u" MiB/s"_s;
}

QString ProgressPrinter::formatBytes(qint64 bytes)
{
    if (bytes < 1024)
        return QString::number(bytes) + u" B"_s;
    static constexpr QStringView units[] = {u"KiB", u"MiB", u"GiB", u"TiB"};
    double value = double(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    return QString::number(value, 'f', 1) + u' ' + units[unit];
}

double ProgressPrinter::bytesPerSecond() const
{
    if (m_speedSample >= 0)
        return double(m_speedSample) * 1024.0;
    const qint64 ms = m_elapsed.elapsed();
    return ms > 0 ? double(m_done) * 1000.0 / double(ms) : 0.0;
}

void ProgressPrinter::draw()
{
    m_sinceDraw.start();
    const int percent = m_total > 0 ? int(std::min<qint64>(m_done, m_total) * 100 / m_total)
                                    : (m_done > 0 ? 100 : 0);
    const double speed = bytesPerSecond();
    const qint64 remaining = std::max<qint64>(0, m_total - m_done);
    const QString eta =
        speed > 0 ? formatDuration(qint64(double(remaining) / speed + 0.5)) : u"--:--"_s;

    if (!m_terminal) {
        write(stderr, m_name + u": "_s + QString::number(percent) + u"% ("_s +
                          QString::number(m_done) + u" of "_s + QString::number(m_total) +
                          u" bytes), "_s + formatSpeed(speed) + u", ETA "_s + eta + u'\n');
        return;
    }
    QString name = m_name;
    if (name.size() > NameWidth)
        name = name.left(NameWidth - 3) + u"..."_s;
    const int filled = percent * BarWidth / 100;
    const QString bar = QString(filled, u'#') + QString(BarWidth - filled, u'-');
    write(stderr, u"\r"_s + name.leftJustified(NameWidth) + u" ["_s + bar + u"] "_s +
                      QString::number(percent).rightJustified(3) + u"%  "_s + formatBytes(m_done) +
                      u" / "_s + formatBytes(m_total) + u"  "_s + formatSpeed(speed) + u"  ETA "_s +
                      eta + u"\x1b[K"_s);
    m_lineShown = true;
}

void ProgressPrinter::clearLine()
{
    if (!m_lineShown)
        return;
    write(stderr, u"\r\x1b[K"_s);
    m_lineShown = false;
}

} // namespace corvane
