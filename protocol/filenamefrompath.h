#pragma once

#include <QString>

namespace corvane {

// The name of a file without its directory: the text after the last "\" or "/", empty when
// the path ends with one, the whole path when it holds neither.
QString fileNameFromPath(const QString &path);

} // namespace corvane
