#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

namespace corvane {

// Cuts what the sender reads on its info channel into three-character messages. Every
// message from a receiver is exactly three characters, so "ACPRFC" in one read is two
// messages and a message split over two reads is joined again. A short tail is kept only
// while it can still become one of the sender's codes, so stray characters do not shift
// every later message.
class InfoCodeStream
{
public:
    // Adds received text; returns the complete messages it finished, oldest first.
    QStringList append(QStringView text);

    void clear() { m_pending.clear(); }

private:
    QString m_pending;
};

} // namespace corvane
