#include "demo/transferdisplay.h"

#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QTime>

#include <algorithm>
#include <limits>

using namespace Qt::StringLiterals;

namespace corvane {

QString timeOfDay()
{
    return QLocale::system().toString(QTime::currentTime(), QLocale::ShortFormat);
}

std::optional<int> wholePercent(qint64 done, qint64 total)
{
    if (total <= 0)
        return std::nullopt;
    const qint64 clamped = std::clamp<qint64>(done, 0, total);
    // total below 2^63 / 100 keeps the product exact; beyond that, divide first.
    if (total <= std::numeric_limits<qint64>::max() / 100)
        return int(clamped * 100 / total);
    return int(clamped / (total / 100));
}

std::optional<ProgressBarRange> progressBarRange(qint64 done, qint64 total)
{
    if (total <= 0)
        return std::nullopt;
    const qint64 clamped = std::clamp<qint64>(done, 0, total);
    const qint64 divisor = total / std::numeric_limits<int>::max() + 1;
    return ProgressBarRange{int(total / divisor), int(clamped / divisor)};
}

void showTransferStatus(QProgressBar *bar, QLabel *bytes, QLabel *percentage, qint64 done,
                        qint64 total)
{
    if (const auto range = progressBarRange(done, total)) {
        bar->setMaximum(range->maximum);
        bar->setValue(range->value);
    } else {
        bar->setValue(0);
    }
    bytes->setText(QString::number(done));
    if (const auto percent = wholePercent(done, total))
        percentage->setText(QString::number(*percent) + u'%');
}

} // namespace corvane
