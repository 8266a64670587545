#include "protocol/errornumber.h"
#include "protocol/socketendpoint.h"
#include "receiver/binaryreceiver.h"
#include "support/eventlog.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <numeric>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;
using State = SocketEndpoint::ConnectionState;

namespace {
// A receiver listening on loopback and a sender scripted with plain sockets. The log holds
// the receiver's events together with each message it hands to its info channel ("queued").
struct Rig
{
    EventLog events;
    QTemporaryDir dir;
    QTcpSocket info;
    QTcpSocket binary;
    QByteArray wire;
    // Last, so that it goes first and finds everything it reports to still there.
    std::unique_ptr<BinaryReceiver> receiver = std::make_unique<BinaryReceiver>();

    Rig()
    {
        BinaryReceiver *r = receiver.get();
        QObject::connect(&info, &QTcpSocket::readyRead, &info, [this] { wire += info.readAll(); });
        events.record(r, &BinaryReceiver::SendRequest, u"SendRequest"_s);
        events.record(r, &BinaryReceiver::ConnectionRequest, u"ConnectionRequest"_s);
        events.record(r, &BinaryReceiver::Disconnected, u"Disconnected"_s);
        events.record(r, &BinaryReceiver::ReceiveComplete, u"complete"_s);
        events.record(r, &BinaryReceiver::ReceiveProgress, u"progress"_s);
        events.record(r, &BinaryReceiver::ReceiveError, u"error"_s);
        events.record(infoEndpoint(), &SocketEndpoint::DataQueued, u"queued"_s);
        QObject::connect(
            r, &BinaryReceiver::Error, r,
            [this](short n, QString &d, int, const QString &, const QString &, int, bool &) {
                // The text before the colon: what went wrong, not the details.
                events.lines << u"Error %1 %2"_s.arg(n).arg(d.section(u':', 0, 0));
            });
        receiver->setLocalPortInfo(0);
        receiver->setLocalPortBinary(0);
    }

    QString path(const QString &name) const { return dir.filePath(name); }
    qsizetype count(const QString &line) const { return events.lines.count(line); }
    QStringList progress() const { return events.lines.filter(u"progress"_s); }
    QStringList receiveErrors() const { return events.lines.filter(u"error"_s); }
    SocketEndpoint *reader() const
    {
        return qobject_cast<SocketEndpoint *>(receiver->TheWinsock());
    }
    SocketEndpoint *infoEndpoint() const
    {
        for (SocketEndpoint *endpoint : receiver->findChildren<SocketEndpoint *>()) {
            if (endpoint != reader())
                return endpoint;
        }
        return nullptr;
    }
    QTimer *speedTimer() const { return receiver->findChild<QTimer *>(); }

    bool open()
    {
        if (!receiver->Listen())
            return false;
        info.connectToHost(u"127.0.0.1"_s, quint16(receiver->LocalPortInfo()));
        if (!QTest::qWaitFor([this] { return wire == "CNT"; }))
            return false;
        binary.connectToHost(u"127.0.0.1"_s, quint16(receiver->LocalPortBinary()));
        return QTest::qWaitFor([&] { return count(u"ConnectionRequest"_s) == 1; });
    }
    bool announce(const QByteArray &text)
    {
        const qsizetype before = count(u"SendRequest"_s);
        info.write(text);
        return QTest::qWaitFor([&] { return count(u"SendRequest"_s) == before + 1; });
    }
    // Announces, accepts and waits for "ACP" (an empty file may be complete at once).
    bool accept(qint64 size, const QString &name)
    {
        const QByteArray expected = wire + "ACP";
        return announce("FIS" + QByteArray::number(size) + "|0@" + name.toUtf8()) &&
               receiver->AcceptSendRequest(path(name)) &&
               QTest::qWaitFor([&] { return wire.startsWith(expected); });
    }
    QStringList folder() const
    {
        return QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    }
};

QList<int> randomPieces(int total, quint32 seed)
{
    QRandomGenerator generator(seed);
    QList<int> pieces;
    for (int left = total; left > 0; left -= pieces.last())
        pieces << std::min(left, int(generator.bounded(1, 3000)));
    return pieces;
}
} // namespace

