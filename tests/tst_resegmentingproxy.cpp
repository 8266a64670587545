#include "resegmentingproxy.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

using namespace corvane;
using namespace Qt::StringLiterals;
using Direction = ResegmentingProxy::Direction;
using Fault = ResegmentingProxy::Fault;

namespace {
QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

// A target that records what it receives and the size of each arrival, and a client that
// reaches it through the proxy.
struct Rig
{
    QTcpServer target;
    QPointer<QTcpSocket> accepted;
    QByteArray received;
    QList<qint64> arrivals;
    QTcpSocket client;
    QByteArray clientReceived;
    std::unique_ptr<ResegmentingProxy> proxy;

    explicit Rig(quint32 seed) : proxy(std::make_unique<ResegmentingProxy>(seed)) {}

    bool open()
    {
        if (!target.listen(QHostAddress::LocalHost))
            return false;
        QObject::connect(&target, &QTcpServer::newConnection, &target, [this] {
            accepted = target.nextPendingConnection();
            QObject::connect(accepted, &QTcpSocket::readyRead, accepted, [this] {
                const QByteArray piece = accepted->readAll();
                arrivals.append(piece.size());
                received += piece;
            });
        });
        QObject::connect(&client, &QTcpSocket::readyRead, &client,
                         [this] { clientReceived += client.readAll(); });
        if (!proxy->listen(u"127.0.0.1"_s, target.serverPort()))
            return false;
        client.connectToHost(u"127.0.0.1"_s, proxy->port());
        return QTest::qWaitFor([this] {
            return client.state() == QAbstractSocket::ConnectedState && accepted &&
                   accepted->state() == QAbstractSocket::ConnectedState;
        });
    }
};
} // namespace

class tst_ResegmentingProxy : public QObject
{
    Q_OBJECT

private slots:
    void forwardsBothWaysIntactAndRecut_data();
    void forwardsBothWaysIntactAndRecut();
    void closeAfterBytes();
    void resetAfterBytes();
    void dropAllClosesEverySide();
    void connectsFromTheChosenAddress();
    void unreachableTargetClosesClient();
};

void tst_ResegmentingProxy::forwardsBothWaysIntactAndRecut_data()
{
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("writeSize");
    QTest::addColumn<int>("maxPiece");
    QTest::addColumn<quint32>("seed");

    const quint32 seed = ResegmentingProxy::seedFromEnvironment();
    const quint32 step = qEnvironmentVariableIsSet("CORVANE_PROXY_SEED") ? 0 : 1;
    QTest::newRow("three bytes one by one") << 3 << 1 << 3 << seed;
    QTest::newRow("4 KiB in 7-byte writes") << 4096 << 7 << 512 << seed + step;
    QTest::newRow("1 MiB in 4096-byte writes") << 1024 * 1024 << 4096 << 65536 << seed + 2 * step;
    QTest::newRow("4 MiB in one write")
        << 4 * 1024 * 1024 << 4 * 1024 * 1024 << 65536 << seed + 3 * step;
}

void tst_ResegmentingProxy::forwardsBothWaysIntactAndRecut()
{
    QFETCH(int, total);
    QFETCH(int, writeSize);
    QFETCH(int, maxPiece);
    QFETCH(quint32, seed);
    Rig rig(seed);
    ResegmentingProxy::Cutting cutting;
    cutting.maxPiece = maxPiece;
    rig.proxy->setCutting(Direction::ToTarget, cutting);
    rig.proxy->setCutting(Direction::FromTarget, cutting);
    QVERIFY(rig.open());
    const auto seedNote = qScopeGuard([&] {
        if (QTest::currentTestFailed())
            qWarning("proxy seed %u (replay with CORVANE_PROXY_SEED)", seed);
    });

    const QByteArray up = randomBytes(total, seed);
    for (qsizetype at = 0; at < up.size(); at += writeSize)
        rig.client.write(up.mid(at, writeSize));
    QTRY_COMPARE_WITH_TIMEOUT(rig.received.size(), up.size(), 20000);
    QVERIFY(rig.received == up);
    QCOMPARE(rig.proxy->forwarded(Direction::ToTarget), qint64(total));

    const QByteArray down = randomBytes(total, ~seed);
    rig.accepted->write(down);
    QTRY_COMPARE_WITH_TIMEOUT(rig.clientReceived.size(), down.size(), 20000);
    QVERIFY(rig.clientReceived == down);

    // The arrivals are cut differently from the writes: a single write comes out in
    // pieces, many small writes come out merged.
    QVERIFY(rig.proxy->pieces(Direction::ToTarget) >= total / maxPiece);
    if (total > maxPiece) {
        const bool recut = std::any_of(rig.arrivals.begin(), rig.arrivals.end(),
                                       [&](qint64 size) { return size != writeSize; });
        QVERIFY(recut);
    }
}

