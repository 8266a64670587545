#include "protocol/announcedname.h"

#include <QFile>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace corvane {

namespace {

// Room kept below NameMax for a " (n)" counter and the temporary suffix "TMP".
constexpr int SuffixRoom = 12 + 3;

// Format characters that reorder text or take no room, so that "invoice<U+202E>fdp.exe" reads
// as "invoiceexe.pdf". U+2065 is unassigned but lies among the isolates, so it goes with them.
bool hidesText(char32_t c)
{
    return (c >= 0x200b && c <= 0x200f) || (c >= 0x202a && c <= 0x202e) ||
           (c >= 0x2060 && c <= 0x2069) || c == 0x061c || c == 0xfeff;
}

// Characters that no file name should hold; a surrogate reaches here only when it is alone.
bool breaksName(char32_t c)
{
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
    case QChar::Other_Surrogate:
        return true;
    default:
        return hidesText(c);
    }
}

bool mustEscape(char32_t c)
{
    return breaksName(c) || QChar::category(c) == QChar::Other_Format;
}

// Calls visit(code point, its UTF-16 units) for each code point of text.
template<typename Visit>
void forEachCodePoint(QStringView text, Visit visit)
{
    for (qsizetype i = 0; i < text.size();) {
        const bool pair =
            text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
        const QStringView units = text.sliced(i, pair ? 2 : 1);
        visit(pair ? QChar::surrogateToUcs4(units[0], units[1]) : char32_t(units[0].unicode()),
              units);
        i += units.size();
    }
}

qsizetype encodedLength(const QString &name)
{
    return QFile::encodeName(name).size();
}

// Drops whole code points from the end until the name fits the byte budget.
QString shortened(QString text, qsizetype budget)
{
    while (!text.isEmpty() && encodedLength(text) > budget) {
        text.chop(1);
        if (!text.isEmpty() && text.back().isHighSurrogate())
            text.chop(1);
    }
    return text;
}

bool usable(const QString &name)
{
    return !name.isEmpty() && name != "."_L1 && name != ".."_L1;
}

} // namespace

QString AnnouncedName::safeName(const QString &announced)
{
    const qsizetype cut = std::max(announced.lastIndexOf(u'/'), announced.lastIndexOf(u'\\'));
    QString name;
    forEachCodePoint(QStringView(announced).sliced(cut + 1),
                     [&name](char32_t c, QStringView units) {
                         if (!breaksName(c))
                             name += units;
                     });

    constexpr qsizetype budget = NameMax - SuffixRoom;
    if (usable(name) && encodedLength(name) > budget) {
        // Keep the extension where it is short, so that the file still opens as what it is.
        const qsizetype dot = name.lastIndexOf(u'.');
        const QString extension = dot > 0 ? name.mid(dot) : QString();
        if (encodedLength(extension) > budget / 2)
            name = shortened(name, budget);
        else
            name = shortened(name.left(name.size() - extension.size()),
                             budget - encodedLength(extension)) +
                   extension;
    }
    return usable(name) ? name : QString();
}

QString AnnouncedName::visible(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    forEachCodePoint(text, [&shown](char32_t c, QStringView units) {
        if (!mustEscape(c)) {
            shown += units;
            return;
        }
        for (const QChar unit : units) {
            shown += unit.unicode() <= 0xff
                         ? u"\\x"_s + QString::number(unit.unicode(), 16).rightJustified(2, u'0')
                         : u"\\u"_s + QString::number(unit.unicode(), 16).rightJustified(4, u'0');
        }
    });
    return shown;
}

} // namespace corvane
