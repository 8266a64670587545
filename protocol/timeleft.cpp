#include "protocol/timeleft.h"

#include <algorithm>
#include <numeric>

using namespace Qt::StringLiterals;

namespace corvane {

void TimeLeft::addSample(int kibPerSecond)
{
    m_samples[m_next] = std::max(kibPerSecond, 0);
    m_next = (m_next + 1) % Window;
    m_count = std::min(m_count + 1, Window);
}

void TimeLeft::clear()
{
    m_count = 0;
    m_next = 0;
}

std::optional<qint64> TimeLeft::seconds(qint64 remainingBytes) const
{
    const qint64 sum = std::accumulate(m_samples.begin(), m_samples.begin() + m_count, qint64(0));
    if (m_count == 0 || sum == 0)
        return std::nullopt;
    // bytes / (sum / count * 1024), rounded up, in integers.
    const qint64 perSecondTimesCount = sum * 1024;
    const qint64 remaining = std::max<qint64>(remainingBytes, 0) * m_count;
    return (remaining + perSecondTimesCount - 1) / perSecondTimesCount;
}

QString TimeLeft::format(std::optional<qint64> seconds)
{
    if (!seconds)
        return u"--"_s;
    const qint64 hours = *seconds / 3600;
    const QString minutesSeconds = QString::number(*seconds / 60 % 60) + u':' +
                                   QString::number(*seconds % 60).rightJustified(2, u'0');
    if (hours == 0)
        return minutesSeconds;
    return QString::number(hours) + u':' + minutesSeconds.rightJustified(5, u'0');
}

} // namespace corvane
