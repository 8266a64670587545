#include "protocol/errornumber.h"
#include "protocol/socketendpoint.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

using namespace corvane;
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
        if (!client.Connect())
            return false;
        return QTest::qWaitFor([this] {
            return server.State() == State::Connected && client.State() == State::Connected;
        });
    }
};

struct ErrorRecord
{
    int number = 0;
    QString description;
};

void recordErrors(SocketEndpoint &endpoint, QList<ErrorRecord> &errors)
{
    QObject::connect(&endpoint, &SocketEndpoint::Error, &endpoint,
                     [&errors](short number, QString &description, int, const QString &,
                               const QString &, int, bool &) {
                         errors.append({number, description});
                     });
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(size);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}
} // namespace

class tst_SocketEndpoint : public QObject
{
    Q_OBJECT

private slots:
    void exchangeTextAndBytesBothWays();
    void acceptedEndpointNoLongerListens();
    void unacceptedRequestIsRefused();
    void requestAddressIsKnownBeforeAccept();
    void bytesArriveIntact_data();
    void bytesArriveIntact();
    void partialFetchIsNotifiedAgain();
    void sendProgressAddsUp();
    void readBufferIsBounded();
    void connectionRefusedError();
    void portInUseFailsListen();
    void sendWithoutConnectionFails();
    void peerCloseIsNotifiedNotAnError();
    void closeIsHarmlessWhenClosed();
};

void tst_SocketEndpoint::exchangeTextAndBytesBothWays()
{
    ConnectedPair pair;
    QVERIFY(pair.open());
    QCOMPARE(pair.requests, 1);
    QCOMPARE(pair.server.RemoteHostIP(), u"127.0.0.1"_s);
    QCOMPARE(pair.client.RemoteHostIP(), u"127.0.0.1"_s);

    QSignalSpy serverArrivals(&pair.server, &SocketEndpoint::DataArrival);
    QSignalSpy clientQueued(&pair.client, &SocketEndpoint::DataQueued);
    QVERIFY(pair.client.SendData(u"FIS12|0@Grüße.txt"_s));
    QCOMPARE(clientQueued.size(), 1);
    QCOMPARE(clientQueued.first().at(0).toLongLong(), qint64(19));
    QTRY_COMPARE(pair.server.BytesAvailable(), qint64(19));
    QCOMPARE(serverArrivals.first().at(0).toLongLong(), qint64(19));
    QCOMPARE(pair.server.GetText(), u"FIS12|0@Grüße.txt"_s);

    QVERIFY(pair.server.SendData(u"CNT"_s));
    QTRY_COMPARE(pair.client.BytesAvailable(), qint64(3));
    QCOMPARE(pair.client.GetText(), u"CNT"_s);

    const QByteArray payload("\x00\x01\xff\r\n binary", 11);
    QVERIFY(pair.client.SendData(payload));
    QTRY_COMPARE(pair.server.BytesAvailable(), qint64(payload.size()));
    QCOMPARE(pair.server.GetBytes(payload.size()), payload);
    QVERIFY(pair.server.SendData(payload));
    QTRY_COMPARE(pair.client.BytesAvailable(), qint64(payload.size()));
    QCOMPARE(pair.client.GetBytes(), payload);
}

void tst_SocketEndpoint::acceptedEndpointNoLongerListens()
{
    ConnectedPair pair;
    QVERIFY(pair.open());
    QCOMPARE(pair.server.State(), State::Connected);

    SocketEndpoint second;
    QList<ErrorRecord> errors;
    recordErrors(second, errors);
    second.setRemoteHost(u"127.0.0.1"_s);
    second.setRemotePort(pair.server.LocalPort());
    QVERIFY(second.Connect());
    QTRY_COMPARE(errors.size(), 1);
    QCOMPARE(errors.first().number, ErrorNumber::ConnectionRefused);
    QCOMPARE(pair.requests, 1);
}

void tst_SocketEndpoint::unacceptedRequestIsRefused()
{
    SocketEndpoint server;
    server.setLocalPort(0);
    QVERIFY(server.Listen());
    QSignalSpy requests(&server, &SocketEndpoint::ConnectionRequest);

    QTcpSocket peer;
    QSignalSpy peerClosed(&peer, &QTcpSocket::disconnected);
    peer.connectToHost(u"127.0.0.1"_s, quint16(server.LocalPort()));
    QTRY_COMPARE(requests.size(), 1);
    QTRY_COMPARE(peerClosed.size(), 1);
    QCOMPARE(server.State(), State::Listening);
    QVERIFY(!server.Accept(requests.first().at(0).toInt()));
    QCOMPARE(server.LastErrorNumber(), ErrorNumber::SocketInvalidArgument);
}

void tst_SocketEndpoint::requestAddressIsKnownBeforeAccept()
{
    SocketEndpoint server;
    server.setLocalPort(0);
    QVERIFY(server.Listen());
    QString seen;
    connect(&server, &SocketEndpoint::ConnectionRequest, &server,
            [&](int id) { seen = server.RequestHostIP(id); });
    QTcpSocket peer;
    peer.connectToHost(u"127.0.0.1"_s, quint16(server.LocalPort()));
    QTRY_COMPARE(seen, u"127.0.0.1"_s);
}

