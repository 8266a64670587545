// Places a receiver and a sender (one of them created by class identifier) in a window and
// exits 0 once the sender has connected to the receiver and has told, through the notify
// signal that its meta-object names, the size of the file it was given.
#include <library/componentfactory.h>
#include <receiver/binaryreceiver.h>
#include <sender/binarysender.h>

#include <QApplication>
#include <QFileInfo>
#include <QMetaProperty>
#include <QTimer>
#include <QVBoxLayout>

using namespace corvane;

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    auto *receiver = new BinaryReceiver(&window);
    auto *sender =
        qobject_cast<BinarySender *>(createComponent(QLatin1StringView(SenderClassID), &window));
    if (!sender)
        return 3;
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(receiver);
    layout->addWidget(sender);
    receiver->setLocalPortInfo(0);
    receiver->setLocalPortBinary(0);
    if (!receiver->Listen())
        return 4;
    sender->setRemoteHost(QStringLiteral("127.0.0.1"));
    sender->setRemotePortInfo(receiver->LocalPortInfo());
    sender->setRemotePortBinary(receiver->LocalPortBinary());
    // A binding finds the property's notify signal by name and follows it.
    const QMetaObject *meta = sender->metaObject();
    if (meta->property(meta->indexOfProperty("CurrentFileSize")).notifySignal() !=
        QMetaMethod::fromSignal(&BinarySender::CurrentFileSizeChanged))
        return 7;
    const qint64 size = QFileInfo(QCoreApplication::applicationFilePath()).size();
    qint64 told = -1;
    QObject::connect(sender, &BinarySender::CurrentFileSizeChanged, &app,
                     [&told](qint64 value) { told = value; });
    sender->setSource(QCoreApplication::applicationFilePath());
    if (sender->property("CurrentFileSize").toLongLong() != size)
        return 8;
    QObject::connect(receiver, &BinaryReceiver::ConnectionRequest, &app,
                     [&] { QApplication::exit(told == size ? 0 : 9); });
    QTimer::singleShot(20000, &app, [] { QApplication::exit(5); });
    window.show();
    return sender->Connect() ? QApplication::exec() : 6;
}