class tst_Receiver : public QObject
{
    Q_OBJECT

private slots:
    void infoMessages_data();
    void infoMessages();
    void answers_data();
    void answers();
    void transfer_data();
    void transfer();
    void announcementsAroundAFile();
    void acceptFailures_data();
    void acceptFailures();
    void failedSaveKeepsTemporaryFile();
    void strayBytesAreDropped_data();
    void strayBytesAreDropped();
    void senderClosesRightAfterTheLastByte();
    void speedSamples();
    void errorPassThrough();
};

void tst_Receiver::infoMessages_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("name");

    // Each row follows the announcement FIS77|0@keep.txt.
    const QStringList none;
    const QString error =
        u"Error %1 Malformed file announcement"_s.arg(ErrorNumber::MalformedAnnouncement);
    QTest::newRow("announcement") << QByteArray("FIS1234|0@report.pdf")
                                  << QStringList{u"SendRequest"_s} << qint64(1234)
                                  << u"report.pdf"_s;
    QTest::newRow("FSC") << QByteArray("FSC") << QStringList{u"complete"_s} << qint64(77)
                         << u"keep.txt"_s;
    QTest::newRow("FSC and more") << QByteArray("FSCFIS1|0@x") << QStringList{u"complete"_s}
                                  << qint64(77) << u"keep.txt"_s;
    for (const char *ignored : {"fis1234|0@x", "FI", "XYZ123", "RFC"})
        QTest::newRow(ignored) << QByteArray(ignored) << none << qint64(77) << u"keep.txt"_s;
    for (const char *malformed : {"FIS12@x", "FIS-5|0@x", "FIS12|0x"})
        QTest::newRow(malformed) << QByteArray(malformed) << QStringList{error} << qint64(77)
                                 << u"keep.txt"_s;
}

void tst_Receiver::infoMessages()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, events);
    QFETCH(qint64, size);
    QFETCH(QString, name);
    Rig rig;
    QVERIFY(rig.open());
    QVERIFY(rig.announce("FIS77|0@keep.txt"));
    const qsizetype before = rig.events.lines.size();

    rig.info.write(text);
    settle();
    QCOMPARE(rig.events.lines.mid(before), events);
    QCOMPARE(rig.receiver->CurrentFileSize(), size);
    QCOMPARE(rig.receiver->CurrentFileName(), name);
    QCOMPARE(rig.wire, QByteArray("CNT"));
    QCOMPARE(rig.folder(), QStringList());
}

void tst_Receiver::answers_data()
{
    QTest::addColumn<bool>("accept");
    QTest::addColumn<QString>("then");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("accept") << true << QString() << QByteArray("CNTACP");
    QTest::newRow("refuse") << false << QString() << QByteArray("CNTRFS");
    QTest::newRow("refuse, ResetFile") << false << u"ResetFile"_s << QByteArray("CNTRFS");
    QTest::newRow("accept, ResetFile") << true << u"ResetFile"_s << QByteArray("CNT");
    QTest::newRow("accept, Reset") << true << u"Reset"_s << QByteArray("CNT");
    QTest::newRow("refuse, Reset") << false << u"Reset"_s << QByteArray("CNT");
    QTest::newRow("accept, destroyed") << true << u"destroy"_s << QByteArray("CNT");
}

void tst_Receiver::answers()
{
    QFETCH(bool, accept);
    QFETCH(QString, then);
    QFETCH(QByteArray, wire);
    Rig rig;
    QVERIFY(rig.open());
    QVERIFY(rig.announce("FIS10|0@a.bin"));
    const qsizetype queued = rig.count(u"queued 3"_s);
    QVERIFY(accept ? rig.receiver->AcceptSendRequest(rig.path(u"a.bin"_s))
                   : rig.receiver->RefuseSendRequest());
    QCOMPARE(rig.count(u"queued 3"_s), queued); // answered after a return to the event loop
    if (then == u"ResetFile"_s)
        rig.receiver->ResetFile();
    else if (then == u"Reset"_s)
        rig.receiver->Reset();
    else if (then == u"destroy"_s)
        rig.receiver.reset();
    QTRY_COMPARE(rig.wire, wire);
    settle();
    QCOMPARE(rig.wire, wire);
    QCOMPARE(QFileInfo::exists(rig.path(u"a.binTMP"_s)), accept && then.isEmpty());
}

