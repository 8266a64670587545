#pragma once

#include <QString>

namespace corvane {

// Where the command line saves an announced name (made safe by AnnouncedName::safeName):
// a path that lies inside the chosen folder and replaces nothing it should keep.
class SafeFileName
{
public:
    // Where to save a file of that (safe) name in folder (a canonical path): the name
    // itself when nothing is there (or, with overwrite, when a regular file is there),
    // otherwise the first free "stem (n).ext". A name whose temporary twin (the name plus
    // "TMP") is taken counts as taken. Empty, with *problem, when the name is unsafe or no
    // free name is found.
    static QString choosePath(const QString &folder, const QString &name, bool overwrite,
                              QString *problem);
};

} // namespace corvane
