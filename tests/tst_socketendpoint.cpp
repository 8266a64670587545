#include "protocol/errornumber.h"
#include "protocol/socketendpoint.h"
#include "support/testsupport.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;
using State = SocketEndpoint::ConnectionState;

namespace {
// A listening endpoint that accepts its first request the way the receiver does (Close,
// then Accept on the same endpoint), and a client endpoint connected to it.
struct ConnectedPair
{
    SocketEndpoint server;
    SocketEndpoint client;
    int requests = 0;

    bool open()
    {
        server.setLocalPort(0);
        if (!server.Listen())
            return false;
        QObject::connect(&server, &SocketEndpoint::ConnectionRequest, &server, [this](int id) {
            ++requests;
            server.Close();
            server.Accept(id);
        });
        client.setRemoteHost(u"127.0.0.1"_s);
        client.setRemotePort(server.LocalPort());
        return client.Connect() && QTest::qWaitFor([this] {
                   return server.State() == State::Connected && client.State() == State::Connected;
               });
    }
};

void recordErrors(SocketEndpoint &endpoint, QStringList &errors)
{
    QObject::connect(&endpoint, &SocketEndpoint::Error, &endpoint,
                     [&errors](short number, QString &description, int, const QString &,
                               const QString &, int,
                               bool &) { errors << u"%1 %2"_s.arg(number).arg(description); });
}
} // namespace

class tst_SocketEndpoint : public QObject
{
    Q_OBJECT

private slots:
    void exchangeTextAndBytesBothWays();
    void acceptedEndpointNoLongerListens();
    void bytesArriveIntact_data();
    void bytesArriveIntact();
    void partialFetchIsNotifiedAgain();
    void sendProgressAddsUp();
    void listenAndConnectFailures();
};

void tst_SocketEndpoint::exchangeTextAndBytesBothWays()
{
    ConnectedPair pair;
    QVERIFY(pair.open());
    QCOMPARE(pair.server.RemoteHostIP(), u"127.0.0.1"_s);

    QSignalSpy clientQueued(&pair.client, &SocketEndpoint::DataQueued);
    QVERIFY(pair.client.SendData(u"FIS12|0@Grüße.txt"_s));
    QCOMPARE(firstArguments(clientQueued), QList<qint64>{19}); // UTF-8 on the wire
    QTRY_COMPARE(pair.server.BytesAvailable(), qint64(19));
    QCOMPARE(pair.server.GetText(), u"FIS12|0@Grüße.txt"_s);

    QVERIFY(pair.server.SendData(u"CNT"_s));
    QTRY_COMPARE(pair.client.BytesAvailable(), qint64(3));
    QCOMPARE(pair.client.GetText(), u"CNT"_s);

    const QByteArray payload("\x00\x01\xff\r\n binary", 11);
    QVERIFY(pair.server.SendData(payload));
    QTRY_COMPARE(pair.client.BytesAvailable(), qint64(payload.size()));
    QCOMPARE(pair.client.GetBytes(), payload);
}

void tst_SocketEndpoint::acceptedEndpointNoLongerListens()
{
    // An endpoint that accepted no longer listens.
    ConnectedPair pair;
    QVERIFY(pair.open());
    SocketEndpoint second;
    QStringList errors;
    recordErrors(second, errors);
    second.setRemoteHost(u"127.0.0.1"_s);
    second.setRemotePort(pair.server.LocalPort());
    QVERIFY(second.Connect());
    QTRY_COMPARE(errors,
                 QStringList{u"%1 Connection refused"_s.arg(ErrorNumber::ConnectionRefused)});
    QCOMPARE(pair.requests, 1);
}

void tst_SocketEndpoint::bytesArriveIntact_data()
{
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("pieceSize");
    QTest::addColumn<int>("fetchSize");

    QTest::newRow("one byte") << 1 << 1 << -1;
    QTest::newRow("pieces of 7, fetch all") << 10000 << 7 << -1;
    QTest::newRow("4096 pieces, fetch 1000") << 100000 << 4096 << 1000;
    QTest::newRow("4 MiB in 64 KiB, fetch all") << 4 * 1024 * 1024 << 65536 << -1;
    QTest::newRow("4 MiB in one send, fetch 3333") << 4 * 1024 * 1024 << 4 * 1024 * 1024 << 3333;
}

