// Fuzzes the info channel's text handling: the announcement reader, the code matchers and the
// sender's code stream. Besides "no crash, no sanitizer report" it checks what must hold for
// any input, and aborts (which the fuzzer records) when it does not.

#include "protocol/announcement.h"
#include "protocol/infocode.h"
#include "protocol/infocodestream.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QStringList>

#include <cstdio>
#include <cstdlib>

using namespace corvane;

namespace {
void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void checkAnnouncement(const QString &text)
{
    const Announcement::Parsed parsed = Announcement::parse(text);
    if (!parsed.ok) {
        require(!parsed.errorString.isEmpty(), "a refused announcement says why");
        return;
    }
    const Announcement &a = parsed.announcement;
    require(a.size >= 0, "a parsed size is never negative");
    require(text.startsWith(QLatin1StringView("FIS")), "only a FIS text parses");
    const qsizetype bar = text.indexOf(u'|');
    const qsizetype at = text.indexOf(u'@', bar + 1);
    require(bar > 3 && at > bar, "a parsed text holds the size, '|' and '@' in order");
    require(a.name == text.sliced(at + 1), "the name is everything after the first '@'");
    require(QString::number(a.size) == text.sliced(3, bar - 3),
            "the size is the plain decimal the text holds");
    const Announcement::Parsed again = Announcement::parse(a.text());
    require(again.ok && again.announcement.size == a.size && again.announcement.name == a.name,
            "what was read back is announced again the same");
    require(matchReceiverCode(text) == InfoCode::FileInfo, "a parsed announcement is a FIS");
}

void checkCodes(const QString &text)
{
    const InfoCode sender = matchSenderCode(text);
    const InfoCode receiver = matchReceiverCode(text);
    if (sender != InfoCode::None)
        require(text.startsWith(QLatin1StringView(infoCodeText(sender))), "sender code prefix");
    if (receiver != InfoCode::None)
        require(text.startsWith(QLatin1StringView(infoCodeText(receiver))), "receiver code prefix");
    require(sender == InfoCode::None || receiver == InfoCode::None, "no text is both sides' code");
}

// The same stream of sender codes, cut anywhere, must come out as the same messages.
void checkCodeStream(FuzzedDataProvider &data)
{
    static const char *const codes[] = {"RFC", "RFS", "ACP", "CNT"};
    QString whole;
    QStringList expected;
    const int count = data.ConsumeIntegralInRange(0, 16);
    for (int i = 0; i < count; ++i) {
        const char *code = codes[data.ConsumeIntegralInRange(0, 3)];
        whole += QLatin1StringView(code);
        expected.append(QLatin1StringView(code));
    }
    InfoCodeStream stream;
    QStringList received;
    qsizetype at = 0;
    while (at < whole.size()) {
        const qsizetype piece = data.ConsumeIntegralInRange<qsizetype>(1, whole.size() - at);
        received += stream.append(QStringView(whole).sliced(at, piece));
        at += piece;
    }
    require(received == expected, "codes cut anywhere come out whole and in order");

    // Arbitrary text cut anywhere: only whole three-character messages come out.
    InfoCodeStream noisy;
    const std::string rest = data.ConsumeRemainingBytesAsString();
    const QString text = QString::fromLocal8Bit(rest.data(), qsizetype(rest.size()));
    qsizetype produced = 0;
    for (qsizetype i = 0; i < text.size(); i += 5) {
        for (const QString &message : noisy.append(
                 QStringView(text).sliced(i).first(std::min<qsizetype>(5, text.size() - i)))) {
            require(message.size() == 3, "every message has three characters");
            produced += message.size();
        }
    }
    require(produced <= text.size(), "no message is made up");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    // The endpoint hands received info-channel bytes over in the local 8-bit encoding.
    const QString text =
        QString::fromLocal8Bit(reinterpret_cast<const char *>(bytes), qsizetype(size));
    checkAnnouncement(text);
    checkCodes(text);
    FuzzedDataProvider data(bytes, size);
    checkCodeStream(data);
    return 0;
}
