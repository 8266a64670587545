// Everything that reads the info channel, fuzzed. The first byte picks the reader: the parse of
// an announcement, whole or cut short, or a BinaryReceiver or a BinarySender fed by a scripted
// peer that the second byte steers. It aborts where a rule for any input breaks.

#include "support/scriptedpeer.h"
#include "support/testing.h"

#include "protocol/announcement.h"
#include "receiver/binaryreceiver.h"
#include "sender/binarysender.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QApplication>
#include <QTemporaryDir>

#define REQUIRE(condition) ((condition) ? void() : qFatal("broken: %s", #condition))

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;

namespace {
const QTemporaryDir folder;
const QString target = folder.filePath(u"target"_s), sourcePath = folder.filePath(u"source"_s);
const QByteArray source = QByteArray("0123456789").repeated(1000);

// The peer says each message of the input on the info channel; step() follows each.
void feed(FuzzedDataProvider &data, ScriptedPeer &peer, size_t longest, const auto &step)
{
    while (data.remaining_bytes() > 0) {
        peer.say(QByteArray::fromStdString(data.ConsumeRandomLengthString(longest)));
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        step();
    }
}

void parse(const QString &text)
{
    const Announcement::Parsed parsed = Announcement::parse(text);
    const qsizetype at = text.indexOf(u'@', 4);
    REQUIRE(!parsed.ok || (text.startsWith(u"FIS%1|"_s.arg(parsed.announcement.size)) &&
                           text.sliced(at + 1) == parsed.announcement.name));
    // Cut short before its name, an announcement waits for the rest.
    for (qsizetype cut = 1; parsed.ok && cut <= at; ++cut)
        REQUIRE(Announcement::isUnfinished(text.first(cut)));
}

// Flags: 1 the peer opens the binary channel, 8 it sends bytes there; the host refuses each
// announcement (2) or accepts it, and resets the file at once (4).
void receiver(int flags, FuzzedDataProvider &data)
{
    const QString temporary = target + u"TMP"_s;
    auto r = std::make_unique<BinaryReceiver>();
    r->setLocalPortInfo(0);
    r->setLocalPortBinary(0);
    REQUIRE(r->Listen());
    QObject::connect(r.get(), &BinaryReceiver::SendRequest, [&] {
        if (flags & 2 ? r->RefuseSendRequest() : r->AcceptSendRequest(target) && flags & 4)
            r->ResetFile();
        REQUIRE(!(flags & 4) || !QFile::exists(temporary));
    });
    QObject::connect(r.get(), &BinaryReceiver::ReceiveComplete, [&] { r->ResetFile(); });
    QObject::connect(r.get(), &BinaryReceiver::ReceiveError,
                     [&] { REQUIRE(!QFile::exists(temporary)); });
    ScriptedPeer peer;
    REQUIRE(peer.connectInfo(r->LocalPortInfo()) && peer.waitForInfo("CNT"));
    if (flags & 1)
        peer.connectBinary(r->LocalPortBinary());
    feed(data, peer, 4096, [&] {
        if (flags & 8 && peer.binary)
            peer.send(QByteArray::fromStdString(data.ConsumeRandomLengthString(512)));
    });
    r.reset();
    // Nothing but the source and the chosen target.
    REQUIRE(!QFile::exists(temporary) && filesIn(folder.path()).size() <= 2);
    QFile::remove(target);
}

// Flags: 2 the host streams on "ACP", 4 it sets the file up again after each end.
void sender(int flags, int chunkSize, FuzzedDataProvider &data)
{
    ScriptedPeer peer;
    peer.readBinary = false;
    REQUIRE(peer.listen());
    // What the current binary connection must carry: each stream goes on from the read position.
    QByteArray expected, streamed;
    int sendErrors = 0, connections = 0;
    auto s = std::make_unique<BinarySender>();
    const auto setUp = [&] {
        if (s->Streaming())
            return;
        s->ResetFile();
        s->setChunkSize(chunkSize);
        s->setSource(sourcePath);
    };
    setUp();
    QObject::connect(s.get(), &BinarySender::CommandAccepted, [&] {
        const qint64 from = s->ReadPosition();
        if (flags & 2 && !s->Streaming() && (sendErrors = 0, s->SendFile()))
            expected += source.sliced(std::min<qint64>(from, source.size()));
    });
    QObject::connect(s.get(), &BinarySender::SendError, [&] { REQUIRE(++sendErrors == 1); });
    for (const auto end : {&BinarySender::SendComplete, &BinarySender::CommandRefused})
        QObject::connect(s.get(), end, [&] { flags & 4 ? setUp() : void(); });
    s->setRemoteHost(u"127.0.0.1"_s);
    s->setRemotePortInfo(peer.infoPort());
    s->setRemotePortBinary(peer.binaryPort());
    REQUIRE(s->Connect() && waitUntil([&] { return s->SendInfo(); }));
    feed(data, peer, 64, [&] {
        if (std::exchange(connections, peer.binaryConnections) != peer.binaryConnections)
            expected = streamed = QByteArray();
        streamed += peer.binary ? peer.binary->readAll() : QByteArray();
        REQUIRE(expected.startsWith(streamed));
    });
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "*.warning=false"); // malformed input makes components complain
    new QApplication(*argc, *argv);
    REQUIRE(writeFile(sourcePath, source) == sourcePath);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const int reader = size > 0 ? bytes[0] % 3 : 0;
    const size_t head = reader > 0 ? 2 * reader : 1; // the selector, flags, a chunk size
    if (size < head)
        return 0;
    FuzzedDataProvider data(bytes + head, size - head);
    if (reader == 0)
        parse(QString::fromLocal8Bit(reinterpret_cast<const char *>(bytes) + 1, size - 1));
    else if (reader == 1)
        receiver(bytes[1], data);
    else
        sender(bytes[1], 1 + (bytes[2] | bytes[3] << 8) % 20000, data);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // a clean heap each time
    return 0;
}