void tst_Receiver::transfer_data()
{
    QTest::addColumn<QList<int>>("pieces");
    QTest::addColumn<qint64>("announced");
    QTest::addColumn<bool>("paced");
    QTest::addColumn<QString>("planted");

    const QList<int> chunks{4096, 4096, 1808};
    QTest::newRow("4096, 4096, 1808") << chunks << qint64(10000) << true << QString();
    QTest::newRow("random pieces, one at a time")
        << randomPieces(10000, 7) << qint64(10000) << true << QString();
    QTest::newRow("random pieces, all at once")
        << randomPieces(10000, 8) << qint64(10000) << false << QString();
    QTest::newRow("12 for 10 announced") << QList<int>{12} << qint64(10) << true << QString();
    QTest::newRow("empty file") << QList<int>{} << qint64(0) << true << QString();
    QTest::newRow("existing target replaced") << chunks << qint64(10000) << true << u"report.pdf"_s;
    QTest::newRow("stale temporary file truncated")
        << QList<int>{10} << qint64(10) << true << u"report.pdfTMP"_s;
}

void tst_Receiver::transfer()
{
    QFETCH(QList<int>, pieces);
    QFETCH(qint64, announced);
    QFETCH(bool, paced);
    QFETCH(QString, planted);
    Rig rig;
    const QString target = rig.path(u"report.pdf"_s);
    if (!planted.isEmpty())
        QVERIFY(!writeFile(rig.path(planted), randomBytes(20000, 99)).isEmpty());
    QVERIFY(rig.open());
    QVERIFY(rig.accept(announced, u"report.pdf"_s));
    const qint64 total = std::accumulate(pieces.begin(), pieces.end(), qint64(0));
    const QByteArray sent = randomBytes(total);

    QStringList expected;
    qint64 at = 0;
    for (const int piece : pieces) {
        rig.binary.write(sent.mid(at, piece));
        at += piece;
        expected << u"progress %1 %2"_s.arg(std::min(at, announced)).arg(announced);
        // Paced: each piece only once the previous one was reported.
        if (paced && !QTest::qWaitFor([&] { return rig.progress().size() == expected.size(); }))
            break;
    }
    QTRY_COMPARE(rig.wire, QByteArray("CNTACPRFC"));
    if (paced)
        QCOMPARE(rig.progress(), expected);
    else
        QCOMPARE(rig.progress().last(), expected.last());
    // "RFC" is handed over only after the event; the last progress comes before it.
    QCOMPARE(rig.events.without(u"progress"_s),
             (QStringList{u"queued 3"_s, u"ConnectionRequest"_s, u"SendRequest"_s, u"queued 3"_s,
                          u"complete"_s, u"queued 3"_s}));
    if (!expected.isEmpty())
        QVERIFY(rig.events.lines.indexOf(expected.last()) <
                rig.events.lines.indexOf(u"complete"_s));
    // Bytes beyond the announced size are not part of the file.
    QVERIFY(readFile(target) == sent.first(std::min(total, announced)));
    QCOMPARE(rig.folder(), QStringList{u"report.pdf"_s});
}

void tst_Receiver::announcementsAroundAFile()
{
    Rig rig;
    QVERIFY(rig.open());
    QVERIFY(rig.accept(10, u"a.bin"_s));
    rig.binary.write("0123");
    QTRY_COMPARE(rig.progress().size(), 1);
    // Announced while a file is open: it cannot be accepted and does not disturb the file.
    QVERIFY(rig.announce("FIS3|0@other.bin"));
    QCOMPARE(rig.receiver->CurrentFileSize(), qint64(3));
    QVERIFY(!rig.receiver->AcceptSendRequest(rig.path(u"other.bin"_s)));
    QCOMPARE(rig.receiver->LastErrorNumber(), ErrorNumber::TransferInProgress);
    rig.binary.write("456789");
    QTRY_COMPARE(rig.wire, QByteArray("CNTACPRFC"));
    QCOMPARE(readFile(rig.path(u"a.bin"_s)), QByteArray("0123456789"));

    // The next file needs no ResetFile in between.
    QVERIFY(rig.accept(6, u"second.bin"_s));
    rig.binary.write("abcdef");
    QTRY_COMPARE(rig.count(u"complete"_s), 2);
    QCOMPARE(rig.progress(),
             (QStringList{u"progress 4 10"_s, u"progress 10 10"_s, u"progress 6 6"_s}));
    QCOMPARE(readFile(rig.path(u"second.bin"_s)), QByteArray("abcdef"));
    QCOMPARE(rig.folder(), (QStringList{u"a.bin"_s, u"second.bin"_s}));
}

