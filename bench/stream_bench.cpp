// Streams one file between a BinarySender and a BinaryReceiver on loopback, in one process,
// and prints the time taken, the throughput and the process's peak resident memory.
//
//   stream_bench [size [chunk]]   sizes in bytes, or with a K, M or G suffix
//                                 (default: 1G file, the sender's default chunk size)

#include "receiver/binaryreceiver.h"
#include "sender/binarysender.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <limits>

using namespace corvane;
using namespace Qt::StringLiterals;

namespace {
qint64 parseSize(QString text)
{
    text = text.trimmed().toUpper();
    qint64 factor = 1;
    if (text.endsWith(u'K'))
        factor = 1024;
    else if (text.endsWith(u'M'))
        factor = 1024 * 1024;
    else if (text.endsWith(u'G'))
        factor = 1024 * 1024 * 1024;
    if (factor > 1)
        text.chop(1);
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok && value >= 0 ? value * factor : -1;
}

// Writes size bytes of a non-repeating pattern one block at a time, so the benchmark's own
// memory stays flat; returns the content's digest.
QByteArray writeSource(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha1);
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    quint64 state = 0x9e3779b97f4a7c15ull;
    for (qint64 written = 0; written < size;) {
        for (qsizetype i = 0; i + 8 <= block.size(); i += 8) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            std::memcpy(block.data() + i, &state, 8);
        }
        const qint64 count = std::min<qint64>(block.size(), size - written);
        if (file.write(block.constData(), count) != count)
            return {};
        hash.addData(QByteArrayView(block.constData(), count));
        written += count;
    }
    return hash.result();
}

QByteArray digestOf(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return hash.result();
}

double peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0; // ru_maxrss is in KiB on Linux
}
} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qint64 size = parseSize(args.size() > 1 ? args.at(1) : u"1G"_s);
    const qint64 chunk =
        args.size() > 2 ? parseSize(args.at(2)) : qint64(BinarySender::DefaultChunkSize);
    if (size < 0 || chunk < 1 || chunk > std::numeric_limits<int>::max()) {
        std::fprintf(stderr, "usage: stream_bench [size [chunk]] (bytes, or with K, M or G)\n");
        return 2;
    }

    QTemporaryDir dir;
    const QString source = dir.filePath(u"source.bin"_s);
    const QString target = dir.filePath(u"target.bin"_s);
    const QByteArray digest = writeSource(source, size);
    if (!dir.isValid() || digest.isEmpty()) {
        std::fprintf(stderr, "cannot write the source file in %s\n", qPrintable(dir.path()));
        return 1;
    }
    const double rssBefore = peakRssMiB();

    BinaryReceiver receiver;
    BinarySender sender;
    QElapsedTimer clock;
    int status = 0;
    const auto stop = [&](const QString &why) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        status = 1;
        app.quit();
    };
    QObject::connect(&receiver, &BinaryReceiver::ConnectionRequest, &sender, [&] {
        sender.setSource(source);
        sender.setChunkSize(int(chunk));
        clock.start();
        if (!sender.SendInfo())
            stop(u"SendInfo: "_s + sender.LastErrorDescription());
    });
    QObject::connect(&receiver, &BinaryReceiver::SendRequest, &receiver, [&] {
        if (!receiver.AcceptSendRequest(target))
            stop(u"AcceptSendRequest: "_s + receiver.LastErrorDescription());
    });
    QObject::connect(&sender, &BinarySender::CommandAccepted, &sender, [&] {
        if (!sender.SendFile())
            stop(u"SendFile: "_s + sender.LastErrorDescription());
    });
    QObject::connect(&sender, &BinarySender::SendComplete, &app, &QApplication::quit);
    QObject::connect(&sender, &BinarySender::SendError, &app, [&](int, const QString &description) {
        stop(u"SendError: "_s + description);
    });
    QObject::connect(
        &receiver, &BinaryReceiver::ReceiveError, &app,
        [&](int, const QString &description) { stop(u"ReceiveError: "_s + description); });

    receiver.setLocalPortInfo(0);
    receiver.setLocalPortBinary(0);
    if (!receiver.Listen()) {
        std::fprintf(stderr, "Listen: %s\n", qPrintable(receiver.LastErrorDescription()));
        return 1;
    }
    sender.setRemoteHost(u"127.0.0.1"_s);
    sender.setRemotePortInfo(receiver.LocalPortInfo());
    sender.setRemotePortBinary(receiver.LocalPortBinary());
    if (!sender.Connect()) {
        std::fprintf(stderr, "Connect: %s\n", qPrintable(sender.LastErrorDescription()));
        return 1;
    }
    app.exec();
    if (status != 0)
        return status;

    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const double mib = double(size) / (1024.0 * 1024.0);
    const bool identical = digestOf(target) == digest;
    std::printf("bytes        %lld in chunks of %lld\n", static_cast<long long>(size),
                static_cast<long long>(chunk));
    std::printf("seconds      %.3f\n", seconds);
    std::printf("MiB/s        %.1f\n", seconds > 0 ? mib / seconds : 0.0);
    std::printf("peak RSS     %.1f MiB (%.1f MiB before the transfer)\n", peakRssMiB(), rssBefore);
    std::printf("identical    %s\n", identical ? "yes" : "NO");
    return identical ? 0 : 1;
}
