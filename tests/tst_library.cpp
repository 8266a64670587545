#include "demo/componentlibrary.h"
#include "library/componentfactory.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibrary>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <memory>

using namespace corvane;
using namespace corvane::test;
using namespace Qt::StringLiterals;

namespace {
const QByteArray NoLibrary = "this is no shared library";
using CreateFunction = QWidget *(*)(const QString *, QWidget *, QString *);

// The library's unmangled factory, found the way a program that does not link it finds it.
CreateFunction resolvedFactory()
{
    static QLibrary library(QStringLiteral(CORVANE_LIBRARY_FILE));
    return reinterpret_cast<CreateFunction>(library.resolve("corvane_create_component"));
}

QWidget *create(bool resolved, const QString &classID, QWidget *parent, QString *error)
{
    if (!resolved)
        return createComponent(classID, parent, error);
    CreateFunction function = resolvedFactory();
    return function ? function(&classID, parent, error) : nullptr;
}
} // namespace

class tst_Library : public QObject
{
    Q_OBJECT

private slots:
    void bothComponentsWork_data();
    void bothComponentsWork();
    void unknownIdentifierFails_data();
    void unknownIdentifierFails();
    void membersTheWindowsUseExist_data();
    void membersTheWindowsUseExist();
    void loaderNamesWhatItLookedFor_data();
    void loaderNamesWhatItLookedFor();
    void demoWithoutLibraryExitsWith2_data();
    void demoWithoutLibraryExitsWith2();
};

void tst_Library::bothComponentsWork_data()
{
    QTest::addColumn<bool>("resolved");
    QTest::newRow("linked factory") << false;
    QTest::newRow("unmangled factory found at run time") << true;
}

void tst_Library::bothComponentsWork()
{
    QFETCH(bool, resolved);
    QWidget host;
    QString error;
    QObject *receiver = create(resolved, QLatin1StringView(ReceiverClassID), &host, &error);
    QObject *sender = create(resolved, QLatin1StringView(SenderClassID), &host, &error);
    QVERIFY2(receiver && sender, qPrintable(error));
    QCOMPARE(receiver->metaObject()->className(), "corvane::BinaryReceiver");
    QCOMPARE(sender->metaObject()->className(), "corvane::BinarySender");
    QCOMPARE(receiver->parent(), &host);

    // Driven by name only, they connect to each other.
    receiver->setProperty("LocalPortInfo", 0);
    receiver->setProperty("LocalPortBinary", 0);
    bool listening = false;
    QVERIFY(QMetaObject::invokeMethod(receiver, "Listen", Q_RETURN_ARG(bool, listening)));
    QVERIFY(listening);
    sender->setProperty("RemoteHost", u"127.0.0.1"_s);
    sender->setProperty("RemotePortInfo", receiver->property("LocalPortInfo"));
    sender->setProperty("RemotePortBinary", receiver->property("LocalPortBinary"));
    QSignalSpy connected(sender, SIGNAL(Connected()));
    QSignalSpy requested(receiver, SIGNAL(ConnectionRequest()));
    bool connecting = false;
    QVERIFY(QMetaObject::invokeMethod(sender, "Connect", Q_RETURN_ARG(bool, connecting)));
    QVERIFY(connecting);
    QTRY_COMPARE(connected.size(), 1);
    QTRY_COMPARE(requested.size(), 1);
    QObject *endpoint = receiver->property("TheWinsock").value<QObject *>();
    QVERIFY(endpoint);
    QCOMPARE(endpoint->property("RemoteHostIP").toString(), u"127.0.0.1"_s);
}

void tst_Library::unknownIdentifierFails_data()
{
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<QString>("classID");

    for (const bool resolved : {false, true}) {
        const char *how = resolved ? "resolved" : "linked";
        QTest::addRow("%s empty", how) << resolved << QString();
        QTest::addRow("%s wrong case", how) << resolved << u"corvane.binarysender"_s;
        QTest::addRow("%s trailing blank", how) << resolved << u"Corvane.BinaryReceiver "_s;
    }
}

