#include "protocol/infocodestream.h"

#include "protocol/infocode.h"

namespace corvane {

namespace {
constexpr qsizetype CodeLength = 3;

bool couldBecomeSenderCode(QStringView tail)
{
    for (const InfoCode code : {InfoCode::ReceiveComplete, InfoCode::Refused,
                                InfoCode::Accepted, InfoCode::Connected}) {
        if (QLatin1StringView(infoCodeText(code)).startsWith(tail))
            return true;
    }
    return false;
}
} // namespace

QStringList InfoCodeStream::append(QStringView text)
{
    m_pending.append(text);
    QStringList messages;
    qsizetype start = 0;
    for (; m_pending.size() - start >= CodeLength; start += CodeLength)
        messages.append(m_pending.mid(start, CodeLength));
    m_pending.remove(0, start);
    if (!couldBecomeSenderCode(m_pending))
        m_pending.clear();
    return messages;
}

} // namespace corvane