void tst_Receiver::acceptFailures_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("says");
    QTest::newRow("no path") << QString() << QString() << ErrorNumber::InvalidArgument
                             << u"No save path"_s;
    QTest::newRow("nothing announced")
        << QString() << u"a.bin"_s << ErrorNumber::InvalidArgument << u"announcement"_s;
    QTest::newRow("missing folder")
        << QString() << u"missing/a.bin"_s << ErrorNumber::PathNotFound << u"missing/a.binTMP"_s;
    QTest::newRow("folder at the save path")
        << u"a.bin"_s << u"a.bin"_s << ErrorNumber::PathFileAccess << u"is a folder"_s;
    QTest::newRow("folder at the temporary path")
        << u"a.binTMP"_s << u"a.bin"_s << ErrorNumber::PathFileAccess << u"a.binTMP"_s;
}

void tst_Receiver::acceptFailures()
{
    QFETCH(QString, folder);
    QFETCH(QString, target);
    QFETCH(int, number);
    QFETCH(QString, says);
    Rig rig;
    QVERIFY(rig.open());
    if (!folder.isEmpty())
        QVERIFY(QDir(rig.dir.path()).mkdir(folder));
    if (QTest::currentDataTag() != QByteArray("nothing announced"))
        QVERIFY(rig.announce("FIS10|0@a.bin"));

    QVERIFY(!rig.receiver->AcceptSendRequest(target.isEmpty() ? target : rig.path(target)));
    QCOMPARE(rig.receiver->LastErrorNumber(), number);
    QVERIFY2(rig.receiver->LastErrorDescription().contains(says),
             qPrintable(rig.receiver->LastErrorDescription()));
    settle();
    QCOMPARE(rig.wire, QByteArray("CNT"));
    QCOMPARE(rig.folder(), folder.isEmpty() ? QStringList() : QStringList{folder});
}

void tst_Receiver::failedSaveKeepsTemporaryFile()
{
    Rig rig;
    QVERIFY(rig.open());
    QVERIFY(rig.accept(10, u"a.bin"_s));
    rig.binary.write("01234");
    QTRY_COMPARE(rig.progress().size(), 1);
    // Something else takes the save path meanwhile.
    QVERIFY(QDir(rig.dir.path()).mkpath(u"a.bin/inside"_s));
    rig.binary.write("56789");

    QTRY_COMPARE(rig.receiveErrors().size(), 1);
    const QString error = rig.receiveErrors().first();
    QVERIFY2(error.startsWith(u"error %1 "_s.arg(ErrorNumber::SaveFailed)) &&
                 error.contains(rig.path(u"a.binTMP"_s)) &&
                 error.contains(rig.path(u"a.bin"_s) + u'"'),
             qPrintable(error));
    QCOMPARE(readFile(rig.path(u"a.binTMP"_s)), QByteArray("0123456789"));
    settle();
    QCOMPARE(rig.count(u"complete"_s), 0);
    QCOMPARE(rig.wire, QByteArray("CNTACP"));
    QVERIFY(!rig.speedTimer()->isActive());
}

void tst_Receiver::strayBytesAreDropped_data()
{
    QTest::addColumn<QString>("phase");
    for (const QString &phase :
         {u"before acceptance"_s, u"after refusal"_s, u"after completion"_s, u"after ResetFile"_s})
        QTest::newRow(qPrintable(phase)) << phase;
}

void tst_Receiver::strayBytesAreDropped()
{
    QFETCH(QString, phase);
    Rig rig;
    QVERIFY(rig.open());
    const QString target = rig.path(u"a.bin"_s);
    if (phase == u"before acceptance"_s || phase == u"after refusal"_s)
        QVERIFY(rig.announce("FIS10|0@a.bin"));
    else
        QVERIFY(rig.accept(10, u"a.bin"_s));
    if (phase == u"after refusal"_s) {
        QVERIFY(rig.receiver->RefuseSendRequest());
        QTRY_COMPARE(rig.wire, QByteArray("CNTRFS"));
    }
    if (phase == u"after completion"_s) {
        rig.binary.write("0123456789");
        QTRY_COMPARE(rig.wire, QByteArray("CNTACPRFC"));
    }
    if (phase == u"after ResetFile"_s) {
        rig.binary.write("01234");
        QTRY_COMPARE(rig.progress().size(), 1);
        rig.receiver->ResetFile(); // removes the temporary file it had written to
        QVERIFY(!rig.speedTimer()->isActive());
    }
    settle();
    const QStringList before = rig.events.lines;
    const QByteArray wire = rig.wire;
    rig.binary.write("strayXYZ");
    settle();
    QCOMPARE(rig.events.lines, before);
    QCOMPARE(rig.wire, wire);
    QCOMPARE(readFile(target),
             QByteArray(phase == u"after completion"_s ? "0123456789" : "<missing>"));
    QVERIFY(!QFileInfo::exists(target + u"TMP"_s));

    if (phase == u"before acceptance"_s) {
        // The file accepted afterwards starts with its own first byte.
        QVERIFY(rig.receiver->AcceptSendRequest(target));
        QTRY_COMPARE(rig.wire, QByteArray("CNTACP"));
        rig.binary.write("0123456789");
        QTRY_COMPARE(rig.count(u"complete"_s), 1);
        QCOMPARE(rig.progress(), QStringList{u"progress 10 10"_s});
        QCOMPARE(readFile(target), QByteArray("0123456789"));
    }
}