void tst_SocketEndpoint::bytesArriveIntact()
{
    QFETCH(int, total);
    QFETCH(int, pieceSize);
    QFETCH(int, fetchSize);
    ConnectedPair pair;
    pair.server.setReadBufferSize(256 * 1024);
    QVERIFY(pair.open());

    QByteArray received;
    connect(&pair.server, &SocketEndpoint::DataArrival, &pair.server,
            [&](qint64) { received += pair.server.GetBytes(fetchSize); });
    const QByteArray sent = randomBytes(total, total);
    for (qsizetype at = 0; at < sent.size(); at += pieceSize)
        QVERIFY(pair.client.SendData(sent.mid(at, pieceSize)));
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), sent.size(), 20000);
    QVERIFY(received == sent);
}

void tst_SocketEndpoint::partialFetchIsNotifiedAgain()
{
    ConnectedPair pair;
    QVERIFY(pair.open());
    QList<qint64> notified;
    connect(&pair.server, &SocketEndpoint::DataArrival, &pair.server, [&](qint64 count) {
        notified.append(count);
        pair.server.GetBytes(4);
    });
    QVERIFY(pair.client.SendData(QByteArray("0123456789")));
    QTRY_COMPARE(notified, (QList<qint64>{10, 6, 2}));
    QCOMPARE(pair.server.BytesAvailable(), qint64(0));
}

void tst_SocketEndpoint::sendProgressAddsUp()
{
    ConnectedPair pair;
    QVERIFY(pair.open());
    qint64 progressTotal = 0;
    qint64 lastRemaining = -1;
    connect(&pair.client, &SocketEndpoint::SendProgress, &pair.client,
            [&](qint64 sent, qint64 remaining) {
                progressTotal += sent;
                lastRemaining = remaining;
            });
    qint64 received = 0;
    connect(&pair.server, &SocketEndpoint::DataArrival, &pair.server,
            [&](qint64) { received += pair.server.GetBytes().size(); });
    const QByteArray chunk = randomBytes(4096);
    for (int i = 0; i < 512; ++i)
        QVERIFY(pair.client.SendData(chunk));
    QVERIFY(pair.client.BytesToWrite() > 0);
    QTRY_COMPARE_WITH_TIMEOUT(progressTotal, 512 * 4096, 20000);
    QCOMPARE(lastRemaining, qint64(0));
    QTRY_COMPARE(received, 512 * 4096);
}

void tst_SocketEndpoint::listenAndConnectFailures()
{
    SocketEndpoint idle;
    QVERIFY(!idle.SendData(u"CNT"_s));
    QCOMPARE(idle.LastErrorNumber(), ErrorNumber::NotConnected);
    QVERIFY(!idle.Connect());
    QCOMPARE(idle.LastErrorNumber(), ErrorNumber::AddressNotAvailable);

    SocketEndpoint second;
    second.setLocalPort(0);
    QVERIFY(second.Listen());
    SocketEndpoint third;
    third.setLocalPort(second.LocalPort());
    QVERIFY(!third.Listen());
    QCOMPARE(third.LastErrorNumber(), ErrorNumber::AddressInUse);
    QCOMPARE(third.LastErrorDescription(), u"Address already in use"_s);
    QCOMPARE(third.State(), State::Closed);

    // A refused connection is an error, not a close.
    SocketEndpoint client;
    QStringList errors;
    recordErrors(client, errors);
    QSignalSpy closed(&client, &SocketEndpoint::Closed);
    client.setRemoteHost(u"127.0.0.1"_s);
    client.setRemotePort(freePort());
    QVERIFY(client.Connect());
    QTRY_COMPARE(errors,
                 QStringList{u"%1 Connection refused"_s.arg(ErrorNumber::ConnectionRefused)});
    QCOMPARE(client.State(), State::Closed);
    QCOMPARE(closed.size(), 0);
}

QTEST_GUILESS_MAIN(tst_SocketEndpoint)
#include "tst_socketendpoint.moc"
