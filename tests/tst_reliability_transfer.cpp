// Whole transfers through a proxy that re-cuts both channels at random points: whatever
// pieces the network makes of the streams, the saved file is the one sent.

#include "resegmentingproxy.h"
#include "transferrig.h"

#include <QRandomGenerator>
#include <QTest>

using namespace corvane;
using namespace Qt::StringLiterals;

class tst_ReliabilityTransfer : public QObject
{
    Q_OBJECT

private slots:
    void identicalThroughProxy_data();
    void identicalThroughProxy();
    void twoHundredFilesInARow();

private:
    const quint32 m_seed = ResegmentingProxy::seedFromEnvironment();
};

void tst_ReliabilityTransfer::identicalThroughProxy_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<quint32>("seed");

    // One-byte chunks cost one send each: they run up to the page-sized files, seven-byte
    // ones up to 1 MiB + 1; the larger chunks take every size.
    const int sizes[] = {0, 1, 4095, 4096, 4097, 1024 * 1024 + 1, 20 * 1024 * 1024};
    const int chunks[] = {1, 7, 4096, 65536};
    // A seed given to replay a failure holds for every row; otherwise each row has its own.
    const bool replaying = qEnvironmentVariableIsSet("CORVANE_PROXY_SEED");
    quint32 row = 0;
    for (const int chunk : chunks) {
        for (const int size : sizes) {
            if ((chunk == 1 && size > 4097) || (chunk == 7 && size > 1024 * 1024 + 1))
                continue;
            QTest::addRow("%d bytes in chunks of %d", size, chunk)
                << size << chunk << (replaying ? m_seed : m_seed + 2 * row++);
        }
    }
}

void tst_ReliabilityTransfer::identicalThroughProxy()
{
    QFETCH(int, size);
    QFETCH(int, chunkSize);
    QFETCH(quint32, seed);

    TransferRig::Options options;
    options.throughProxy = true;
    options.seed = seed;
    options.infoCutting.maxPiece = 4;
    // Pieces well below the file size, so that even small files arrive in several.
    options.binaryCutting.maxPiece = std::clamp(size / 3, 16, 65536);
    TransferRig rig(options);
    QString why;
    QVERIFY2(rig.connectBoth(&why), qPrintable(why));
    const QByteArray content = randomBytes(size, seed);
    QVERIFY2(rig.transfer(content, chunkSize, u"received.bin"_s, 60000, &why), qPrintable(why));
    QCOMPARE(filesIn(rig.folder()), QStringList{u"received.bin"_s});
    // The stream was really cut up: for anything beyond a few bytes the binary channel
    // delivered pieces unrelated to the chunks.
    if (size >= 64)
        QVERIFY(rig.binaryProxy()->pieces(ResegmentingProxy::Direction::ToTarget) >= 3);
    QCOMPARE(rig.sendErrors + rig.receiveErrors + rig.senderSocketErrors + rig.receiverSocketErrors,
             0);
}

void tst_ReliabilityTransfer::twoHundredFilesInARow()
{
    TransferRig::Options options;
    options.throughProxy = true;
    options.seed = m_seed;
    options.infoCutting.maxPiece = 2;
    TransferRig rig(options);
    QString why;
    QVERIFY2(rig.connectBoth(&why), qPrintable(why));

    QRandomGenerator random(m_seed);
    const int chunks[] = {7, 512, 4096, 65536};
    qint64 total = 0;
    for (int i = 0; i < 200; ++i) {
        // Mostly small files, now and then an empty one or one of a few hundred KiB.
        const quint32 kind = random.bounded(20);
        const int size = kind == 0   ? 0
                         : kind == 1 ? int(random.bounded(512 * 1024))
                                     : int(random.bounded(32 * 1024));
        const int chunk = size < 64 ? 1 : chunks[random.bounded(4)];
        const QByteArray content = randomBytes(size, m_seed + quint32(i));
        const QString name = u"file-%1.bin"_s.arg(i % 3);
        QVERIFY2(
            rig.transfer(content, chunk, name, 30000, &why),
            qPrintable(
                u"file %1 (%2 bytes, chunks of %3): %4"_s.arg(i).arg(size).arg(chunk).arg(why)));
        total += size;
    }
    QCOMPARE(rig.receiveCompletes, 200);
    QCOMPARE(rig.sendCompletes, 200);
    QCOMPARE(rig.sendRequests, 200);
    QCOMPARE(filesIn(rig.folder()),
             (QStringList{u"file-0.bin"_s, u"file-1.bin"_s, u"file-2.bin"_s}));
    qInfo("200 files, %lld bytes in all", total);
}

QTEST_MAIN(tst_ReliabilityTransfer)
#include "tst_reliability_transfer.moc"
