#include "demo/transferdisplay.h"

#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QTime>

#include <algorithm>
#include <limits>

using namespace Qt::StringLiterals;

namespace corvane {

namespace {
bool mustEscape(QChar c)
{
    switch (c.category()) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
    case QChar::Other_Surrogate:
        return true;
    default:
        return false;
    }
}

bool isControl(QChar c)
{
    return c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line ||
           c.category() == QChar::Separator_Paragraph;
}
} // namespace

QString timeOfDay()
{
    return QLocale::system().toString(QTime::currentTime(), QLocale::ShortFormat);
}

QString visibleText(const QString &text)
{
    if (std::none_of(text.cbegin(), text.cend(), mustEscape))
        return text;
    QString visible;
    visible.reserve(text.size() + 16);
    for (const QChar c : text) {
        if (!mustEscape(c))
            visible += c;
        else if (c.unicode() <= 0xff)
            visible += u"\\x"_s + QString::number(c.unicode(), 16).rightJustified(2, u'0');
        else
            visible += u"\\u"_s + QString::number(c.unicode(), 16).rightJustified(4, u'0');
    }
    return visible;
}

QString safeFileName(const QString &announcedName)
{
    const qsizetype lastSeparator =
        std::max(announcedName.lastIndexOf(u'/'), announcedName.lastIndexOf(u'\\'));
    QString name = announcedName.sliced(lastSeparator + 1);
    name.removeIf(isControl);
    if (name == "."_L1 || name == ".."_L1)
        return {};
    return name;
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
