#include "protocol/announcedname.h"
#include "protocol/announcement.h"
#include "protocol/filenamefrompath.h"
#include "protocol/infocodestream.h"
#include "protocol/socketerror.h"
#include "protocol/speedsample.h"

#include <QTest>

#include <optional>

using namespace corvane;
using namespace Qt::StringLiterals;

class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    void announcement_data();
    void announcement();
    void infoCodeStream_data();
    void infoCodeStream();
    void socketError_data();
    void socketError();
    void speedSample();
    void names_data();
    void names();
};

void tst_Protocol::announcement_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<qint64>("size");  // -1: malformed
    QTest::addColumn<QString>("name"); // of a malformed text: what the complaint names
    QTest::addColumn<bool>("cut");     // can only be the start of a message: waits for the rest
    const auto row = [](const char *tag, const QByteArray &wire, qint64 size, const QString &name,
                        bool cut = false) {
        QTest::newRow(tag) << wire << size << name << cut;
    };

    row("example", "FIS1048576|0@report.pdf", 1048576, u"report.pdf"_s);
    row("largest 32-bit", "FIS2147483647|0@x", 2147483647, u"x"_s);
    row("largest 64-bit", "FIS9223372036854775807|0@x", 9223372036854775807, u"x"_s);
    row("empty file, empty name", "FIS0|0@", 0, QString());
    row("name with @", "FIS7|0@a@b.txt", 7, u"a@b.txt"_s);
    row("UTF-8 name", "FIS12|0@Grüße 日.txt", 12, u"Grüße 日.txt"_s);
    row("cut in the name: not detectable", "FIS12|0@na", 12, u"na"_s);
    row("cut: F", "F", -1, u"FIS"_s, true);
    row("cut: FI", "FI", -1, u"FIS"_s, true);
    row("cut: FS", "FS", -1, u"FIS"_s, true);
    row("cut in the size", "FIS12", -1, u"\"|\""_s, true);
    row("cut after |", "FIS12|", -1, u"\"@\""_s, true);
    row("never a message: letter in the size", "FIS1a", -1, u"\"|\""_s);
    row("no |", "FIS1234@name", -1, u"\"|\""_s);
    row("no @", "FIS1234|0name", -1, u"\"@\""_s);
    row("empty size", "FIS|0@n", -1, u"size"_s);
    row("sign", "FIS+5|0@n", -1, u"size"_s);
    row("leading zero", "FIS007|0@n", -1, u"size"_s);
    row("blank in the size", "FIS 5|0@n", -1, u"size"_s);
    row("20 digits", "FIS99999999999999999999|0@n", -1, u"size"_s);
    row("reserved number not a number", "FIS5|x@n", -1, u"reserved"_s);
    row("lower case", "fis5|0@n", -1, u"FIS"_s);
}

void tst_Protocol::announcement()
{
    QFETCH(QByteArray, wire);
    QFETCH(qint64, size);
    QFETCH(QString, name);
    QFETCH(bool, cut);
    const QString text = QString::fromLocal8Bit(wire);
    QCOMPARE(Announcement::isUnfinished(text), cut);
    const Announcement::Parsed parsed = Announcement::parse(text);
    QVERIFY2(parsed.ok == (size >= 0) && (parsed.ok || parsed.errorString.contains(name)),
             qPrintable(parsed.errorString));
    if (!parsed.ok)
        return;
    QCOMPARE(std::pair(parsed.announcement.size, parsed.announcement.name), std::pair(size, name));
    QCOMPARE((Announcement{size, name}.text().toLocal8Bit()), wire);
}

void tst_Protocol::infoCodeStream_data()
{
    QTest::addColumn<QStringList>("reads");
    QTest::addColumn<QStringList>("codes");
    using L = QStringList;
    QTest::newRow("merged") << L{u"RFSACPRFC"_s} << L{u"RFS"_s, u"ACP"_s, u"RFC"_s};
    QTest::newRow("split") << L{u"AC"_s, u"PRF"_s, u"C"_s} << L{u"ACP"_s, u"RFC"_s};
    QTest::newRow("junk, then a code") << L{u"XYZR"_s, u"FS"_s} << L{u"RFS"_s};
    QTest::newRow("stray character") << L{u"CNTR"_s, u"ACP"_s} << L{u"CNT"_s, u"ACP"_s};
    QTest::newRow("lower case") << L{u"acp"_s, u"cnt"_s} << L{};
}

void tst_Protocol::infoCodeStream()
{
    QFETCH(QStringList, reads);
    QFETCH(QStringList, codes);
    InfoCodeStream stream;
    QStringList seen;
    for (const QString &read : reads)
        seen += stream.append(read);
    QCOMPARE(seen, codes);
}

