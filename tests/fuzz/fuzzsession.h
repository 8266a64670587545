#pragma once

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

// What the component fuzz targets share: one offscreen application for the whole run, a
// folder that the components may write into, and helpers to drive loopback sockets from the
// event loop without waiting on them.
namespace corvane::fuzz {

inline QApplication &application()
{
    static int argc = 1;
    static char name[] = "corvane-fuzz";
    static char *argv[] = {name, nullptr};
    static QApplication *app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // Malformed input makes components complain; that is expected here.
        qputenv("QT_LOGGING_RULES", "*.debug=false;*.warning=false");
        return new QApplication(argc, argv);
    }();
    return *app;
}

inline QTemporaryDir &workFolder()
{
    static QTemporaryDir *folder = new QTemporaryDir;
    return *folder;
}

// Lets the event loop deliver what is already on its way (socket notifications and the
// queued calls that they cause), a bounded number of turns.
inline void pump(int turns = 6)
{
    for (int i = 0; i < turns; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

template<typename Condition>
bool pumpUntil(Condition condition, int turns = 200)
{
    for (int i = 0; i < turns && !condition(); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    return condition();
}

// Closes with RST, so that thousands of short connections leave no TIME_WAIT behind.
inline void hardClose(QTcpSocket *socket)
{
    if (socket->socketDescriptor() >= 0) {
        const linger hard{1, 0};
        ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    socket->abort();
}

// Deletes what deleteLater() has queued, so that each input starts from a clean heap.
inline void settle()
{
    pump(3);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

inline void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Only the chosen save path and its temporary file may ever appear in the work folder.
inline void requireOnlyChosenFiles(const QString &target)
{
    const QDir folder(workFolder().path());
    const QString name = QFileInfo(target).fileName();
    for (const QString &entry :
         folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        require(entry == name || entry == name + QLatin1StringView("TMP"),
                "a component wrote outside the chosen path");
    }
}

} // namespace corvane::fuzz
