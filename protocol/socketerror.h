#pragma once

#include <QAbstractSocket>
#include <QString>

namespace corvane {

// A socket failure as hosts see it: a classic socket-layer number, its name and a plain
// sentence. A failure that no number names is reported as NetworkDown.
struct SocketError
{
    int number = 0;
    QString name;
    QString description;

    static SocketError fromQt(QAbstractSocket::SocketError error);
    static SocketError fromNumber(int number);
};

} // namespace corvane
