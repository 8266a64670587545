// Fuzzes what a BinarySender does with the texts a receiver sends on its info channel. A real
// sender connects to a stand-in receiver on loopback; the fuzz input becomes that receiver's
// messages ("CNT", "ACP", "RFC", ... whole, merged, cut or garbled), while a host reacts to
// the sender's events as a window would (streams on CommandAccepted, resets after the end).
// Besides sanitizer reports the target stops when SendError comes twice for one stream or the
// binary channel carries bytes that are not the file's.

#include "fuzzsession.h"

#include "sender/binarysender.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QFile>
#include <QPointer>
#include <QTcpServer>

#include <algorithm>

using namespace corvane;
using namespace corvane::fuzz;

namespace {
constexpr int SourceSize = 10000;

QByteArray sourceBytes()
{
    QByteArray bytes(SourceSize, Qt::Uninitialized);
    for (int i = 0; i < SourceSize; ++i)
        bytes[i] = char(i * 7 + i / 256);
    return bytes;
}

const QString &sourcePath()
{
    static const QString path = [] {
        const QString file = workFolder().filePath(QStringLiteral("source.bin"));
        QFile out(file);
        require(out.open(QIODevice::WriteOnly) && out.write(sourceBytes()) == SourceSize,
                "the source file is written");
        return file;
    }();
    return path;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    application();
    sourcePath();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    // Byte 0 chooses how the host and the stand-in receiver behave, bytes 1 and 2 the chunk
    // size; the rest are the receiver's messages.
    if (size < 3)
        return 0;
    const uint8_t flags = bytes[0];
    const bool acceptBinary = flags & 1;
    const bool streamOnAccept = flags & 2;
    const bool resetAfterEnd = flags & 4;
    const int chunkSize = 1 + (bytes[1] | bytes[2] << 8) % (2 * SourceSize);
    FuzzedDataProvider data(bytes + 3, size - 3);

    {
        QTcpServer infoServer;
        QTcpServer binaryServer;
        require(infoServer.listen(QHostAddress::LocalHost) &&
                    binaryServer.listen(QHostAddress::LocalHost),
                "the stand-in receiver listens");

        auto sender = std::make_unique<BinarySender>();
        QPointer<BinarySender> host(sender.get());
        int sendErrors = 0;
        // What the current binary connection should carry: each stream goes on from the
        // sender's read position, which only ResetFile takes back to the start.
        QByteArray expected;
        QObject::connect(sender.get(), &BinarySender::CommandAccepted, sender.get(), [&] {
            if (streamOnAccept && !host->Streaming()) {
                sendErrors = 0;
                const qint64 from = host->ReadPosition();
                if (host->SendFile())
                    expected += sourceBytes().sliced(std::min<qint64>(from, SourceSize));
            }
        });
        QObject::connect(sender.get(), &BinarySender::SendError, sender.get(),
                         [&] { require(++sendErrors == 1, "SendError comes once per stream"); });
        // Never in the middle of a stream, so that streams follow each other whole on the wire.
        const auto end = [&] {
            if (resetAfterEnd && !host->Streaming()) {
                host->ResetFile();
                host->setChunkSize(chunkSize);
                host->setSource(sourcePath());
            }
        };
        QObject::connect(sender.get(), &BinarySender::SendComplete, sender.get(), end);
        QObject::connect(sender.get(), &BinarySender::CommandRefused, sender.get(), end);

        sender->setRemoteHost(QStringLiteral("127.0.0.1"));
        sender->setRemotePortInfo(infoServer.serverPort());
        sender->setRemotePortBinary(binaryServer.serverPort());
        sender->setChunkSize(chunkSize);
        sender->setSource(sourcePath());
        require(sender->Connect(), "Connect starts");
        require(pumpUntil([&] { return infoServer.hasPendingConnections(); }),
                "the sender connects");
        std::unique_ptr<QTcpSocket> info(infoServer.nextPendingConnection());
        std::unique_ptr<QTcpSocket> binary;
        QByteArray streamed;

        pumpUntil([&] { return sender->SendInfo(); }, 20);
        pump();
        info->readAll();

        while (data.remaining_bytes() > 0) {
            const std::string message = data.ConsumeRandomLengthString(64);
            info->write(message.data(), qint64(message.size()));
            info->flush();
            pump();
            if (acceptBinary && binaryServer.hasPendingConnections()) {
                if (binary)
                    hardClose(binary.get());
                binary.reset(binaryServer.nextPendingConnection());
                streamed.clear();
                expected.clear();
            }
            if (binary) {
                streamed += binary->readAll();
                require(expected.startsWith(streamed),
                        "the binary channel carries the file's bytes in order");
            }
            info->readAll();
        }

        if (binary)
            hardClose(binary.get());
        hardClose(info.get());
        pump();
        sender.reset();
    }
    settle();
    return 0;
}
