#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

namespace corvane {

// The three-letter messages of the info channel.
enum class InfoCode {
    None,
    Connected,       // "CNT", receiver to sender
    FileInfo,        // "FIS", sender to receiver (the announcement)
    Accepted,        // "ACP", receiver to sender
    Refused,         // "RFS", receiver to sender
    ReceiveComplete, // "RFC", receiver to sender
    SendComplete,    // "FSC", sender to receiver
};

// The wire text of a code ("CNT", ...); empty for None.
QByteArray infoCodeText(InfoCode code);

// The first of the sender's codes ("RFC", "RFS", "ACP", "CNT") that the text begins with,
// compared exactly; None when it begins with none of them.
InfoCode matchSenderCode(QStringView text);

// The same for the receiver's codes ("FSC", "FIS").
InfoCode matchReceiverCode(QStringView text);

} // namespace corvane