void tst_Library::unknownIdentifierFails()
{
    QFETCH(bool, resolved);
    QFETCH(QString, classID);
    QWidget host;
    QString error;
    QVERIFY(!create(resolved, classID, &host, &error));
    QVERIFY(host.children().isEmpty());
    QVERIFY2(error.contains(u'"' + classID + u'"'), qPrintable(error));
    QVERIFY(error.contains(QLatin1StringView(SenderClassID)));
    QVERIFY(error.contains(QLatin1StringView(ReceiverClassID)));
    // Without a place for the reason it still fails quietly; so does the C entry point given
    // no identifier at all.
    QVERIFY(!create(resolved, classID, &host, nullptr));
    if (resolved) {
        QVERIFY(resolvedFactory());
        error.clear();
        QVERIFY(!resolvedFactory()(nullptr, nullptr, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!resolvedFactory()(nullptr, nullptr, nullptr));
    }
}

void tst_Library::membersTheWindowsUseExist_data()
{
    QTest::addColumn<QString>("classID");
    QTest::addColumn<QString>("members"); // r: readable, w: writable, b: method returning bool,
                                          // m: method, s: signal, e: readable on TheWinsock

    QTest::newRow("sender")
        << QString::fromLatin1(SenderClassID)
        << u"r RemoteHostIP;r RemotePortInfo;r RemotePortBinary;r CurrentFileSize;"
           u"r CurrentFileName;r LastErrorNumber;r LastErrorDescription;w RemoteHost;"
           u"w ChunkSize;w Source;b Connect();b SendInfo();b SendFile();m ResetFile();"
           u"s Error(short,QString&,int,QString,QString,int,bool&);s Connected();"
           u"s CommandAccepted();s CommandRefused();s SendProgress(qint64,qint64);"
           u"s SendComplete();s SpeedRecord(int);s SendError(int,QString);s Disconnected()"_s;
    QTest::newRow("receiver")
        << QString::fromLatin1(ReceiverClassID)
        << u"r LocalIP;r TheWinsock;r CurrentFileName;r CurrentFileSize;r LastErrorNumber;"
           u"r LastErrorDescription;w LocalPortInfo;w LocalPortBinary;b Listen();"
           u"b AcceptSendRequest(QString);b RefuseSendRequest();m ResetFile();"
           u"s ConnectionRequest();s SendRequest();s ReceiveProgress(qint64,qint64);"
           u"s SpeedRecord(int);s ReceiveComplete();s ReceiveError(int,QString);"
           u"s Disconnected();e RemoteHostIP"_s;
}

void tst_Library::membersTheWindowsUseExist()
{
    QFETCH(QString, classID);
    QFETCH(QString, members);

    QWidget host;
    QObject *component = createComponent(classID, &host);
    QVERIFY(component);
    QStringList missing;
    for (const QString &entry : members.split(u';')) {
        const QChar kind = entry.at(0);
        const QByteArray bytes = entry.mid(2).toLatin1();
        const char *name = bytes.constData();
        const QObject *object =
            kind == u'e' ? component->property("TheWinsock").value<QObject *>() : component;
        const QMetaObject *meta = object ? object->metaObject() : nullptr;
        if (!meta) {
            missing.append(entry);
            continue;
        }
        bool found = false;
        if (kind == u'r' || kind == u'w' || kind == u'e') {
            const QMetaProperty property = meta->property(meta->indexOfProperty(name));
            found = property.isReadable() && (kind != u'w' || property.isWritable());
        } else if (kind == u's') {
            found = meta->indexOfSignal(name) >= 0;
        } else {
            const QMetaMethod method = meta->method(meta->indexOfMethod(name));
            found = (method.methodType() == QMetaMethod::Method ||
                     method.methodType() == QMetaMethod::Slot) &&
                    (kind != u'b' || method.returnType() == QMetaType::Bool);
        }
        if (!found)
            missing.append(entry);
    }
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(u", ")));
}

void tst_Library::loaderNamesWhatItLookedFor_data()
{
    QTest::addColumn<bool>("garbage");
    QTest::newRow("nothing there") << false;
    QTest::newRow("not a library") << true;
}

void tst_Library::loaderNamesWhatItLookedFor()
{
    QFETCH(bool, garbage);
    QTemporaryDir first;
    QTemporaryDir second;
    if (garbage)
        QVERIFY(!writeFile(QDir(first.path()).filePath(ComponentLibrary::fileName()), NoLibrary)
                     .isEmpty());
    ComponentLibrary library;
    QVERIFY(!library.load({first.path(), second.path()}));
    const QString message = library.errorString();
    QVERIFY2(message.contains(ComponentLibrary::fileName()), qPrintable(message));
    QVERIFY(message.contains(first.path()));
    QVERIFY(message.contains(second.path()));
    QString error;
    QVERIFY(!library.factory()(QLatin1StringView(SenderClassID), nullptr, &error));
    QVERIFY(!error.isEmpty());

    QVERIFY(library.load({first.path(), QFileInfo(QStringLiteral(CORVANE_LIBRARY_FILE)).path()}));
    QWidget host;
    QVERIFY(library.factory()(QLatin1StringView(ReceiverClassID), &host, &error));
}

void tst_Library::demoWithoutLibraryExitsWith2_data()
{
    loaderNamesWhatItLookedFor_data();
}

void tst_Library::demoWithoutLibraryExitsWith2()
{
    QFETCH(bool, garbage);
    const QString installed =
        QDir(QStringLiteral(CORVANE_INSTALL_LIBDIR)).filePath(ComponentLibrary::fileName());
    if (QFileInfo::exists(installed))
        QSKIP("The library is installed where corvane-demo looks last; it cannot be missing.");

    // The program alone in a folder of its own, as if its library had been forgotten.
    QTemporaryDir dir;
    const QString program = QDir(dir.path()).filePath(u"bin/corvane-demo"_s);
    QVERIFY(QDir(dir.path()).mkdir(u"bin"_s));
    QVERIFY(QFile::copy(QStringLiteral(CORVANE_DEMO_FILE), program));
    if (garbage)
        QVERIFY(!writeFile(QDir(dir.path()).filePath(u"bin/"_s + ComponentLibrary::fileName()),
                           NoLibrary)
                     .isEmpty());

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    process.setProcessEnvironment(environment);
    process.start(program, {});
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 2);
    const QString message = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(message.contains(ComponentLibrary::fileName()), qPrintable(message));
    QVERIFY2(message.contains(QDir(dir.path()).filePath(u"bin"_s)), qPrintable(message));
    QVERIFY(message.contains(QStringLiteral(CORVANE_INSTALL_LIBDIR)));
}

QTEST_MAIN(tst_Library)
#include "tst_library.moc"