void tst_Receiver::senderClosesRightAfterTheLastByte()
{
    Rig rig;
    QVERIFY(rig.open());
    QVERIFY(rig.accept(10000, u"a.bin"_s));
    const QByteArray bytes = randomBytes(10000);
    rig.binary.write(bytes);
    rig.binary.disconnectFromHost();

    // The file is whole; a binary channel lost between files does not end the session.
    QTRY_COMPARE(rig.count(u"complete"_s), 1);
    settle(100);
    QCOMPARE(rig.count(u"Disconnected"_s), 0);
    QCOMPARE(rig.info.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(rig.receiveErrors(), QStringList());
    QCOMPARE(rig.count(u"complete"_s), 1);
    QVERIFY(readFile(rig.path(u"a.bin"_s)) == bytes);
    QCOMPARE(rig.folder(), QStringList{u"a.bin"_s});
}

void tst_Receiver::speedSamples()
{
    Rig rig;
    QSignalSpy speeds(rig.receiver.get(), &BinaryReceiver::SpeedRecord);
    QVERIFY(rig.open());
    constexpr qint64 mebibyte = 1024 * 1024;
    QVERIFY(rig.accept(2 * mebibyte, u"a.bin"_s));
    QVERIFY(!rig.speedTimer()->isActive());
    rig.binary.write(randomBytes(mebibyte));
    QTRY_COMPARE(rig.receiver->TotalReceived(), mebibyte);
    QVERIFY(rig.speedTimer()->isActive());
    QCOMPARE(rig.speedTimer()->interval(), 500);
    // The whole mebibyte lands in the first tick, nothing in the second.
    QTRY_COMPARE_WITH_TIMEOUT(speeds.size(), 2, 3000);
    QCOMPARE(firstArguments(speeds), (QList<qint64>{2048, 0}));

    rig.binary.write(randomBytes(mebibyte, 2));
    QTRY_COMPARE(rig.count(u"complete"_s), 1);
    QVERIFY(!rig.speedTimer()->isActive());
    settle(700);
    QCOMPARE(speeds.size(), 2);
}

void tst_Receiver::errorPassThrough()
{
    // Either endpoint's error reaches the host with every value; the host's changes to the
    // by-reference values reach the endpoint.
    Rig rig;
    QStringList seen;
    connect(rig.receiver.get(), &BinaryReceiver::Error, rig.receiver.get(),
            [&](short number, QString &description, int scode, const QString &source,
                const QString &helpFile, int helpContext, bool &cancelDisplay) {
                seen << u"%1 %2 %3 %4 %5 %6 %7"_s.arg(number)
                            .arg(description)
                            .arg(scode)
                            .arg(source, helpFile)
                            .arg(helpContext)
                            .arg(cancelDisplay);
                description = u"rewritten"_s;
                cancelDisplay = true;
            });
    for (SocketEndpoint *endpoint : {rig.reader(), rig.infoEndpoint()}) {
        QString description = u"Connection reset by peer"_s;
        bool cancelDisplay = false;
        emit endpoint->Error(10054, description, 10054, u"SocketEndpoint"_s, u"help.chm"_s, 7,
                             cancelDisplay);
        QCOMPARE(description, u"rewritten"_s);
        QVERIFY(cancelDisplay);
    }
    const QString expected = u"10054 Connection reset by peer 10054 SocketEndpoint help.chm 7 0"_s;
    QCOMPARE(seen, (QStringList{expected, expected}));
}

QTEST_MAIN(tst_Receiver)
#include "tst_receiver.moc"
