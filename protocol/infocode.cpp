#include "protocol/infocode.h"

#include <array>
#include <utility>

namespace corvane {

namespace {
using CodeEntry = std::pair<InfoCode, const char *>;

constexpr std::array<CodeEntry, 4> senderCodes{{
    {InfoCode::ReceiveComplete, "RFC"},
    {InfoCode::Refused, "RFS"},
    {InfoCode::Accepted, "ACP"},
    {InfoCode::Connected, "CNT"},
}};

constexpr std::array<CodeEntry, 2> receiverCodes{{
    {InfoCode::SendComplete, "FSC"},
    {InfoCode::FileInfo, "FIS"},
}};

template<std::size_t N>
InfoCode matchIn(const std::array<CodeEntry, N> &codes, QStringView text)
{
    for (const auto &[code, wire] : codes) {
        if (text.startsWith(QLatin1StringView(wire), Qt::CaseSensitive))
            return code;
    }
    return InfoCode::None;
}
} // namespace

QByteArray infoCodeText(InfoCode code)
{
    switch (code) {
    case InfoCode::Connected:
        return QByteArrayLiteral("CNT");
    case InfoCode::FileInfo:
        return QByteArrayLiteral("FIS");
    case InfoCode::Accepted:
        return QByteArrayLiteral("ACP");
    case InfoCode::Refused:
        return QByteArrayLiteral("RFS");
    case InfoCode::ReceiveComplete:
        return QByteArrayLiteral("RFC");
    case InfoCode::SendComplete:
        return QByteArrayLiteral("FSC");
    case InfoCode::None:
        break;
    }
    return {};
}

InfoCode matchSenderCode(QStringView text)
{
    return matchIn(senderCodes, text);
}

InfoCode matchReceiverCode(QStringView text)
{
    return matchIn(receiverCodes, text);
}

} // namespace corvane
