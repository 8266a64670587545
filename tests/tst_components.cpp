#include "protocol/errornumber.h"
#include "protocol/socketendpoint.h"
#include "protocol/speedsample.h"
#include "support/scriptedpeer.h"
#include "support/testing.h"
#include "support/transferrig.h"

#include <QtTest>

#include <numeric>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;

namespace {
constexpr qint64 MiB = 1024 * 1024;

template<typename... Values>
void row(const char *tag, const Values &...values)
{
    (QTest::newRow(tag) << ... << values);
}

QList<qint64> chunks(qint64 size, int chunk)
{
    return QList<qint64>(size / chunk, chunk) + QList<qint64>(size % chunk ? 1 : 0, size % chunk);
}

// A component, a scripted peer as the other side, a folder, and a log of the component's events.
struct Side
{
    QTemporaryDir dir;
    ScriptedPeer peer;
    QStringList log;
    QPointer<BinarySender> sender;
    QPointer<BinaryReceiver> receiver;
    std::function<void(const QString &)> onEvent; // runs inside each logged event
    bool acceptRequests = false;                  // to the announced name in the folder
    int infoReads = 0, ticks = 0, wrongTicks = 0; // wrong: not speedSample() of the new bytes
    qint64 lastTotal = 0;

    explicit Side(bool sending)
    {
        if (sending) {
            BinarySender *s = sender = new BinarySender;
            watch(s, "SentTotal");
            record(s, &BinarySender::SendError, u"SendError"_s, 1);
            record(s, &BinarySender::Connected, u"Connected"_s);
            record(s, &BinarySender::CommandAccepted, u"CommandAccepted"_s);
            record(s, &BinarySender::CommandRefused, u"CommandRefused"_s);
            record(s, &BinarySender::SendComplete, u"SendComplete"_s);
            peer.listen();
            s->setRemoteHost(u"127.0.0.1"_s);
            s->setRemotePortInfo(peer.infoPort());
            s->setRemotePortBinary(peer.binaryPort());
            return;
        }
        BinaryReceiver *r = receiver = new BinaryReceiver;
        watch(r, "TotalReceived");
        record(r, &BinaryReceiver::ReceiveError, u"ReceiveError"_s, 1);
        record(r, &BinaryReceiver::ConnectionRequest, u"ConnectionRequest"_s);
        record(r, &BinaryReceiver::ReceiveProgress, u"ReceiveProgress"_s);
        record(r, &BinaryReceiver::ReceiveComplete, u"ReceiveComplete"_s);
        QObject::connect(r, &BinaryReceiver::SendRequest, r, [this, r] {
            if (acceptRequests)
                r->AcceptSendRequest(path(r->CurrentFileName()));
        });
        record(r, &BinaryReceiver::SendRequest, u"SendRequest"_s);
        auto *info = r->findChild<SocketEndpoint *>(); // its first endpoint is the info channel's
        record(info, &SocketEndpoint::DataQueued, u"queued"_s); // "queued 3": a code went out
        QObject::connect(info, &SocketEndpoint::DataArrival, r, [this] { ++infoReads; });
        r->setLocalPortInfo(0);
        r->setLocalPortBinary(0);
    }
    ~Side() { delete component(); }
    QWidget *component() const { return sender ? static_cast<QWidget *>(sender) : receiver; }
    QString path(const QString &name) const { return dir.filePath(name); }
    QTimer *speedTimer() const { return component()->findChild<QTimer *>(); } // the first one
    auto *binary() const { return component()->property("TheWinsock").value<SocketEndpoint *>(); }
    template<typename Object, typename... Args>
    void record(Object *object, void (Object::*signal)(Args...), const QString &name, int keep = 2)
    {
        QObject::connect(object, signal, object, [=, this](const std::decay_t<Args> &...values) {
            QStringList line{name};
            (line.append(QVariant::fromValue(values).toString()), ...);
            log << line.mid(0, keep + 1).join(u' ');
            if (onEvent)
                onEvent(log.last());
        });
    }
    template<typename Component>
    void watch(Component *watched, const char *counter)
    {
        record(watched, &Component::Error, u"Error"_s, 1);
        record(watched, &Component::Disconnected, u"Disconnected"_s);
        QObject::connect(watched, &Component::SpeedRecord, watched, [=, this](int speed) {
            const qint64 total = watched->property(counter).toLongLong();
            ++ticks;
            wrongTicks += speed != speedSample(total - std::exchange(lastTotal, total)) ? 1 : 0;
        });
    }
    // The binary channel goes where the info channel went, and a second "CNT" replaces it.
    bool handshake()
    {
        bool ok = sender->Connect() && waitUntil([this] { return !peer.info.isNull(); });
        sender->setRemoteHost(u"corvane.invalid"_s);
        for (const int connections : {1, 2})
            ok = ok && (peer.say("CNT"), waitUntil([&] {
                            return peer.binaryConnections == connections &&
                                   binary()->State() == SocketEndpoint::ConnectionState::Connected;
                        }));
        return ok;
    }
    bool open()
    {
        return receiver->Listen() && peer.connectInfo(receiver->LocalPortInfo()) &&
               peer.waitForInfo("CNT") && peer.connectBinary(receiver->LocalPortBinary()) &&
               waitUntil([this] { return log.contains(u"ConnectionRequest"_s); });
    }
    bool say(const QByteArray &text)
    {
        const int done = infoReads;
        peer.say(text);
        return waitUntil([&] { return infoReads > done || !component(); });
    }
    void expectQuiet(const QStringList &events, const QByteArray &wire, const QStringList &files)
    {
        waitUntil([&] { return log == events; });
        settle(300);
        QCOMPARE(log, events);
        QCOMPARE(peer.infoBytes + peer.binaryBytes, wire);
        QCOMPARE(filesIn(dir.path()), files);
    }
};
} // namespace

