#pragma once

#include "corvane_export.h"

#include <QString>

namespace corvane {

// The one rule for a file name that a sender announces, which nobody has checked: what may be
// saved under it, and how it is shown in log lines, questions and terminal output. Both the
// windows and the command line use it, so a name is treated alike wherever it arrives.
class CORVANE_EXPORT AnnouncedName
{
public:
    // Longest file name, in bytes, that the file systems we save to accept.
    static constexpr int NameMax = 255;

    // The announced name without a directory part (up to the last "/" or "\"), without control
    // characters, line or paragraph separators, lone surrogates and the invisible format
    // characters that reorder or hide text (U+200B-U+200F, U+202A-U+202E, U+2060-U+2069,
    // U+061C, U+FEFF), shortened to fit NameMax bytes with room left for " (n)" and "TMP".
    // Empty when nothing usable is left ("", ".", "..").
    static QString safeName(const QString &announced);

    // The text with control, format, line and paragraph separator characters and lone
    // surrogates written as visible escapes (\xNN, \uNNNN for each UTF-16 unit), so that a
    // name from the network can neither act on a terminal, break a log line nor disguise
    // itself.
    static QString visible(const QString &text);
};

} // namespace corvane
