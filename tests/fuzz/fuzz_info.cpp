// Fuzzed: the announcement reader, and a scripted peer saying the input as info-channel
// messages to a receiver or a sender. The first byte picks which, the second steers it.

#include "support/scriptedpeer.h"
#include "support/testing.h"

#include "protocol/announcement.h"
#include "receiver/binaryreceiver.h"
#include "sender/binarysender.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QApplication>
#include <QTemporaryDir>

#define REQUIRE(condition) ((condition) ? void() : qFatal("broken: %s", #condition))

namespace corvane::test {
const QTemporaryDir folder;
const QString target = folder.filePath("target"), temp = target + "TMP";
const QByteArray source = QByteArray("0123456789").repeated(1000);
const QString sourcePath = writeFile(folder.filePath("source"), source);

// Read whole, an announcement gives back its text; cut short before its name, it waits for more.
void parse(const QString &text)
{
    const Announcement::Parsed parsed = Announcement::parse(text);
    const qsizetype at = text.indexOf(u'@', 4);
    REQUIRE(!parsed.ok || (text.startsWith(QString("FIS%1|").arg(parsed.announcement.size)) &&
                           text.sliced(at + 1) == parsed.announcement.name));
    for (qsizetype cut = 1; parsed.ok && cut <= at; ++cut)
        REQUIRE(Announcement::isUnfinished(text.first(cut)));
}

// Flags: 1 binary channel, 8 bytes on it after each message; 2 the host refuses, else accepts
// (4: then resets the file). No temporary file outlives a failure, a reset or the receiver.
void receiver(int flags, FuzzedDataProvider &data)
{
    auto r = std::make_unique<BinaryReceiver>();
    r->setLocalPortInfo(0);
    r->setLocalPortBinary(0);
    QObject::connect(r.get(), &BinaryReceiver::SendRequest, [&] {
        if (flags & 2 ? r->RefuseSendRequest() : r->AcceptSendRequest(target) && flags & 4)
            r->ResetFile();
        REQUIRE(!(flags & 4) || !QFile::exists(temp));
    });
    QObject::connect(r.get(), &BinaryReceiver::ReceiveComplete, [&] { r->ResetFile(); });
    QObject::connect(r.get(), &BinaryReceiver::ReceiveError, [] { REQUIRE(!QFile::exists(temp)); });
    ScriptedPeer peer;
    REQUIRE(r->Listen() && peer.connectInfo(r->LocalPortInfo()) && peer.waitForInfo("CNT"));
    if (flags & 1)
        peer.connectBinary(r->LocalPortBinary());
    while (data.remaining_bytes() > 0) {
        peer.say(QByteArray::fromStdString(data.ConsumeRandomLengthString(4096)));
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        if (flags & 8 && peer.binary)
            peer.send(QByteArray::fromStdString(data.ConsumeRandomLengthString(512)));
    }
    r.reset();
    REQUIRE(!QFile::exists(temp) && filesIn(folder.path()).size() <= 2);
}

// The host streams on "ACP": each stream goes on from the read position, a failure told once.
void sender(int chunks, FuzzedDataProvider &data)
{
    ScriptedPeer peer;
    peer.readBinary = false;
    REQUIRE(peer.listen());
    BinarySender s;
    s.setChunkSize(1 + chunks * chunks);
    s.setSource(sourcePath);
    s.setRemoteHost("127.0.0.1");
    s.setRemotePortInfo(peer.infoPort());
    s.setRemotePortBinary(peer.binaryPort());
    QByteArray expected, streamed; // what the current binary connection must carry, and does
    int connections = 0, sendErrors = 0;
    QObject::connect(&s, &BinarySender::CommandAccepted, [&] {
        const qint64 from = s.ReadPosition();
        if (!s.Streaming() && (sendErrors = 0, s.SendFile()))
            expected += source.sliced(std::min<qint64>(from, source.size()));
    });
    QObject::connect(&s, &BinarySender::SendError, [&] { REQUIRE(++sendErrors == 1); });
    REQUIRE(s.Connect() && waitUntil([&] { return s.SendInfo(); }));
    while (data.remaining_bytes() > 0) {
        peer.say(QByteArray::fromStdString(data.ConsumeRandomLengthString(64)));
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        if (std::exchange(connections, peer.binaryConnections) != peer.binaryConnections)
            expected = streamed = QByteArray();
        streamed += peer.binary ? peer.binary->readAll() : QByteArray();
        REQUIRE(expected.startsWith(streamed));
    }
}
} // namespace corvane::test

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "*.warning=false"); // malformed input makes components complain
    new QApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size < 2)
        return 0;
    FuzzedDataProvider data(bytes + 2, size - 2);
    if (bytes[0] % 3 == 0)
        corvane::test::parse(
            QString::fromLocal8Bit(reinterpret_cast<const char *>(bytes) + 2, qsizetype(size) - 2));
    else
        (bytes[0] % 3 == 2 ? corvane::test::sender : corvane::test::receiver)(bytes[1], data);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // a clean heap each time
    return 0;
}
