#include "protocol/announcedname.h"
#include "protocol/announcement.h"
#include "protocol/filenamefrompath.h"
#include "protocol/infocodestream.h"
#include "protocol/socketerror.h"
#include "protocol/speedsample.h"
#include "protocol/timeleft.h"

#include <QTest>

#include <optional>

using namespace corvane;
using namespace Qt::StringLiterals;

class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    void announcement_data()
    {
        // "size name", or what the complaint names after "cut: " (the start of a message, so
        // the rest is waited for) or "malformed: ".
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QString>("parsed");
        const auto row = [](const QByteArray &wire, const QString &parsed) {
            QTest::newRow(wire.constData()) << wire << parsed;
        };
        row("FIS1048576|0@report.pdf", u"1048576 report.pdf"_s);
        row("FIS9223372036854775807|0@x", u"9223372036854775807 x"_s);
        row("FIS0|0@", u"0 "_s);
        row("FIS7|0@a@b.txt", u"7 a@b.txt"_s);
        row("FIS12|0@Grüße 日.txt", u"12 Grüße 日.txt"_s);
        row("F", u"cut: FIS"_s);
        row("FS", u"cut: FIS"_s);
        row("FIS12", u"cut: \"|\""_s);
        row("FIS12|", u"cut: \"@\""_s);
        row("FIS1a", u"malformed: \"|\""_s);
        row("FIS1234@name", u"malformed: \"|\""_s);
        row("FIS1234|0name", u"malformed: \"@\""_s);
        row("FIS|0@n", u"malformed: size"_s);
        row("FIS+5|0@n", u"malformed: size"_s);
        row("FIS007|0@n", u"malformed: size"_s);
        row("FIS 5|0@n", u"malformed: size"_s);
        row("FIS99999999999999999999|0@n", u"malformed: size"_s);
        row("FIS5|x@n", u"malformed: reserved"_s);
        row("fis5|0@n", u"malformed: FIS"_s);
    }

    void announcement()
    {
        QFETCH(QByteArray, wire);
        QFETCH(QString, parsed);
        const QString text = QString::fromLocal8Bit(wire);
        const auto [ok, announcement, errorString] = Announcement::parse(text);
        const QString kind = Announcement::isUnfinished(text) ? u"cut: "_s : u"malformed: "_s;
        if (!ok) {
            QVERIFY2(parsed.startsWith(kind) && errorString.contains(parsed.sliced(kind.size())),
                     qPrintable(errorString));
            return;
        }
        QVERIFY(!Announcement::isUnfinished(text));
        QCOMPARE(QString::number(announcement.size) + u' ' + announcement.name, parsed);
        QCOMPARE(announcement.text().toLocal8Bit(), wire);
    }

    void infoCodeStream_data()
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

    void infoCodeStream()
    {
        QFETCH(QStringList, reads);
        InfoCodeStream stream;
        QStringList seen;
        for (const QString &read : reads)
            seen += stream.append(read);
        QTEST(seen, "codes");
    }

    void socketError_data()
    {
        // Hosts test for these numbers: written out here, not taken from the product's constants.
        QTest::addColumn<QAbstractSocket::SocketError>("qtError"); // Unknown: none maps to it
        using enum QAbstractSocket::SocketError;
        QTest::newRow("10013 PermissionDenied: Permission denied") << SocketAccessError;
        QTest::newRow("10022 InvalidArgument: Invalid argument") << OperationError;
        QTest::newRow("10035 WouldBlock: The operation would block; try again") << TemporaryError;
        QTest::newRow("10036 InProgress: An operation is already in progress")
            << UnfinishedSocketOperationError;
        QTest::newRow("10040 MessageTooLong: Message too long") << DatagramTooLargeError;
        QTest::newRow("10045 NotSupported: Operation not supported")
            << UnsupportedSocketOperationError;
        QTest::newRow("10048 AddressInUse: Address already in use") << AddressInUseError;
        QTest::newRow("10049 AddressNotAvailable: Address not available")
            << SocketAddressNotAvailableError;
        QTest::newRow("10050 NetworkDown: Network is down") << ProxyNotFoundError; // and the rest
        QTest::newRow("10051 NetworkUnreachable: Network is unreachable") << NetworkError;
        QTest::newRow("10053 ConnectionAborted: Connection aborted") << UnknownSocketError;
        QTest::newRow("10054 ConnectionReset: Connection reset by the remote host")
            << RemoteHostClosedError;
        QTest::newRow("10055 NoBufferSpace: No buffer space available") << SocketResourceError;
        QTest::newRow("10057 NotConnected: Socket is not connected") << UnknownSocketError;
        QTest::newRow("10060 TimedOut: Connection timed out") << SocketTimeoutError;
        QTest::newRow("10061 ConnectionRefused: Connection refused") << ConnectionRefusedError;
        QTest::newRow("11001 HostNotFound: Host not found") << HostNotFoundError;
    }

    void socketError()
    {
        QFETCH(QAbstractSocket::SocketError, qtError);
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        const SocketError error = SocketError::fromNumber(tag.first(5).toInt());
        QCOMPARE(QString::number(error.number) + u' ' + error.name + u": "_s + error.description,
                 tag);
        if (qtError != QAbstractSocket::UnknownSocketError)
            QCOMPARE(SocketError::fromQt(qtError).number, error.number);
    }

    void speedSample()
    {
        // Whole KiB per second for the bytes of one 500 ms tick; halves go to the even neighbour.
        QList<int> speeds;
        for (const qint64 bytes :
             {0ll, 256ll, 512ll, 768ll, 1280ll, 1024000ll, 1048576ll, 1ll << 40})
            speeds << corvane::speedSample(bytes);
        QCOMPARE(speeds, (QList<int>{0, 0, 1, 2, 2, 2000, 2048, 2147483647}));
    }

    void timeLeft_data()
    {
        // At the average of the last 8 speed samples (KiB/s), rounded up to whole seconds.
        QTest::addColumn<QList<int>>("samples");
        QTest::addColumn<qint64>("remaining");
        QTest::addColumn<QString>("shown");
        using L = QList<int>;
        constexpr qint64 KiB = 1024;
        QTest::newRow("no sample") << L{} << KiB << u"--"_s;
        QTest::newRow("all zero") << L{0, 0} << KiB << u"--"_s;
        QTest::newRow("1 MiB at 1 MiB/s") << L{1024} << 1024 * KiB << u"0:01"_s;
        QTest::newRow("rounded up") << L{1024} << 1024 * KiB + 1 << u"0:02"_s;
        QTest::newRow("minutes") << L{1} << 61 * KiB << u"1:01"_s;
        QTest::newRow("hours") << L{1} << 3600 * KiB << u"1:00:00"_s;
        QTest::newRow("negative remaining") << L{1} << -1024 * KiB << u"0:00"_s;
        QTest::newRow("the first of 9 no longer counts")
            << L{100000, 2, 1, 1, 1, 1, 1, 1, 1} << 9 * KiB << u"0:08"_s;
    }

    void timeLeft()
    {
        QFETCH(QList<int>, samples);
        QFETCH(qint64, remaining);
        TimeLeft estimate;
        for (const int sample : samples)
            estimate.addSample(sample);
        QTEST(TimeLeft::format(estimate.seconds(remaining)), "shown");
    }

    void names_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("fromPath"); // the sender's name for a source path
        QTest::addColumn<QString>("safe");     // empty: nothing usable
        QTest::addColumn<QString>("shown");
        const auto row = [](const char *tag, const QString &text, const QString &safe,
                            const QString &shown, const std::optional<QString> &fromPath = {}) {
            QTest::newRow(tag) << text << fromPath.value_or(text) << safe << shown;
        };
        row("invisible", u"\u061Ca\u200Bb\uFEFFc"_s, u"abc"_s, u"\\u061ca\\u200bb\\ufeffc"_s);
        row("bidi", u"a\u202Eb\u2065c\u2068d"_s, u"abcd"_s, u"a\\u202eb\\u2065c\\u2068d"_s);
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

    void names()
    {
        QFETCH(QString, text);
        QTEST(fileNameFromPath(text), "fromPath");
        QTEST(AnnouncedName::safeName(text), "safe");
        QTEST(AnnouncedName::visible(text), "shown");
    }
};

QTEST_APPLESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
