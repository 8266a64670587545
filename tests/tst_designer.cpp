#include "receiver/binaryreceiver.h"
#include "sender/binarysender.h"
#include "support/testing.h"

#include <QtTest>
#include <QUiLoader>

using namespace corvane;
using namespace Qt::StringLiterals;

class tst_Designer : public QObject
{
    Q_OBJECT

private slots:
    void formComponentsTransferAFile()
    {
        QBuffer form;
        form.setData(R"(<ui version="4.0"><widget class="QWidget" name="Form">
  <widget class="corvane::BinarySender" name="sender">
    <property name="RemoteHost"><string>127.0.0.1</string></property></widget>
  <widget class="corvane::BinaryReceiver" name="receiver">
    <property name="LocalPortInfo"><number>0</number></property>
    <property name="LocalPortBinary"><number>0</number></property></widget></widget></ui>)");
        QUiLoader loader;
        loader.clearPluginPaths(); // the components come from the built plugin alone
        loader.addPluginPath(QStringLiteral(CORVANE_DESIGNER_DIR));
        const std::unique_ptr<QWidget> window(loader.load(&form));
        QVERIFY2(window, qPrintable(loader.errorString()));
        auto *sender = window->findChild<BinarySender *>(u"sender"_s);
        auto *receiver = window->findChild<BinaryReceiver *>(u"receiver"_s);
        QVERIFY(sender && receiver && receiver->Listen());
        QTemporaryDir dir;
        sender->setSource(test::writeFile(dir.filePath(u"form.bin"_s), test::randomBytes(100000)));
        connect(receiver, &BinaryReceiver::ConnectionRequest, sender, &BinarySender::SendInfo);
        connect(receiver, &BinaryReceiver::SendRequest, receiver,
                [&] { receiver->AcceptSendRequest(dir.filePath(u"received.bin"_s)); });
        connect(sender, &BinarySender::CommandAccepted, sender, &BinarySender::SendFile);
        sender->setRemotePortInfo(receiver->LocalPortInfo());
        sender->setRemotePortBinary(receiver->LocalPortBinary());
        QVERIFY(sender->Connect());
        QTRY_COMPARE(test::readFile(dir.filePath(u"received.bin"_s)), test::randomBytes(100000));
    }
};

QTEST_MAIN(tst_Designer)
#include "tst_designer.moc"
