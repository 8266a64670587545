#pragma once

#include <QString>

#include <optional>

class QLabel;
class QProgressBar;

namespace corvane {

// The local time of day in the system's short time format, for log lines.
QString timeOfDay();

// The text with control, line-separator and format characters written as visible escapes
// (\xNN or \uNNNN), so that a name from the network can neither break a log line nor hide
// what it is.
QString visibleText(const QString &text);

// A name to offer in the save dialog for an announced name: no directory part (after the last
// "/" or "\"), no control characters, and nothing at all for "." or "..".
QString safeFileName(const QString &announcedName);

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
