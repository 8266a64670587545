// A receiver in a process of its own, for tests that kill it or trace its system calls. It
// listens on free ports, accepts every announcement to the save path given as its argument,
// and reports on stdout, one line each: "LISTENING <info port> <binary port>", "ACCEPTED",
// "ACCEPT FAILED <number>", "COMPLETE", "ERROR <number>", "DISCONNECTED". It ends when its
// sender goes.

#include "receiver/binaryreceiver.h"

#include <QApplication>

#include <cstdio>

using namespace corvane;

namespace {
void say(const QByteArray &line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fputs("usage: corvane-test-receiver SAVE_PATH\n", stderr);
        return 2;
    }
    QApplication app(argc, argv);
    const QString savePath = QString::fromLocal8Bit(argv[1]);

    BinaryReceiver receiver;
    QObject::connect(&receiver, &BinaryReceiver::SendRequest, &receiver, [&] {
        if (receiver.AcceptSendRequest(savePath))
            say("ACCEPTED");
        else
            say("ACCEPT FAILED " + QByteArray::number(receiver.LastErrorNumber()));
    });
    QObject::connect(&receiver, &BinaryReceiver::ReceiveComplete, &receiver, [&] {
        say("COMPLETE");
        receiver.ResetFile();
    });
    QObject::connect(&receiver, &BinaryReceiver::ReceiveError, &receiver, [&](int number) {
        say("ERROR " + QByteArray::number(number));
        receiver.ResetFile();
    });
    QObject::connect(&receiver, &BinaryReceiver::Disconnected, &app, [&] {
        say("DISCONNECTED");
        QCoreApplication::quit();
    });

    receiver.setLocalPortInfo(0);
    receiver.setLocalPortBinary(0);
    if (!receiver.Listen()) {
        say("LISTEN FAILED " + receiver.LastErrorDescription().toLocal8Bit());
        return 1;
    }
    say("LISTENING " + QByteArray::number(receiver.LocalPortInfo()) + ' ' +
        QByteArray::number(receiver.LocalPortBinary()));
    return app.exec();
}
