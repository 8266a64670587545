// Places a receiver and a sender (one of them created by class identifier) in a window and
// exits 0 once the sender has connected to the receiver.
#include <library/componentfactory.h>
#include <receiver/binaryreceiver.h>
#include <sender/binarysender.h>

#include <QApplication>
#include <QTimer>
#include <QVBoxLayout>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    auto *receiver = new corvane::BinaryReceiver(&window);
    layout->addWidget(receiver);
    QString error;
    auto *sender = qobject_cast<corvane::BinarySender *>(
        corvane::createComponent(QLatin1StringView(corvane::SenderClassID), &window, &error));
    if (!sender)
        return 3;
    layout->addWidget(sender);

    receiver->setLocalPortInfo(0);
    receiver->setLocalPortBinary(0);
    if (!receiver->Listen())
        return 4;
    sender->setRemoteHost(QStringLiteral("127.0.0.1"));
    sender->setRemotePortInfo(receiver->LocalPortInfo());
    sender->setRemotePortBinary(receiver->LocalPortBinary());
    QObject::connect(receiver, &corvane::BinaryReceiver::ConnectionRequest, &app,
                     [] { QApplication::exit(0); });
    QTimer::singleShot(20000, &app, [] { QApplication::exit(5); });
    window.show();
    if (!sender->Connect())
        return 6;
    return QApplication::exec();
}
