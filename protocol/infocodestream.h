#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

namespace corvane {

// Cuts what the sender reads on its info channel into the sender's codes. Every message from
// a receiver is exactly three characters, so "ACPRFC" in one read is two messages and a
// message split over two reads is joined again. Characters that start no code are skipped one
// at a time, so a stray character never hides a code that follows it; a short tail is kept
// only while it can still become a code.
class InfoCodeStream
{
public:
    // Adds received text; returns the codes it completed, oldest first.
    QStringList append(QStringView text);

    void clear() { m_pending.clear(); }

private:
    QString m_pending;
};

} // namespace corvane
