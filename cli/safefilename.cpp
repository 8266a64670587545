#include "cli/safefilename.h"

#include "protocol/announcedname.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace corvane {

namespace {

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

QString SafeFileName::choosePath(const QString &folder, const QString &name, bool overwrite,
                                 QString *problem)
{
    if (name.isEmpty() || name != AnnouncedName::safeName(name)) {
        *problem = u"not a usable file name: \""_s + AnnouncedName::visible(name) + u'"';
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
            *problem =
                u"\""_s + AnnouncedName::visible(candidate) + u"\" would lie outside "_s + folder;
            return {};
        }
        if (entryAt(path + u"TMP"_s).exists)
            continue;
        const Entry entry = entryAt(path);
        if (!entry.exists || (n == 0 && overwrite && entry.replaceable))
            return path;
    }
    *problem = u"no free name for \""_s + AnnouncedName::visible(name) + u"\" in "_s + folder;
    return {};
}

} // namespace corvane
