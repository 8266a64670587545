#include "cli/progressprinter.h"

#include "cli/console.h"
#include "protocol/announcedname.h"

#include <QLocale>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace corvane {

namespace {

constexpr qint64 TerminalIntervalMs = 200;
constexpr qint64 PlainIntervalMs = 5000;
constexpr int BarWidth = 20;
constexpr qsizetype NameWidth = 24;

} // namespace

ProgressPrinter::ProgressPrinter(Console &console)
    : m_console(console), m_terminal(console.errIsTerminal())
{}

void ProgressPrinter::begin(const QString &name, qint64 total)
{
    clearLine();
    m_active = true;
    m_name = AnnouncedName::visible(name);
    m_total = total;
    m_done = 0;
    m_speedSample = -1;
    m_timeLeft.clear();
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
    m_timeLeft.addSample(kibPerSecond);
}

void ProgressPrinter::finish(qint64 bytes, const QString &sha256)
{
    const qint64 nanoseconds = m_active ? m_elapsed.nsecsElapsed() : 0;
    const QString name = m_name;
    abandon();
    const double seconds = double(nanoseconds) / 1e9;
    const double mibPerSecond = seconds > 0 ? double(bytes) / (1024.0 * 1024.0) / seconds : 0.0;
    m_console.out(name + u": "_s + QString::number(bytes) + u" bytes in "_s +
                  QString::number(seconds, 'f', 3) + u" s, "_s +
                  QString::number(mibPerSecond, 'f', 2) + u" MiB/s"_s +
                  (sha256.isEmpty() ? QString() : u", SHA-256 "_s + sha256) + u'\n');
}

void ProgressPrinter::abandon()
{
    clearLine();
    m_active = false;
}

void ProgressPrinter::note(const QString &text)
{
    clearLine();
    m_console.err(text + u'\n');
    if (m_active && m_terminal)
        draw();
}

void ProgressPrinter::error(const QString &text)
{
    note(u"corvane-cli: "_s + text);
}

QString ProgressPrinter::formatSize(qint64 bytes)
{
    return QLocale().formattedDataSize(bytes, 1);
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
    const QString perSecond = formatSize(qint64(speed)) + u"/s"_s;
    const QString eta = TimeLeft::format(m_timeLeft.seconds(m_total - m_done));

    if (!m_terminal) {
        m_console.err(m_name + u": "_s + QString::number(percent) + u"% ("_s +
                      QString::number(m_done) + u" of "_s + QString::number(m_total) +
                      u" bytes), "_s + perSecond + u", ETA "_s + eta + u'\n');
        return;
    }
    QString name = m_name;
    if (name.size() > NameWidth)
        name = name.left(NameWidth - 3) + u"..."_s;
    const int filled = percent * BarWidth / 100;
    const QString bar = QString(filled, u'#') + QString(BarWidth - filled, u'-');
    m_console.err(u"\r"_s + name.leftJustified(NameWidth) + u" ["_s + bar + u"] "_s +
                  QString::number(percent).rightJustified(3) + u"%  "_s + formatSize(m_done) +
                  u" / "_s + formatSize(m_total) + u"  "_s + perSecond + u"  ETA "_s + eta +
                  u"\x1b[K"_s);
    m_lineShown = true;
}

void ProgressPrinter::clearLine()
{
    if (!m_lineShown)
        return;
    m_console.err(u"\r\x1b[K"_s);
    m_lineShown = false;
}

} // namespace corvane
