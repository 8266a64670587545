#include "protocol/announcement.h"

#include "protocol/infocode.h"

#include <limits>
#include <optional>

namespace corvane {

namespace {
constexpr QLatin1StringView prefix("FIS");

// Digits only, no sign, no leading zeros, within 64 bits.
std::optional<qint64> plainDecimal(QStringView digits)
{
    if (digits.isEmpty() || (digits.size() > 1 && digits.front() == u'0'))
        return std::nullopt;
    qint64 value = 0;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        const int digit = c.unicode() - u'0';
        if (value > (std::numeric_limits<qint64>::max() - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// The start of a plain decimal number: nothing yet, or a number that may still grow.
bool couldBeginPlainDecimal(QStringView digits)
{
    return digits.isEmpty() || plainDecimal(digits).has_value();
}

Announcement::Parsed failure(const QString &why)
{
    return {false, {}, QStringLiteral("Malformed file announcement: ") + why};
}
} // namespace

QString Announcement::text() const
{
    return prefix + QString::number(size) + u'|' + u'0' + u'@' + name;
}

Announcement::Parsed Announcement::parse(QStringView text)
{
    if (!text.startsWith(prefix))
        return failure(QStringLiteral("it does not begin with \"FIS\""));
    const qsizetype bar = text.indexOf(u'|');
    if (bar < 0)
        return failure(QStringLiteral("no \"|\" after the size"));
    const std::optional<qint64> size = plainDecimal(text.sliced(3, bar - 3));
    if (!size)
        return failure(QStringLiteral("the size is not a plain decimal number of at most 64 bits"));
    const qsizetype at = text.indexOf(u'@', bar + 1);
    if (at < 0)
        return failure(QStringLiteral("no \"@\" after the reserved number"));
    if (!plainDecimal(text.sliced(bar + 1, at - bar - 1)))
        return failure(QStringLiteral("the reserved number is not a plain decimal number"));
    return {true, {*size, text.sliced(at + 1).toString()}, {}};
}

bool Announcement::isUnfinished(QStringView text)
{
    if (text.isEmpty())
        return false;
    if (text.size() < prefix.size()) {
        return prefix.startsWith(text) ||
               QLatin1StringView(infoCodeText(InfoCode::SendComplete)).startsWith(text);
    }
    if (!text.startsWith(prefix))
        return false;
    const QStringView numbers = text.sliced(prefix.size());
    const qsizetype bar = numbers.indexOf(u'|');
    if (bar < 0)
        return couldBeginPlainDecimal(numbers);
    return plainDecimal(numbers.first(bar)).has_value() &&
           couldBeginPlainDecimal(numbers.sliced(bar + 1));
}

} // namespace corvane
