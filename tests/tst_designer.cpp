#include "receiver/binaryreceiver.h"
#include "sender/binarysender.h"
#include "support/testing.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUiLoader>

#include <memory>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;

// A form as Qt Designer saves it, loaded through the built Designer plugin only: the widgets
// it creates must be the components themselves, with the form's properties, and move a file.
class tst_Designer : public QObject
{
    Q_OBJECT

private slots:
    void formComponentsTransferAFile()
    {
        QBuffer form;
        form.setData(R"(<ui version="4.0"><class>Form</class><widget class="QWidget" name="Form">
  <widget class="corvane::BinarySender" name="sender">
    <property name="ChunkSize"><number>1000</number></property>
    <property name="RemoteHost"><string>127.0.0.1</string></property></widget>
  <widget class="corvane::BinaryReceiver" name="receiver">
    <property name="LocalPortInfo"><number>0</number></property>
    <property name="LocalPortBinary"><number>0</number></property></widget>
</widget></ui>)");
        QUiLoader loader;
        loader.clearPluginPaths();
        loader.addPluginPath(QStringLiteral(CORVANE_DESIGNER_DIR));
        const std::unique_ptr<QWidget> window(loader.load(&form));
        QVERIFY2(window, qPrintable(loader.errorString()));
        auto *sender = window->findChild<BinarySender *>(u"sender"_s);
        auto *receiver = window->findChild<BinaryReceiver *>(u"receiver"_s);
        QVERIFY(sender && receiver && receiver->Listen());
        QCOMPARE(sender->ChunkSize(), 1000);

        QTemporaryDir dir;
        const QByteArray content = randomBytes(100'000);
        sender->setSource(writeFile(dir.filePath(u"form.bin"_s), content));
        connect(receiver, &BinaryReceiver::ConnectionRequest, sender, &BinarySender::SendInfo);
        connect(receiver, &BinaryReceiver::SendRequest, receiver,
                [&] { receiver->AcceptSendRequest(dir.filePath(u"received.bin"_s)); });
        connect(sender, &BinarySender::CommandAccepted, sender, &BinarySender::SendFile);
        QSignalSpy complete(sender, &BinarySender::SendComplete);
        sender->setRemotePortInfo(receiver->LocalPortInfo());
        sender->setRemotePortBinary(receiver->LocalPortBinary());
        QVERIFY(sender->Connect() && complete.wait(10000));
        QCOMPARE(readFile(dir.filePath(u"received.bin"_s)), content);
    }
};

QTEST_MAIN(tst_Designer)
#include "tst_designer.moc"