void tst_ResegmentingProxy::closeAfterBytes()
{
    Rig rig(ResegmentingProxy::seedFromEnvironment());
    rig.proxy->setFault(Direction::ToTarget, Fault::Close, 10000);
    QVERIFY(rig.open());
    QSignalSpy injected(rig.proxy.get(), &ResegmentingProxy::faultInjected);
    QSignalSpy clientClosed(&rig.client, &QTcpSocket::disconnected);
    QSignalSpy targetClosed(rig.accepted.data(), &QTcpSocket::disconnected);

    const QByteArray bytes = randomBytes(50000, 7);
    rig.client.write(bytes);
    QTRY_COMPARE(injected.size(), 1);
    QCOMPARE(injected.first().at(1).toLongLong(), qint64(10000));
    QTRY_COMPARE(targetClosed.size(), 1);
    QTRY_COMPARE(clientClosed.size(), 1);
    // A graceful close delivers exactly what was forwarded, a clean prefix.
    QCOMPARE(rig.received, bytes.first(10000));
    QTRY_COMPARE(rig.proxy->connectionsOpen(), 0);
}

void tst_ResegmentingProxy::resetAfterBytes()
{
    Rig rig(ResegmentingProxy::seedFromEnvironment());
    rig.proxy->setFault(Direction::FromTarget, Fault::Reset, 3000);
    QVERIFY(rig.open());
    QSignalSpy clientErrors(&rig.client, &QTcpSocket::errorOccurred);

    rig.accepted->write(randomBytes(20000, 9));
    QTRY_VERIFY(rig.client.state() == QAbstractSocket::UnconnectedState);
    QCOMPARE(clientErrors.size(), 1);
    QCOMPARE(clientErrors.first().at(0).value<QAbstractSocket::SocketError>(),
             QAbstractSocket::RemoteHostClosedError);
    QVERIFY(rig.clientReceived.size() <= 3000);
    QTRY_VERIFY(!rig.accepted || rig.accepted->state() == QAbstractSocket::UnconnectedState);
}

void tst_ResegmentingProxy::dropAllClosesEverySide()
{
    Rig rig(ResegmentingProxy::seedFromEnvironment());
    QVERIFY(rig.open());
    QCOMPARE(rig.proxy->connectionsOpen(), 1);
    rig.proxy->dropAll(Fault::Close);
    QTRY_VERIFY(rig.client.state() == QAbstractSocket::UnconnectedState);
    QTRY_VERIFY(!rig.accepted || rig.accepted->state() == QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(rig.proxy->connectionsOpen(), 0);
}

void tst_ResegmentingProxy::connectsFromTheChosenAddress()
{
    Rig rig(ResegmentingProxy::seedFromEnvironment());
    rig.proxy->setSourceAddress(QHostAddress(u"127.0.0.2"_s));
    QVERIFY(rig.open());
    QCOMPARE(rig.accepted->peerAddress(), QHostAddress(u"127.0.0.2"_s));
}

void tst_ResegmentingProxy::unreachableTargetClosesClient()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 freePort = probe.serverPort();
    probe.close();
    ResegmentingProxy proxy(ResegmentingProxy::seedFromEnvironment());
    QVERIFY(proxy.listen(u"127.0.0.1"_s, freePort));
    QTcpSocket client;
    client.connectToHost(u"127.0.0.1"_s, proxy.port());
    QTRY_COMPARE(proxy.connectionsAccepted(), 1);
    QTRY_VERIFY(client.state() == QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(proxy.connectionsOpen(), 0);
}

QTEST_GUILESS_MAIN(tst_ResegmentingProxy)
#include "tst_resegmentingproxy.moc"
