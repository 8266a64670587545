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
    // A binding finds the property's notify signal by name and follows it.
    const QMetaObject *meta = sender->metaObject();
    const QMetaProperty size = meta->property(meta->indexOfProperty("CurrentFileSize"));
    if (!size.hasNotifySignal() || size.notifySignal().name() != "CurrentFileSizeChanged" ||
        size.notifySignal() !=
            QMetaMethod::fromSignal(&corvane::BinarySender::CurrentFileSizeChanged))
        return 7;
    qint64 told = -1;
    QObject::connect(sender, &corvane::BinarySender::CurrentFileSizeChanged, &app,
                     [&told](qint64 value) { told = value; });
    const QString self = QCoreApplication::applicationFilePath();
    sender->setSource(self);
    if (sender->property("CurrentFileSize").toLongLong() != QFileInfo(self).size())
        return 8;
    QObject::connect(receiver, &corvane::BinaryReceiver::ConnectionRequest, &app,
                     [&told, self] { QApplication::exit(told == QFileInfo(self).size() ? 0 : 9); });
    QTimer::singleShot(20000, &app, [] { QApplication::exit(5); });
    window.show();
    if (!sender->Connect())
        return 6;
    return QApplication::exec();
}
