#include "cli/safefilename.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace corvane {

namespace {

// Room kept below NameMax for the temporary suffix and for a " (n)" counter.
constexpr int SuffixRoom = 3 + 12;

bool unwanted(char32_t codePoint)
{
    switch (QChar::category(codePoint)) {
    case QChar::Other_Control:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
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

// "stem" and ".ext"; a leading dot (".profile") belongs to the stem.
std::pair<QString, QString> splitExtension(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot <= 0)
        return {name, QString()};
    return {name.left(dot), name.mid(dot)};
}

struct Entry
{
    bool exists = false;
    bool replaceable = false; // a regular file or a link, which a rename replaces
};

// lstat, so that a dangling symbolic link still counts as taken.
Entry entryAt(const QString &path)
{
    struct stat info
    {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return {true, S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)};
}

} // namespace

QString SafeFileName::sanitize(const QString &announced)
{
    const qsizetype cut = std::max(announced.lastIndexOf(u'/'), announced.lastIndexOf(u'\\'));
    const QString base = announced.mid(cut + 1);

    QList<char32_t> kept;
    for (const char32_t codePoint : base.toUcs4()) {
        if (!unwanted(codePoint))
            kept.append(codePoint);
    }
    QString name = QString::fromUcs4(kept.constData(), kept.size());
    if (name.isEmpty() || name == u"." || name == u"..")
        return {};

    const qsizetype budget = NameMax - SuffixRoom;
    if (encodedLength(name) > budget) {
        auto [stem, extension] = splitExtension(name);
        if (encodedLength(extension) > budget / 2)
            name = shortened(name, budget);
        else
            name = shortened(stem, budget - encodedLength(extension)) + extension;
        if (name.isEmpty() || name == u"." || name == u"..")
            return {};
    }
    return name;
}

QString SafeFileName::choosePath(const QString &folder, const QString &name, bool overwrite,
                                 QString *problem)
{
    if (name.isEmpty() || name != sanitize(name)) {
        *problem = u"not a usable file name: \""_s + printable(name) + u'"';
        return {};
    }
    const auto [stem, extension] = splitExtension(name);
    constexpr int Attempts = 10000;
    for (int n = 0; n < Attempts; ++n) {
        const QString candidate =
            n == 0 ? name : stem + u" ("_s + QString::number(n) + u')' + extension;
        const QString path = folder + u'/' + candidate;
        // The name holds no separator, so this only guards against a slip above.
        if (QFileInfo(path).absolutePath() != folder) {
            *problem = u"\""_s + printable(candidate) + u"\" would lie outside "_s + folder;
            return {};
        }
        if (entryAt(path + u"TMP"_s).exists)
            continue;
        const Entry entry = entryAt(path);
        if (!entry.exists || (n == 0 && overwrite && entry.replaceable))
            return path;
    }
    *problem = u"no free name for \""_s + printable(name) + u"\" in "_s + folder;
    return {};
}

QString SafeFileName::printable(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const char32_t codePoint : text.toUcs4()) {
        if (unwanted(codePoint)) {
            shown += codePoint < 0x100
                         ? u"\\x"_s + QString::number(uint(codePoint), 16).rightJustified(2, u'0')
                         : u"\\u"_s + QString::number(uint(codePoint), 16).rightJustified(4, u'0');
        } else {
            shown += QString::fromUcs4(&codePoint, 1);
        }
    }
    return shown;
}

} // namespace corvane
