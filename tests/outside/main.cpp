// Places a receiver and a sender (made by class identifier) in a window; exits 0 once the sender
// has connected and told the size of its file through the notify signal found by name.
#include <library/componentfactory.h>
#include <receiver/binaryreceiver.h>
#include <sender/binarysender.h>

#include <QApplication>
#include <QFileInfo>
#include <QMetaProperty>

using namespace corvane;

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    auto *receiver = new BinaryReceiver(&window);
    auto *sender =
        qobject_cast<BinarySender *>(createComponent(QLatin1StringView(SenderClassID), &window));
    receiver->setLocalPortInfo(0);
    receiver->setLocalPortBinary(0);
    if (!sender || !receiver->Listen())
        return 3;
    sender->setRemoteHost(QStringLiteral("127.0.0.1"));
    sender->setRemotePortInfo(receiver->LocalPortInfo());
    sender->setRemotePortBinary(receiver->LocalPortBinary());
    const QMetaObject *meta = sender->metaObject(); // as a binding finds it
    if (meta->property(meta->indexOfProperty("CurrentFileSize")).notifySignal() !=
        QMetaMethod::fromSignal(&BinarySender::CurrentFileSizeChanged))
        return 7;
    qint64 told = -1;
    QObject::connect(sender, &BinarySender::CurrentFileSizeChanged, &app,
                     [&told](qint64 value) { told = value; });
    sender->setSource(QCoreApplication::applicationFilePath());
    const qint64 size = QFileInfo(QCoreApplication::applicationFilePath()).size();
    QObject::connect(receiver, &BinaryReceiver::ConnectionRequest, &app, [&] {
        QApplication::exit(told == size && sender->property("CurrentFileSize") == size ? 0 : 9);
    });
    window.show();
    return sender->Connect() ? QApplication::exec() : 6;
}
