#pragma once

#include <QString>

#include <optional>

class QLabel;
class QProgressBar;

namespace corvane {

// The local time of day in the system's short time format, for log lines.
QString timeOfDay();

// The whole percentage of done in total (done * 100 / total, at most 100, at least 0), or
// nothing when total is not above 0.
std::optional<int> wholePercent(qint64 done, qint64 total);

// The progress bar's maximum and value for done of total, scaled down so that both fit the
// bar's int range. Nothing when total is not above 0.
struct ProgressBarRange
{
    int maximum = 0;
    int value = 0;
};
std::optional<ProgressBarRange> progressBarRange(qint64 done, qint64 total);

// The status tick of both windows: the bar, the byte count and the percentage. With a total
// of 0 the bar keeps its maximum and shows 0, and the percentage keeps its text.
void showTransferStatus(QProgressBar *bar, QLabel *bytes, QLabel *percentage, qint64 done,
                        qint64 total);

} // namespace corvane
