// Fuzzes what a BinaryReceiver does with the texts a peer sends on its info channel. A real
// receiver listens on loopback; the fuzz input becomes a series of messages from a peer that
// the receiver accepted, interleaved with binary-channel bytes, while a host answers each
// announcement as the input says. Besides sanitizer reports, the target stops on a write
// outside the chosen path and on a temporary file left behind.

#include "fuzzsession.h"

#include "receiver/binaryreceiver.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QFile>
#include <QPointer>

using namespace corvane;
using namespace corvane::fuzz;

namespace {
enum class Answer
{
    Accept,
    Refuse,
    Ignore,
    AcceptThenReset
};
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    application();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    // The first byte chooses how the peer and the host behave; the rest are the messages.
    if (size < 1)
        return 0;
    const uint8_t flags = bytes[0];
    FuzzedDataProvider data(bytes + 1, size - 1);
    const bool openBinary = flags & 1;
    const auto answer = Answer((flags >> 1) & 3);
    const bool sendBinary = flags & 8;
    const QString target = workFolder().filePath(QStringLiteral("target"));
    const QString temporary = target + QStringLiteral("TMP");

    {
        auto receiver = std::make_unique<BinaryReceiver>();
        receiver->setLocalPortInfo(0);
        receiver->setLocalPortBinary(0);
        require(receiver->Listen(), "the receiver listens on free ports");

        QPointer<BinaryReceiver> host(receiver.get());
        QObject::connect(receiver.get(), &BinaryReceiver::SendRequest, receiver.get(), [&] {
            switch (answer) {
            case Answer::Accept:
                host->AcceptSendRequest(target);
                break;
            case Answer::Refuse:
                host->RefuseSendRequest();
                host->ResetFile();
                break;
            case Answer::Ignore:
                break;
            case Answer::AcceptThenReset:
                host->AcceptSendRequest(target);
                host->ResetFile();
                require(!QFile::exists(temporary), "ResetFile leaves no temporary file");
                break;
            }
        });
        QObject::connect(receiver.get(), &BinaryReceiver::ReceiveError, receiver.get(), [&] {
            require(!QFile::exists(temporary), "a failed file leaves no temporary file");
            host->ResetFile();
        });
        QObject::connect(receiver.get(), &BinaryReceiver::ReceiveComplete, receiver.get(),
                         [&] { host->ResetFile(); });

        QTcpSocket info;
        QTcpSocket binary;
        info.connectToHost(QStringLiteral("127.0.0.1"), quint16(receiver->LocalPortInfo()));
        require(pumpUntil([&] { return info.bytesAvailable() >= 3; }), "the receiver answers");
        info.readAll();
        if (openBinary) {
            binary.connectToHost(QStringLiteral("127.0.0.1"), quint16(receiver->LocalPortBinary()));
            pumpUntil([&] { return binary.state() == QAbstractSocket::ConnectedState; });
        }

        while (data.remaining_bytes() > 0) {
            const std::string message = data.ConsumeRandomLengthString(4096);
            info.write(message.data(), qint64(message.size()));
            info.flush();
            pump();
            if (sendBinary && binary.state() == QAbstractSocket::ConnectedState) {
                const std::string chunk = data.ConsumeRandomLengthString(512);
                binary.write(chunk.data(), qint64(chunk.size()));
                binary.flush();
                pump();
            }
            info.readAll();
            requireOnlyChosenFiles(target);
        }

        hardClose(&binary);
        hardClose(&info);
        pump();
        requireOnlyChosenFiles(target);
        receiver.reset();
        require(!QFile::exists(temporary), "a destroyed receiver leaves no temporary file");
    }
    settle();
    QFile::remove(target);
    return 0;
}