class tst_Components : public QObject
{
    Q_OBJECT

private slots:
    void endpoints()
    {
        // What a handler leaves is notified again, so no byte is stranded.
        Side s(true);
        SocketEndpoint ws;
        QByteArray fetched;
        connect(&ws, &SocketEndpoint::DataArrival, [&] { fetched += ws.GetBytes(1000); });
        ws.setRemoteHost(u"127.0.0.1"_s);
        ws.setRemotePort(s.peer.infoPort());
        QVERIFY(ws.Connect() && waitUntil([&] { return !s.peer.info.isNull(); }));
        const QByteArray bytes = randomBytes(100000);
        s.peer.say(bytes);
        QVERIFY(waitUntil([&] { return fetched == bytes; }));
    }

    void transfers_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("chunk");
        QTest::addColumn<QString>("before"); // planted files, or the side that cancels a file
        row("0 bytes", 0ll, 4096, QString());
        row("1 byte, over a stale target and temporary file", 1ll, 4096, u"stale"_s);
        row("1-byte chunks", 777ll, 1, QString());
        row("4 MiB chunks", 9 * MiB, int(4 * MiB), QString());
        row("4096 bytes, after the sender cancelled one", 4096ll, 4096, u"sender"_s);
        row("1 MiB + 1, after the receiver cancelled one", MiB + 1, 4096, u"receiver"_s);
    }

    void transfers()
    {
        // Each side's Sha256 is that of the file. A cancelled file leaves nothing behind, only
        // the other side reports it (the channels closed), and the sender connects again.
        QFETCH(qint64, size);
        QFETCH(int, chunk);
        QFETCH(QString, before);
        TransferRig rig;
        QVERIFY(rig.listen() && rig.connectSender() && !rig.sender().Cancel() &&
                !rig.receiver().Cancel());
        if (before == u"stale"_s) {
            QVERIFY(!writeFile(rig.path(u"f"_s), randomBytes(20000, 9)).isEmpty());
            QVERIFY(!writeFile(rig.path(u"fTMP"_s), randomBytes(20000, 9)).isEmpty());
        } else if (!before.isEmpty()) {
            const bool bySender = before == u"sender"_s;
            QVERIFY(rig.start(randomBytes(32 * MiB), u"c"_s));
            QVERIFY(waitUntil([&] { return rig.receiver().TotalReceived() > 0; }));
            const qsizetype mark = rig.log.size();
            QVERIFY(bySender ? rig.sender().Cancel() : rig.receiver().Cancel());
            QVERIFY(bySender || filesIn(rig.folder()).isEmpty());
            const QRegularExpression then(bySender
                                              ? u"^R:ReceiveError 30003 [^|]*\\|R:Disconnected$"_s
                                              : u"^(S:SendError [^|]*\\|)?S:Disconnected$"_s);
            QTRY_VERIFY2(then.match(rig.log.mid(mark).join(u'|')).hasMatch(),
                         qPrintable(rig.why()));
            QCOMPARE(filesIn(rig.folder()), QStringList());
            QVERIFY((bySender || rig.receiver().Listen()) && rig.connectSender());
        }
        QList<qint64> sends;
        auto *ws = rig.sender().property("TheWinsock").value<SocketEndpoint *>();
        connect(ws, &SocketEndpoint::DataQueued, ws, [&](qint64 count) { sends << count; });
        const QByteArray content = randomBytes(size);
        QVERIFY2(rig.transfer(content, u"f"_s, chunk), qPrintable(rig.why()));
        QCOMPARE(sends, chunks(size, chunk));
        const QByteArray hash = QCryptographicHash::hash(content, QCryptographicHash::Sha256);
        QCOMPARE(rig.log.filter(QString::fromLatin1(hash.toHex())).size(), 2); // both Complete
        QVERIFY(rig.sender().Sha256().isEmpty() && rig.receiver().Sha256().isEmpty());
    }

    void senderStream_data()
    {
        QTest::addColumn<int>("chunk");
        QTest::addColumn<bool>("resetFile"); // while held back; else the peer reads on later
        row("4 KiB chunks", 4096, false);
        row("1 MiB chunks", int(MiB), false);
        row("ResetFile", 4096, true);
    }

    void senderStream()
    {
        // The peer holds back: the queue stays bounded, streaming resumes when it reads on.
        QFETCH(int, chunk);
        QFETCH(bool, resetFile);
        Side s(true);
        qint64 size = 32 * MiB;
        const QByteArray content = randomBytes(size);
        const QString file = writeFile(s.path(u"file"_s), content);
        s.peer.readBinary = false;
        QVERIFY(s.handshake());
        QList<qint64> sends;
        qint64 most = 0;
        connect(s.binary(), &SocketEndpoint::DataQueued, s.binary(), [&](qint64 count) {
            sends << count;
            most = std::max(most, s.binary()->BytesToWrite());
        });
        s.sender->setSource(file);
        s.sender->setChunkSize(chunk);
        QVERIFY(s.sender->SendInfo() && s.peer.waitForInfo("FIS33554432|0@file"));
        QVERIFY(!s.speedTimer()->isActive() && s.sender->SendFile());
        QVERIFY(waitUntil([&] { return s.ticks >= 2; }) && s.sender->Streaming());
        QVERIFY(most < std::max(MiB, 4 * qint64(chunk)) + chunk);
        if (resetFile) {
            s.sender->ResetFile();
            size = std::accumulate(sends.begin(), sends.end(), qint64(0));
        }
        s.peer.readBinary = true;
        s.peer.binaryBytes += s.peer.binary->readAll();
        QVERIFY(waitUntil([&] { return s.peer.binaryBytes.size() >= size; }, 30000));
        QVERIFY(s.peer.binaryBytes == content.first(size));
        QCOMPARE(sends, chunks(size, chunk));
        QVERIFY(!s.sender->Streaming() && !s.speedTimer()->isActive() && s.wrongTicks == 0);
        QCOMPARE(openHandles(file), 0);
        s.peer.say("RFSACPRFC"); // each code acted on once, in order
        s.expectQuiet({u"Connected"_s, u"Connected"_s, u"CommandRefused"_s, u"CommandAccepted"_s,
                       u"SendComplete"_s},
                      s.peer.infoBytes + s.peer.binaryBytes, {u"file"_s});
    }

    void receiverStream()
    {
        // A cut announcement, pieces (the last beyond the announced size) each once the one
        // before was reported with speed samples between them, then texts that get no answer.
        Side r(false);
        r.acceptRequests = true;
        QVERIFY(r.open() && r.say("FIS1") && r.say("0000|0@a.bin"));
        QVERIFY(r.peer.waitForInfo("CNTACP") && !r.speedTimer()->isActive());
        const QByteArray sent = randomBytes(10002);
        QStringList events{u"queued 3"_s, u"ConnectionRequest"_s, u"SendRequest"_s, u"queued 3"_s};
        for (qint64 at = 0; const int piece : {4096, 4096, 1810}) {
            r.peer.send(sent.mid(at, piece));
            at += piece;
            events << u"ReceiveProgress %1 10000"_s.arg(std::min(at, qint64(10000)));
            const int ticks = r.ticks + (at < 10000 ? 2 : 0);
            QVERIFY(waitUntil([&] { return r.log.contains(events.last()) && r.ticks >= ticks; }));
        }
        QVERIFY(r.peer.waitForInfo("CNTACPRFC") && r.say("FIS1a|0@x") && r.say("FSC"));
        r.expectQuiet(events << u"ReceiveComplete"_s << u"queued 3"_s
                             << u"Error %1"_s.arg(ErrorNumber::MalformedAnnouncement)
                             << u"ReceiveComplete"_s,
                      "CNTACPRFC", {u"a.bin"_s});
        QVERIFY(readFile(r.path(u"a.bin"_s)) == sent.first(10000));
        QVERIFY(!r.speedTimer()->isActive() && r.wrongTicks == 0);
    }

    void dropStopsWork_data()
    {
        QTest::addColumn<bool>("destroy"); // the stage is the tag's last word
        for (const char *stage : {"Connect", "Connected", "CommandAccepted", "SendRequest",
                                  "AcceptSendRequest", "ReceiveProgress", "ReceiveComplete"}) {
            QTest::addRow("Reset at %s", stage) << false;
            QTest::addRow("delete at %s", stage) << true;
        }
    }

    void dropStopsWork()
    {
        // From inside an event, or right after a call that queued work: afterwards nothing
        // happens (no event, no byte on the wire, no file left behind) and nothing crashes.
        const QString stage = QString::fromLatin1(QTest::currentDataTag()).section(u' ', 2);
        QFETCH(bool, destroy);
        Side side(QStringList{u"Connect"_s, u"Connected"_s, u"CommandAccepted"_s}.contains(stage));
        side.onEvent = [&](const QString &line) {
            if (line.section(u' ', 0, 0) == stage)
                destroy ? delete side.component()
                        : void(QMetaObject::invokeMethod(side.component(), "Reset"));
        };
        QStringList events{u"Connected"_s, u"CommandAccepted"_s};
        if (side.sender) {
            QVERIFY(side.sender->Connect());
            if (stage == u"Connect"_s)
                side.onEvent(stage);
            else if (waitUntil([&] { return !side.peer.info.isNull(); }))
                side.peer.say("CNTACPRFCRFS");
        } else {
            side.acceptRequests = stage != u"AcceptSendRequest"_s;
            QVERIFY(side.open() && side.say("FIS10|0@a.bin"));
            if (!side.acceptRequests && side.receiver->AcceptSendRequest(side.path(u"a.bin"_s)))
                side.onEvent(stage);
            else if (stage != u"SendRequest"_s && side.peer.waitForInfo("CNTACP"))
                side.peer.send(randomBytes(10));
            events = {u"queued 3"_s, u"ConnectionRequest"_s,     u"SendRequest"_s,
                      u"queued 3"_s, u"ReceiveProgress 10 10"_s, u"ReceiveComplete"_s};
        }
        // Up to the stage's own event (after AcceptSendRequest, the request).
        while (!events.isEmpty() && !stage.endsWith(events.last().section(u' ', 0, 0)))
            events.removeLast();
        side.expectQuiet(events, QByteArray("CNTACP").first(3 * events.count(u"queued 3"_s)),
                         stage == u"ReceiveComplete"_s ? QStringList{u"a.bin"_s} : QStringList());
        QVERIFY(stage != u"Connect"_s || !side.peer.info);
    }

    void failures_data()
    {
        QTest::addColumn<QString>("argument"); // host, source or save path
        QTest::addColumn<int>("value");        // info port, chunk size, or 1: accept a file first
        QTest::addColumn<bool>("ready");       // connected, or an announcement is waiting
        QTest::addColumn<int>("number");
        using namespace ErrorNumber;
        row("Connect, no host", QString(), 1700, false, AddressNotAvailable);
        row("Connect, port 0", u"127.0.0.1"_s, 0, false, SocketInvalidArgument);
        row("SendInfo, not connected", u"file"_s, 4096, false, NotConnected);
        row("SendInfo, a folder", u"."_s, 4096, true, FileNotFound);
        row("SendFile, chunk size 0", u"file"_s, 0, true, InvalidArgument);
        row("SendFile, missing source", u"missing"_s, 4096, true, FileNotFound);
        row("SendFile, binary channel down", u"file"_s, 4096, false, NotConnected);
        row("AcceptSendRequest, empty path", QString(), 0, true, InvalidArgument);
        row("AcceptSendRequest, a folder", u"."_s, 0, true, PathFileAccess);
        row("AcceptSendRequest, nothing announced", u"a.bin"_s, 0, false, InvalidArgument);
        row("AcceptSendRequest, a file open", u"b.bin"_s, 1, true, TransferInProgress);
        row("AcceptSendRequest, missing folder", u"missing/a.bin"_s, 0, true, PathNotFound);
    }

    void failures()
    {
        // To a caller by name, as a number and a description; no event, byte or file follows.
        QFETCH(QString, argument);
        QFETCH(int, value);
        QFETCH(bool, ready);
        const QByteArray call = QByteArray(QTest::currentDataTag()).split(',').first();
        Side side(call != "AcceptSendRequest");
        if (side.receiver) {
            QVERIFY(side.open() && (!ready || side.say("FIS10|0@a.bin")));
            QVERIFY(value != 1 || (side.receiver->AcceptSendRequest(side.path(u"a.bin"_s)) &&
                                   side.peer.waitForInfo("CNTACP")));
        } else {
            QVERIFY(!writeFile(side.path(u"file"_s), randomBytes(10000)).isEmpty());
            QVERIFY(!ready || side.handshake());
            side.sender->setRemoteHost(argument); // each call reads only what it needs
            side.sender->setRemotePortInfo(value);
            side.sender->setSource(side.path(argument));
            side.sender->setChunkSize(value);
        }
        const QStringList log = side.log;
        const QStringList files = filesIn(side.dir.path());
        const QByteArray wire = side.peer.infoBytes + side.peer.binaryBytes;
        const QString target = argument.isEmpty() ? argument : side.path(argument);
        const QGenericArgument arg = side.receiver ? Q_ARG(QString, target) : QGenericArgument();
        bool ok = true;
        QVERIFY(QMetaObject::invokeMethod(side.component(), call.constData(),
                                          Q_RETURN_ARG(bool, ok), arg));
        QTEST(ok ? 0 : side.component()->property("LastErrorNumber").toInt(), "number");
        QVERIFY(!side.component()->property("LastErrorDescription").toString().isEmpty());
        QCOMPARE(openHandles(side.path(u"file"_s)), 0);
        side.expectQuiet(log, wire, files);
    }
};

QTEST_MAIN(tst_Components)
#include "tst_components.moc"