void tst_SocketEndpoint::bytesArriveIntact_data()
{
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("pieceSize");
    QTest::addColumn<int>("fetchSize");

    QTest::newRow("one byte") << 1 << 1 << -1;
    QTest::newRow("pieces of 7, fetch all") << 10000 << 7 << -1;
    QTest::newRow("4096 pieces, fetch 1000") << 100000 << 4096 << 1000;
    QTest::newRow("64 KiB pieces, fetch 1460") << 1 << 65536 << 1460;
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
    const QByteArray sent = randomBytes(total);
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
    constexpr int chunks = 512;
    for (int i = 0; i < chunks; ++i)
        QVERIFY(pair.client.SendData(chunk));
    QVERIFY(pair.client.BytesToWrite() > 0);
    QTRY_COMPARE_WITH_TIMEOUT(progressTotal, qint64(chunks) * chunk.size(), 20000);
    QCOMPARE(lastRemaining, qint64(0));
    QTRY_COMPARE(received, qint64(chunks) * chunk.size());
}

void tst_SocketEndpoint::readBufferIsBounded()
{
    ConnectedPair pair;
    constexpr qint64 bound = 64 * 1024;
    pair.server.setReadBufferSize(bound);
    QVERIFY(pair.open());
    qint64 largestWaiting = 0;
    connect(&pair.server, &SocketEndpoint::DataArrival, &pair.server, [&](qint64 count) {
        largestWaiting = std::max(largestWaiting, count);
    });
    const QByteArray flood = randomBytes(8 * 1024 * 1024);
    QVERIFY(pair.client.SendData(flood));
    QTest::qWait(300);
    QVERIFY(pair.server.BytesAvailable() <= bound);
    QVERIFY(largestWaiting <= bound);
    // Nothing is lost: what the system holds back arrives as the reader fetches.
    qint64 fetched = 0;
    while (fetched < flood.size()) {
        const QByteArray piece = pair.server.GetBytes();
        QVERIFY(piece == flood.mid(fetched, piece.size()));
        fetched += piece.size();
        if (piece.isEmpty())
            QVERIFY(QTest::qWaitFor([&] { return pair.server.BytesAvailable() > 0; }, 5000));
    }
}

void tst_SocketEndpoint::connectionRefusedError()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const int freePort = probe.serverPort();
    probe.close();

    SocketEndpoint client;
    QList<ErrorRecord> errors;
    recordErrors(client, errors);
    QSignalSpy closed(&client, &SocketEndpoint::Closed);
    client.setRemoteHost(u"127.0.0.1"_s);
    client.setRemotePort(freePort);
    QVERIFY(client.Connect());
    QTRY_COMPARE(errors.size(), 1);
    QCOMPARE(errors.first().number, ErrorNumber::ConnectionRefused);
    QCOMPARE(errors.first().description, u"Connection refused"_s);
    QCOMPARE(client.State(), State::Closed);
    QCOMPARE(closed.size(), 0);
}

void tst_SocketEndpoint::portInUseFailsListen()
{
    SocketEndpoint first;
    first.setLocalPort(0);
    QVERIFY(first.Listen());
    SocketEndpoint second;
    second.setLocalPort(first.LocalPort());
    QVERIFY(!second.Listen());
    QCOMPARE(second.LastErrorNumber(), ErrorNumber::AddressInUse);
    QCOMPARE(second.LastErrorDescription(), u"Address already in use"_s);
    QCOMPARE(second.State(), State::Closed);
}

void tst_SocketEndpoint::sendWithoutConnectionFails()
{
    SocketEndpoint endpoint;
    QVERIFY(!endpoint.SendData(u"CNT"_s));
    QCOMPARE(endpoint.LastErrorNumber(), ErrorNumber::NotConnected);
    QVERIFY(!endpoint.Connect());
    QCOMPARE(endpoint.LastErrorNumber(), ErrorNumber::AddressNotAvailable);
}

void tst_SocketEndpoint::peerCloseIsNotifiedNotAnError()
{
    ConnectedPair pair;
    QVERIFY(pair.open());
    QList<ErrorRecord> errors;
    recordErrors(pair.server, errors);
    QSignalSpy closed(&pair.server, &SocketEndpoint::Closed);
    QVERIFY(pair.client.SendData(QByteArray("last words")));
    QTRY_COMPARE(pair.server.BytesAvailable(), qint64(10));
    pair.client.Close();
    QTRY_COMPARE(closed.size(), 1);
    QCOMPARE(errors.size(), 0);
    QCOMPARE(pair.server.State(), State::Closed);
    // What arrived before the close can still be fetched.
    QCOMPARE(pair.server.GetBytes(), QByteArray("last words"));
}

void tst_SocketEndpoint::closeIsHarmlessWhenClosed()
{
    SocketEndpoint endpoint;
    endpoint.Close();
    endpoint.Close();
    QCOMPARE(endpoint.State(), State::Closed);
    QCOMPARE(endpoint.RemoteHostIP(), QString());
    QVERIFY(!endpoint.LocalIP().isEmpty());
}

QTEST_GUILESS_MAIN(tst_SocketEndpoint)
#include "tst_socketendpoint.moc"
