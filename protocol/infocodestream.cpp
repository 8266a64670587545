#include "protocol/infocodestream.h"

#include "protocol/infocode.h"

namespace corvane {

namespace {
constexpr qsizetype CodeLength = 3;

bool couldBecomeSenderCode(QStringView tail)
{
    for (const InfoCode code :
         {InfoCode::ReceiveComplete, InfoCode::Refused, InfoCode::Accepted, InfoCode::Connected}) {
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
    while (m_pending.size() - start >= CodeLength) {
        const QStringView window = QStringView(m_pending).sliced(start, CodeLength);
        if (matchSenderCode(window) != InfoCode::None) {
            messages.append(window.toString());
            start += CodeLength;
        } else {
            // A stray character must not shift every later code out of step: look for the
            // next code one character on.
            ++start;
        }
    }
    m_pending.remove(0, start);
    while (!m_pending.isEmpty() && !couldBecomeSenderCode(m_pending))
        m_pending.remove(0, 1);
    return messages;
}

} // namespace corvane
