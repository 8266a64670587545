#include "demo/componentlibrary.h"
#include "receiver/binaryreceiver.h"
#include "sender/binarysender.h"
#include "support/childprocess.h"

#include <QtTest>
#include <QtWidgets>
#include <QUiLoader>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;

class tst_Library : public QObject
{
    Q_OBJECT

private slots:
    void library();
    void designerForm();
};

void tst_Library::library()
{
    ComponentLibrary library; // loaded at run time, after a folder without it
    QVERIFY(library.load({u"/nonexistent"_s, QStringLiteral(CORVANE_LIBRARY_DIR)}));
    QWidget host;
    QString error;
    QVERIFY2(!library.factory()(u"Corvane.BinaryReceiver "_s, &host, &error) &&
                 error.contains("\"Corvane.BinaryReceiver \": this library publishes"_L1),
             qPrintable(error));
    // Each member that a window, its base or the binding reaches by name exists.
    static const QRegularExpression use(
        uR"re((set|get|text|number|getFrom|call)\("([^"]+)"|\{"(\w+\(.*?\))", ")re"_s);
    const QString dir = QStringLiteral(CORVANE_DEMO_SOURCES);
    for (const QString &side : {u"Sender"_s, u"Receiver"_s}) {
        QObject *component = library.factory()(u"Corvane.Binary"_s + side, &host, &error);
        const QByteArray code = readFile(dir + u"frm"_s + side.toLower() + u".cpp"_s) +
                                readFile(dir + u"componentwindow.cpp"_s) +
                                readFile(dir + u"componentbinding.cpp"_s);
        for (const QRegularExpressionMatch &match : use.globalMatch(QString::fromUtf8(code))) {
            const QByteArray name = (match.captured(2) + match.captured(3)).toLatin1();
            QVERIFY2(component->metaObject()->indexOfProperty(name.data()) >= 0 ||
                         component->metaObject()->indexOfMethod(name.data()) >= 0,
                     name.data());
        }
    }
    // Without the library, corvane-demo ends with 2 and says where it looked and why each place
    // failed: here, the program alone in a folder beside something else.
    const QString file = ComponentLibrary::fileName();
    const QString installed = QStringLiteral(CORVANE_INSTALL_LIBDIR "/") + file;
    if (QFileInfo::exists(installed))
        QSKIP("An installed library would be found.");
    QTemporaryDir temporary;
    const QString bin = temporary.filePath(u"bin/"_s);
    QVERIFY(QDir().mkpath(bin) && QFile::copy(QStringLiteral(CORVANE_DEMO_FILE), bin + u"demo"_s) &&
            !writeFile(bin + file, "this is no shared library").isEmpty());
    ChildProcess demo;
    demo.start(bin + u"demo"_s, {}, {u"QT_QPA_PLATFORM=offscreen"_s});
    QVERIFY2(demo.finish() && demo.exitCode() == 2 &&
                 demo.err.contains((bin + file + u": "_s).toLocal8Bit()) &&
                 demo.err.contains((installed + u": not there"_s).toLocal8Bit()),
             demo.err.constData());
}

// Both components in a form, made through the built Designer plugin, send a file across.
void tst_Library::designerForm()
{
    QBuffer form;
    form.setData(R"(<ui version="4.0"><widget class="QWidget" name="Form">
  <widget class="corvane::BinarySender" name="sender">
    <property name="RemoteHost"><string>127.0.0.1</string></property></widget>
  <widget class="corvane::BinaryReceiver" name="receiver">
    <property name="LocalPortInfo"><number>0</number></property>
    <property name="LocalPortBinary"><number>0</number></property></widget></widget></ui>)");
    QUiLoader loader;
    loader.clearPluginPaths();
    loader.addPluginPath(QStringLiteral(CORVANE_DESIGNER_DIR));
    const std::unique_ptr<QWidget> window(loader.load(&form));
    QVERIFY2(window, qPrintable(loader.errorString()));
    auto *sender = window->findChild<BinarySender *>(u"sender"_s);
    auto *receiver = window->findChild<BinaryReceiver *>(u"receiver"_s);
    QVERIFY(sender && receiver && receiver->Listen());
    QTemporaryDir dir;
    sender->setSource(writeFile(dir.filePath(u"form.bin"_s), randomBytes(100000)));
    connect(receiver, &BinaryReceiver::ConnectionRequest, sender, &BinarySender::SendInfo);
    connect(receiver, &BinaryReceiver::SendRequest, receiver,
            [&] { receiver->AcceptSendRequest(dir.filePath(u"copy"_s)); });
    connect(sender, &BinarySender::CommandAccepted, sender, &BinarySender::SendFile);
    sender->setRemotePortInfo(receiver->LocalPortInfo());
    sender->setRemotePortBinary(receiver->LocalPortBinary());
    QVERIFY(sender->Connect());
    QTRY_COMPARE(readFile(dir.filePath(u"copy"_s)), randomBytes(100000));
}

QTEST_MAIN(tst_Library)
#include "tst_library.moc"
