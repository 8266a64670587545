#include "protocol/announcement.h"
#include "protocol/filenamefrompath.h"
#include "protocol/infocode.h"
#include "protocol/infocodestream.h"
#include "protocol/speedsample.h"

#include <QTest>

using namespace corvane;
using namespace Qt::StringLiterals;

class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    void announcementText_data();
    void announcementText();
    void announcementReadBack_data();
    void announcementReadBack();
    void malformedAnnouncement_data();
    void malformedAnnouncement();
    void codeMatching_data();
    void codeMatching();
    void codeStream_data();
    void codeStream();
    void speedSample_data();
    void speedSample();
    void fileNameFromPath_data();
    void fileNameFromPath();
};

void tst_Protocol::announcementText_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("wire");

    QTest::newRow("example") << qint64(1048576) << u"report.pdf"_s
                             << QByteArray("FIS1048576|0@report.pdf");
    QTest::newRow("largest 32-bit") << qint64(2147483647) << u"big.iso"_s
                                    << QByteArray("FIS2147483647|0@big.iso");
    QTest::newRow("above 2^31") << qint64(5000000000) << u"huge.bin"_s
                                << QByteArray("FIS5000000000|0@huge.bin");
    QTest::newRow("empty file, empty name") << qint64(0) << QString() << QByteArray("FIS0|0@");
    QTest::newRow("name with @") << qint64(7) << u"a@b.txt"_s << QByteArray("FIS7|0@a@b.txt");
    QTest::newRow("non-ASCII name, UTF-8 on the wire")
        << qint64(12) << u"Grüße ñ 日本.txt"_s
        << QByteArray("FIS12|0@Gr\xc3\xbc\xc3\x9f" "e \xc3\xb1 \xe6\x97\xa5\xe6\x9c\xac.txt");
}

void tst_Protocol::announcementText()
{
    QFETCH(qint64, size);
    QFETCH(QString, name);
    QFETCH(QByteArray, wire);
    const QString text = Announcement{size, name}.text();
    QCOMPARE(text.toLocal8Bit(), wire);
}

void tst_Protocol::announcementReadBack_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("name");

    QTest::newRow("example") << u"FIS1048576|0@report.pdf"_s << qint64(1048576) << u"report.pdf"_s;
    QTest::newRow("1234") << u"FIS1234|0@report.pdf"_s << qint64(1234) << u"report.pdf"_s;
    QTest::newRow("largest 32-bit") << u"FIS2147483647|0@x"_s << qint64(2147483647) << u"x"_s;
    QTest::newRow("above 2^31") << u"FIS2147483648|0@x"_s << qint64(2147483648) << u"x"_s;
    QTest::newRow("largest 64-bit") << u"FIS9223372036854775807|0@x"_s
                                    << qint64(9223372036854775807) << u"x"_s;
    QTest::newRow("zero size") << u"FIS0|0@empty"_s << qint64(0) << u"empty"_s;
    QTest::newRow("name with @") << u"FIS5|0@a@b.txt"_s << qint64(5) << u"a@b.txt"_s;
    QTest::newRow("name with |") << u"FIS5|0@a|b"_s << qint64(5) << u"a|b"_s;
    QTest::newRow("empty name") << u"FIS5|0@"_s << qint64(5) << QString();
    QTest::newRow("non-ASCII name") << u"FIS3|0@Привет.txt"_s << qint64(3) << u"Привет.txt"_s;
    QTest::newRow("other reserved number") << u"FIS3|12@n"_s << qint64(3) << u"n"_s;
}

void tst_Protocol::announcementReadBack()
{
    QFETCH(QString, text);
    QFETCH(qint64, size);
    QFETCH(QString, name);
    const Announcement::Parsed parsed = Announcement::parse(text);
    QVERIFY2(parsed.ok, qPrintable(parsed.errorString));
    QCOMPARE(parsed.announcement.size, size);
    QCOMPARE(parsed.announcement.name, name);
    // What the sender writes reads back as it was.
    QCOMPARE(Announcement::parse(Announcement{size, name}.text()).announcement.name, name);
}

void tst_Protocol::malformedAnnouncement_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("complaint");

    QTest::newRow("code alone") << u"FIS"_s << u"\"|\""_s;
    QTest::newRow("no bar") << u"FIS1234@name"_s << u"\"|\""_s;
    QTest::newRow("no at") << u"FIS1234|0name"_s << u"\"@\""_s;
    QTest::newRow("at only before bar") << u"FIS12@3|0"_s << u"size"_s;
    QTest::newRow("empty size") << u"FIS|0@n"_s << u"size"_s;
    QTest::newRow("negative size") << u"FIS-5|0@n"_s << u"size"_s;
    QTest::newRow("plus sign") << u"FIS+5|0@n"_s << u"size"_s;
    QTest::newRow("leading zero") << u"FIS007|0@n"_s << u"size"_s;
    QTest::newRow("blank in size") << u"FIS 5|0@n"_s << u"size"_s;
    QTest::newRow("non-numeric size") << u"FISabc|0@n"_s << u"size"_s;
    QTest::newRow("non-ASCII digits") << u"FIS١٢|0@n"_s << u"size"_s;
    QTest::newRow("20 digits") << u"FIS99999999999999999999|0@n"_s << u"size"_s;
    QTest::newRow("just past 64 bits") << u"FIS9223372036854775808|0@n"_s << u"size"_s;
    QTest::newRow("empty reserved") << u"FIS5|@n"_s << u"reserved"_s;
    QTest::newRow("non-numeric reserved") << u"FIS5|x@n"_s << u"reserved"_s;
    QTest::newRow("negative reserved") << u"FIS5|-1@n"_s << u"reserved"_s;
    QTest::newRow("not an announcement") << u"ACP"_s << u"FIS"_s;
}

