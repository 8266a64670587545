#pragma once

#include <QAbstractSocket>
#include <QString>

namespace corvane {

// A socket failure as hosts see it: a classic socket-layer number and a plain sentence.
struct SocketError
{
    int number = 0;
    QString description;

    static SocketError fromQt(QAbstractSocket::SocketError error);
    static SocketError fromNumber(int number);
};

} // namespace corvane