void tst_Protocol::socketError_data()
{
    // Hosts test for these numbers: written out here, not taken from the product's constants.
    QTest::addColumn<int>("qtError"); // UnknownSocketError: none maps to the row
    QTest::addColumn<int>("number");
    using E = QAbstractSocket::SocketError;
    const auto row = [](E qtError, int number, const char *nameAndDescription) {
        QTest::newRow(nameAndDescription) << int(qtError) << number;
    };
    using enum QAbstractSocket::SocketError;
    row(SocketAccessError, 10013, "PermissionDenied: Permission denied");
    row(OperationError, 10022, "InvalidArgument: Invalid argument");
    row(TemporaryError, 10035, "WouldBlock: The operation would block; try again");
    row(UnfinishedSocketOperationError, 10036, "InProgress: An operation is already in progress");
    row(DatagramTooLargeError, 10040, "MessageTooLong: Message too long");
    row(UnsupportedSocketOperationError, 10045, "NotSupported: Operation not supported");
    row(AddressInUseError, 10048, "AddressInUse: Address already in use");
    row(SocketAddressNotAvailableError, 10049, "AddressNotAvailable: Address not available");
    row(ProxyNotFoundError, 10050, "NetworkDown: Network is down"); // and what none names
    row(NetworkError, 10051, "NetworkUnreachable: Network is unreachable");
    row(UnknownSocketError, 10053, "ConnectionAborted: Connection aborted");
    row(RemoteHostClosedError, 10054, "ConnectionReset: Connection reset by the remote host");
    row(SocketResourceError, 10055, "NoBufferSpace: No buffer space available");
    row(UnknownSocketError, 10057, "NotConnected: Socket is not connected");
    row(SocketTimeoutError, 10060, "TimedOut: Connection timed out");
    row(ConnectionRefusedError, 10061, "ConnectionRefused: Connection refused");
    row(HostNotFoundError, 11001, "HostNotFound: Host not found");
}

void tst_Protocol::socketError()
{
    QFETCH(int, qtError);
    QFETCH(int, number);
    const SocketError error = SocketError::fromNumber(number);
    QCOMPARE(error.name + u": "_s + error.description,
             QString::fromLatin1(QTest::currentDataTag()));
    if (qtError != QAbstractSocket::UnknownSocketError)
        QCOMPARE(SocketError::fromQt(QAbstractSocket::SocketError(qtError)).number, number);
}

void tst_Protocol::speedSample()
{
    // Whole KiB per second for the bytes of one 500 ms tick; halves go to the even neighbour.
    QList<int> speeds;
    for (const qint64 bytes : {0ll, 256ll, 512ll, 768ll, 1280ll, 1024000ll, 1048576ll, 1ll << 40})
        speeds << corvane::speedSample(bytes);
    QCOMPARE(speeds, (QList<int>{0, 0, 1, 2, 2, 2000, 2048, 2147483647}));
}

void tst_Protocol::names_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("fromPath"); // the sender's name for a source path
    QTest::addColumn<QString>("safe");     // empty: nothing usable
    QTest::addColumn<QString>("shown");
    const auto row = [](const char *tag, const QString &text, const QString &safe,
                        const QString &shown, const std::optional<QString> &fromPath = {}) {
        QTest::newRow(tag) << text << fromPath.value_or(text) << safe << shown;
    };
    row("format characters", u"\u061Ca\u200Bb\uFEFFc"_s, u"abc"_s, u"\\u061ca\\u200bb\\ufeffc"_s);
    row("bidi controls", u"a\u202Eb\u2065c\u2068d"_s, u"abcd"_s, u"a\\u202eb\\u2065c\\u2068d"_s);
    row("controls", u"a\u0001\nb\u2028c\u007f"_s, u"abc"_s, u"a\\x01\\x0ab\\u2028c\\x7f"_s);
    row("lone surrogate", u"\xD800x\U0001F600"_s, u"x\U0001F600"_s, u"\\ud800x\U0001F600"_s);
    row("path", u"../..\\dir/x.txt"_s, u"x.txt"_s, u"../..\\dir/x.txt"_s, u"x.txt"_s);
    row("ends with a separator", u"C:\\data\\"_s, QString(), u"C:\\data\\"_s, QString());
    row(".", u"."_s, QString(), u"."_s);
    row(".. around a mark", u".\u200E."_s, QString(), u".\\u200e."_s);
    // 255 bytes less room for " (n)" and "TMP"; each "é" takes two.
    const QString longName = QString(300, u'é') + u".txt"_s;
    row("long name", longName, longName.right(122), longName);
}

void tst_Protocol::names()
{
    QFETCH(QString, text);
    QFETCH(QString, fromPath);
    QFETCH(QString, safe);
    QFETCH(QString, shown);
    QCOMPARE(fileNameFromPath(text), fromPath);
    QCOMPARE(AnnouncedName::safeName(text), safe);
    QCOMPARE(AnnouncedName::visible(text), shown);
}

QTEST_APPLESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
