#include "protocol/announcedname.h"
#include "protocol/announcement.h"
#include "protocol/filenamefrompath.h"
#include "protocol/infocodestream.h"
#include "protocol/socketerror.h"
#include "protocol/speedsample.h"
#include "protocol/timeleft.h"

#include <QTest>

using namespace corvane;
using namespace Qt::StringLiterals;

class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    void announcement_data()
    {
        // The tag is the wire text; "size name", or what the complaint names after "cut: " (the
        // start of a message, so the rest is waited for) or "malformed: ".
        QTest::addColumn<QString>("parsed");
        QTest::newRow("FIS1048576|0@report.pdf") << u"1048576 report.pdf"_s;
        QTest::newRow("FIS9223372036854775807|0@x") << u"9223372036854775807 x"_s;
        QTest::newRow("FIS0|0@") << u"0 "_s;
        QTest::newRow("FIS7|0@a@b.txt") << u"7 a@b.txt"_s;
        QTest::newRow("FIS12|0@Grüße 日.txt") << u"12 Grüße 日.txt"_s;
        QTest::newRow("F") << u"cut: FIS"_s;
        QTest::newRow("FS") << u"cut: FIS"_s;
        QTest::newRow("FIS12") << u"cut: \"|\""_s;
        QTest::newRow("FIS12|") << u"cut: \"@\""_s;
        QTest::newRow("FIS1a") << u"malformed: \"|\""_s;
        QTest::newRow("FIS1234|0name") << u"malformed: \"@\""_s;
        QTest::newRow("FIS|0@n") << u"malformed: size"_s;
        QTest::newRow("FIS+5|0@n") << u"malformed: size"_s;
        QTest::newRow("FIS007|0@n") << u"malformed: size"_s;
        QTest::newRow("FIS 5|0@n") << u"malformed: size"_s;
        QTest::newRow("FIS99999999999999999999|0@n") << u"malformed: size"_s;
        QTest::newRow("FIS5|x@n") << u"malformed: reserved"_s;
        QTest::newRow("fis5|0@n") << u"malformed: FIS"_s;
    }

    void announcement()
    {
        QFETCH(QString, parsed);
        const QString text = QString::fromUtf8(QTest::currentDataTag());
        const auto [ok, announcement, errorString] = Announcement::parse(text);
        const QString kind = Announcement::isUnfinished(text) ? u"cut: "_s
                             : ok                             ? QString()
                                                              : u"malformed: "_s;
        const QString got =
            ok ? QString::number(announcement.size) + u' ' + announcement.name : errorString;
        QVERIFY2(parsed.startsWith(kind) &&
                     (ok ? got == parsed : got.contains(parsed.sliced(kind.size()))),
                 qPrintable(kind + got));
        QVERIFY(!ok || announcement.text() == text);
    }

    void infoCodeStream_data()
    {
        QTest::addColumn<QString>("codes"); // from the reads in the tag, '|' between them
        QTest::newRow("AC|PRF|C") << u"ACP RFC"_s;
        QTest::newRow("XYZR|FS") << u"RFS"_s;
        QTest::newRow("CNTR|ACP") << u"CNT ACP"_s;
        QTest::newRow("acp|cnt") << QString();
    }

    void infoCodeStream()
    {
        InfoCodeStream stream;
        QStringList seen;
        for (const QString &read : QString::fromLatin1(QTest::currentDataTag()).split(u'|'))
            seen += stream.append(read);
        QTEST(seen.join(u' '), "codes");
    }

    void socketError_data()
    {
        // Hosts test for these numbers: written out here, not taken from the product's constants.
        QTest::addColumn<QAbstractSocket::SocketError>("qtError"); // Unknown: none maps to it
        using enum QAbstractSocket::SocketError;
        QTest::newRow("10048 AddressInUse: Address already in use") << AddressInUseError;
        QTest::newRow("10049 AddressNotAvailable: Address not available")
            << SocketAddressNotAvailableError;
        QTest::newRow("10050 NetworkDown: Network is down") << ProxyNotFoundError; // and the rest
        QTest::newRow("10053 ConnectionAborted: Connection aborted") << UnknownSocketError;
        QTest::newRow("10054 ConnectionReset: Connection reset by the remote host")
            << RemoteHostClosedError;
        QTest::newRow("10060 TimedOut: Connection timed out") << SocketTimeoutError;
        QTest::newRow("10061 ConnectionRefused: Connection refused") << ConnectionRefusedError;
        QTest::newRow("11001 HostNotFound: Host not found") << HostNotFoundError;
    }

    void socketError()
    {
        using enum QAbstractSocket::SocketError;
        QFETCH(QAbstractSocket::SocketError, qtError);
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        const SocketError error = SocketError::fromNumber(tag.first(5).toInt());
        QCOMPARE(u"%1 %2: %3"_s.arg(error.number).arg(error.name, error.description), tag);
        QVERIFY(qtError == UnknownSocketError ||
                SocketError::fromQt(qtError).number == error.number);
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
        QTest::addColumn<QString>("safe"); // empty: nothing usable
        QTest::addColumn<QString>("shown");
        const auto row = [](const char *tag, const QString &text, const QString &safe,
                            const QString &shown) {
            QTest::newRow(tag) << text << safe << shown;
        };
        row("invisible", u"\u061Ca\u200Bb\uFEFFc"_s, u"abc"_s, u"\\u061ca\\u200bb\\ufeffc"_s);
        row("bidi", u"a\u202Eb\u2065c\u2068d"_s, u"abcd"_s, u"a\\u202eb\\u2065c\\u2068d"_s);
        row("controls", u"a\u0001\nb\u2028c\u007f"_s, u"abc"_s, u"a\\x01\\x0ab\\u2028c\\x7f"_s);
        row("lone surrogate", u"\xD800x\U0001F600"_s, u"x\U0001F600"_s, u"\\ud800x\U0001F600"_s);
        row("path", u"../..\\dir/x.txt"_s, u"x.txt"_s, u"../..\\dir/x.txt"_s);
        row("ends with a separator", u"C:\\data\\"_s, QString(), u"C:\\data\\"_s);
        row(".", u"."_s, QString(), u"."_s);
        row(".. around a mark", u".\u200E."_s, QString(), u".\\u200e."_s);
        // 255 bytes less room for " (n)" and "TMP"; each "é" takes two.
        const QString longName = QString(300, u'é') + u".txt"_s;
        row("long name", longName, longName.right(122), longName);
    }

    void names()
    {
        QFETCH(QString, text);
        QFETCH(QString, safe);
        // The sender keeps a name as it is, less the directory part.
        QCOMPARE(fileNameFromPath(text), text.contains(u'/') || text.contains(u'\\') ? safe : text);
        QCOMPARE(AnnouncedName::safeName(text), safe);
        QTEST(AnnouncedName::visible(text), "shown");
    }
};

QTEST_APPLESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
