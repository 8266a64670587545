#pragma once

#include <QString>
#include <QStringView>

namespace corvane {

// The file announcement of the info channel: "FIS", the size in plain decimal, "|", the
// reserved number "0", "@", the file name to the end of the text.
struct Announcement
{
    qint64 size = 0;
    QString name;

    // The announcement text for this size and name.
    QString text() const;

    // Reads an announcement back. A well-formed text gives the size the sender wrote and the
    // name after the first "@"; anything else gives ok == false and a sentence saying what is
    // wrong, so that a malformed text never turns into a garbage size or name.
    struct Parsed;
    static Parsed parse(QStringView text);

    // True for text that can only be the start of a message to the receiver, cut short by the
    // network: a code shorter than three letters, or an announcement that stops in its numbers,
    // before the "@" that starts the name. Such text waits for its rest instead of being read
    // as a whole message. A cut inside the name cannot be told.
    static bool isUnfinished(QStringView text);
};

struct Announcement::Parsed
{
    bool ok = false;
    Announcement announcement;
    QString errorString;
};

} // namespace corvane
