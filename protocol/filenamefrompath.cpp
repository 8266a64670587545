#include "protocol/filenamefrompath.h"

namespace corvane {

QString fileNameFromPath(const QString &path)
{
    const qsizetype lastSeparator = std::max(path.lastIndexOf(u'\\'), path.lastIndexOf(u'/'));
    return lastSeparator < 0 ? path : path.sliced(lastSeparator + 1);
}

} // namespace corvane