void tst_Protocol::malformedAnnouncement()
{
    QFETCH(QString, text);
    QFETCH(QString, complaint);
    const Announcement::Parsed parsed = Announcement::parse(text);
    QVERIFY(!parsed.ok);
    QVERIFY2(parsed.errorString.contains(complaint), qPrintable(parsed.errorString));
    QCOMPARE(parsed.announcement.size, 0);
    QVERIFY(parsed.announcement.name.isEmpty());
}

void tst_Protocol::codeMatching_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<InfoCode>("senderCode");
    QTest::addColumn<InfoCode>("receiverCode");

    QTest::newRow("CNT") << u"CNT"_s << InfoCode::Connected << InfoCode::None;
    QTest::newRow("ACP") << u"ACP"_s << InfoCode::Accepted << InfoCode::None;
    QTest::newRow("RFS") << u"RFS"_s << InfoCode::Refused << InfoCode::None;
    QTest::newRow("RFC") << u"RFC"_s << InfoCode::ReceiveComplete << InfoCode::None;
    QTest::newRow("FSC") << u"FSC"_s << InfoCode::None << InfoCode::SendComplete;
    QTest::newRow("FIS announcement") << u"FIS1|0@a"_s << InfoCode::None << InfoCode::FileInfo;
    QTest::newRow("CNT and more") << u"CNTxyz"_s << InfoCode::Connected << InfoCode::None;
    QTest::newRow("lower case") << u"cnt"_s << InfoCode::None << InfoCode::None;
    QTest::newRow("lower-case fis") << u"fis1|0@a"_s << InfoCode::None << InfoCode::None;
    QTest::newRow("leading blank") << u" CNT"_s << InfoCode::None << InfoCode::None;
    QTest::newRow("too short") << u"FI"_s << InfoCode::None << InfoCode::None;
    QTest::newRow("empty") << QString() << InfoCode::None << InfoCode::None;
    QTest::newRow("unknown") << u"XYZ"_s << InfoCode::None << InfoCode::None;
}

void tst_Protocol::codeMatching()
{
    QFETCH(QString, text);
    QFETCH(InfoCode, senderCode);
    QFETCH(InfoCode, receiverCode);
    QCOMPARE(matchSenderCode(text), senderCode);
    QCOMPARE(matchReceiverCode(text), receiverCode);
}

void tst_Protocol::codeStream_data()
{
    QTest::addColumn<QStringList>("reads");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("one per read") << QStringList{u"CNT"_s, u"ACP"_s}
                                  << QStringList{u"CNT"_s, u"ACP"_s};
    QTest::newRow("two in one read") << QStringList{u"ACPRFC"_s}
                                     << QStringList{u"ACP"_s, u"RFC"_s};
    QTest::newRow("split over two reads") << QStringList{u"AC"_s, u"PRF"_s, u"C"_s}
                                          << QStringList{u"ACP"_s, u"RFC"_s};
    QTest::newRow("one letter at a time") << QStringList{u"R"_s, u"F"_s, u"S"_s}
                                          << QStringList{u"RFS"_s};
    QTest::newRow("CNT with a tail") << QStringList{u"CNTxy"_s, u"ACP"_s}
                                     << QStringList{u"CNT"_s, u"ACP"_s};
    QTest::newRow("stray tail is dropped") << QStringList{u"CNTx"_s, u"RFC"_s}
                                           << QStringList{u"CNT"_s, u"RFC"_s};
    QTest::newRow("lower case stays a message") << QStringList{u"cnt"_s, u"ACP"_s}
                                                << QStringList{u"cnt"_s, u"ACP"_s};
}

void tst_Protocol::codeStream()
{
    QFETCH(QStringList, reads);
    QFETCH(QStringList, messages);
    InfoCodeStream stream;
    QStringList seen;
    for (const QString &read : reads)
        seen += stream.append(read);
    QCOMPARE(seen, messages);
}

void tst_Protocol::speedSample_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<int>("speed");

    QTest::newRow("0") << qint64(0) << 0;
    QTest::newRow("256") << qint64(256) << 0;
    QTest::newRow("512 half to even 1") << qint64(512) << 1;
    QTest::newRow("768") << qint64(768) << 2;
    QTest::newRow("1280 half to even 2") << qint64(1280) << 2;
    QTest::newRow("1,024,000") << qint64(1024000) << 2000;
    QTest::newRow("1,048,576") << qint64(1048576) << 2048;
    QTest::newRow("1536 half to even 3") << qint64(1536) << 3;
    QTest::newRow("clamped to 32 bits") << (qint64(1) << 40) << 2147483647;
}

void tst_Protocol::speedSample()
{
    QFETCH(qint64, bytes);
    QFETCH(int, speed);
    QCOMPARE(corvane::speedSample(bytes), speed);
}

void tst_Protocol::fileNameFromPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");

    QTest::newRow("backslashes") << u"C:\\data\\report.pdf"_s << u"report.pdf"_s;
    QTest::newRow("bare name") << u"report.pdf"_s << u"report.pdf"_s;
    QTest::newRow("ends with backslash") << u"C:\\data\\"_s << QString();
    QTest::newRow("slashes") << u"/home/ann/report.pdf"_s << u"report.pdf"_s;
    QTest::newRow("mixed") << u"C:/data\\sub/report.pdf"_s << u"report.pdf"_s;
    QTest::newRow("ends with slash") << u"/tmp/"_s << QString();
    QTest::newRow("empty") << QString() << QString();
}

void tst_Protocol::fileNameFromPath()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QCOMPARE(corvane::fileNameFromPath(path), name);
}

QTEST_APPLESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
