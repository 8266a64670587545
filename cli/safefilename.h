#pragma once

#include <QString>

namespace corvane {

// Turns a name announced by a sender, which nobody checked, into a plain file name and a
// save path that lies inside the chosen folder.
class SafeFileName
{
public:
    // Longest file name, in bytes, that the file systems we save to accept.
    static constexpr int NameMax = 255;

    // The announced name without directory parts ("/" and "\"), control characters and
    // line or paragraph separators, shortened to fit NameMax with room for " (n)" and
    // "TMP". Empty when nothing usable is left ("", ".", "..").
    static QString sanitize(const QString &announced);

    // Where to save a file of that (sanitized) name in folder (a canonical path): the name
    // itself when nothing is there (or, with overwrite, when a regular file is there),
    // otherwise the first free "stem (n).ext". A name whose temporary twin (the name plus
    // "TMP") is taken counts as taken. Empty, with *problem, when the name is unsafe or no
    // free name is found.
    static QString choosePath(const QString &folder, const QString &name, bool overwrite,
                              QString *problem);

    // The text with control characters shown as \xNN, so that a name from the network can
    // be printed on a terminal without acting on it.
    static QString printable(const QString &text);
};

} // namespace corvane
