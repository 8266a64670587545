#include "protocol/announcedname.h"
#include "protocol/announcement.h"
#include "protocol/filenamefrompath.h"
#include "protocol/speedsample.h"

#include <QTest>

using namespace corvane;
using namespace Qt::StringLiterals;

class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    void announcement_data();
    void announcement();
    void malformedAnnouncement_data();
    void malformedAnnouncement();
    void speedSample_data();
    void speedSample();
    void fileNameFromPath_data();
    void fileNameFromPath();
    void announcedName_data();
    void announcedName();
};

void tst_Protocol::announcement_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("name");

    QTest::newRow("example") << QByteArray("FIS1048576|0@report.pdf") << qint64(1048576)
                             << u"report.pdf"_s;
    QTest::newRow("largest 32-bit")
        << QByteArray("FIS2147483647|0@x") << qint64(2147483647) << u"x"_s;
    QTest::newRow("above 2^31") << QByteArray("FIS5000000000|0@x") << qint64(5000000000) << u"x"_s;
    QTest::newRow("largest 64-bit")
        << QByteArray("FIS9223372036854775807|0@x") << qint64(9223372036854775807) << u"x"_s;
    QTest::newRow("empty file, empty name") << QByteArray("FIS0|0@") << qint64(0) << QString();
    QTest::newRow("name with @") << QByteArray("FIS7|0@a@b.txt") << qint64(7) << u"a@b.txt"_s;
    QTest::newRow("name with |") << QByteArray("FIS5|0@a|b") << qint64(5) << u"a|b"_s;
    QTest::newRow("non-ASCII name, UTF-8 on the wire") << QByteArray("FIS12|0@Gr\xc3\xbc\xc3\x9f"
                                                                     "e \xe6\x97\xa5.txt")
                                                       << qint64(12) << u"Grüße 日.txt"_s;
    // Read only: the sender always writes 0 there.
    QTest::newRow("other reserved number") << QByteArray("FIS3|12@n") << qint64(3) << u"n"_s;
}

void tst_Protocol::announcement()
{
    QFETCH(QByteArray, wire);
    QFETCH(qint64, size);
    QFETCH(QString, name);
    if (wire.contains("|0@"))
        QCOMPARE((Announcement{size, name}.text().toLocal8Bit()), wire);
    const Announcement::Parsed parsed = Announcement::parse(QString::fromLocal8Bit(wire));
    QVERIFY2(parsed.ok, qPrintable(parsed.errorString));
    QCOMPARE(parsed.announcement.size, size);
    QCOMPARE(parsed.announcement.name, name);
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
    QTest::newRow("non-ASCII digits") << u"FIS١٢|0@n"_s << u"size"_s;
    QTest::newRow("just past 64 bits") << u"FIS9223372036854775808|0@n"_s << u"size"_s;
    QTest::newRow("empty reserved") << u"FIS5|@n"_s << u"reserved"_s;
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

void tst_Protocol::speedSample_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<int>("speed");

    // Halves go to the even neighbour: 256 -> 0, 768 -> 2, 1280 -> 2.
    const std::pair<qint64, int> samples[] = {
        {0, 0},    {256, 0},        {512, 1},        {768, 2},
        {1280, 2}, {1024000, 2000}, {1048576, 2048}, {qint64(1) << 40, 2147483647}};
    for (const auto &[bytes, speed] : samples)
        QTest::addRow("%lld", bytes) << bytes << speed;
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
    QTest::newRow("slashes") << u"/home/ann/report.pdf"_s << u"report.pdf"_s;
    QTest::newRow("mixed") << u"C:/data\\sub/report.pdf"_s << u"report.pdf"_s;
    QTest::newRow("ends with a separator") << u"C:\\data\\"_s << QString();
}

void tst_Protocol::fileNameFromPath()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QCOMPARE(corvane::fileNameFromPath(path), name);
}

void tst_Protocol::announcedName_data()
{
    QTest::addColumn<QString>("announced");
    QTest::addColumn<QString>("safe"); // empty: nothing usable
    QTest::addColumn<QString>("shown");

    QTest::newRow("U+200B zero width space") << u"a\u200Bb"_s << u"ab"_s << u"a\\u200bb"_s;
    QTest::newRow("U+202E right-to-left override")
        << u"invoice\u202Efdp.exe"_s << u"invoicefdp.exe"_s << u"invoice\\u202efdp.exe"_s;
    QTest::newRow("U+2068 isolate, U+2065 between isolates")
        << u"a\u2065b\u2068c"_s << u"abc"_s << u"a\\u2065b\\u2068c"_s;
    QTest::newRow("U+061C Arabic letter mark") << u"\u061Cx"_s << u"x"_s << u"\\u061cx"_s;
    QTest::newRow("U+FEFF byte order mark") << u"a\uFEFFb"_s << u"ab"_s << u"a\\ufeffb"_s;
    QTest::newRow("controls and line separator")
        << u"a\u0001\nb\u2028c\u007f"_s << u"abc"_s << u"a\\x01\\x0ab\\u2028c\\x7f"_s;
    QTest::newRow("lone surrogate, emoji kept")
        << u"\xD800x\U0001F600"_s << u"x\U0001F600"_s << u"\\ud800x\U0001F600"_s;
    QTest::newRow("path") << u"../..\\dir/x.txt"_s << u"x.txt"_s << u"../..\\dir/x.txt"_s;
    QTest::newRow(".") << u"."_s << QString() << u"."_s;
    QTest::newRow(".. around a mark") << u".\u200E."_s << QString() << u".\\u200e."_s;
    // 255 bytes less room for " (n)" and "TMP"; each "é" takes two.
    QTest::newRow("long name") << QString(300, u'é') + u".txt"_s << QString(118, u'é') + u".txt"_s
                               << QString(300, u'é') + u".txt"_s;
}

void tst_Protocol::announcedName()
{
    QFETCH(QString, announced);
    QFETCH(QString, safe);
    QFETCH(QString, shown);
    QCOMPARE(AnnouncedName::safeName(announced), safe);
    QCOMPARE(AnnouncedName::visible(announced), shown);
}

QTEST_APPLESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
