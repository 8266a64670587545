// Both windows of the corvane program in one process (offscreen), one file from the sender
// window to the receiver window through their real handlers. Prints the throughput and how
// late the windows' 500 ms status ticks came while the bytes flowed.
//
// Usage: windows_bench [size-in-bytes [chunk-size]]   (default 1 GiB, chunk 4096)
#include "demo/frmreceiver.h"
#include "demo/frmsender.h"
#include "demo/windowdialogs.h"
#include "library/componentfactory.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

using namespace corvane;
using namespace Qt::StringLiterals;

namespace {
// Answers every question at once, from the event loop, the way a quick user would.
class ScriptedDialogs final : public WindowDialogs
{
public:
    QString source;
    QString target;
    QStringList errors;

    void showError(QWidget *, const QString &title, const QString &text) override
    {
        errors.append(title + u": "_s + text);
    }
    void askYesNo(QWidget *, const QString &, std::function<void(bool)> answer) override
    {
        QTimer::singleShot(0, [answer] { answer(true); });
    }
    void chooseFileToOpen(QWidget *, const QString &,
                          std::function<void(const QStringList &)> chosen) override
    {
        QTimer::singleShot(0, [chosen, path = source] { chosen({path}); });
    }
    void chooseFileToSave(QWidget *, const QString &, const QString &,
                          std::function<void(const QString &)> chosen) override
    {
        QTimer::singleShot(0, [chosen, path = target] { chosen(path); });
    }
};

// The largest amount by which a timer's ticks came later than its interval.
class TickWatch final : public QObject
{
public:
    TickWatch(QTimer *timer, QObject *parent) : QObject(parent), m_interval(timer->interval())
    {
        connect(timer, &QTimer::timeout, this, [this] { tick(); });
    }
    void start()
    {
        m_clock.start();
        m_last = 0;
        m_worst = 0;
        m_ticks = 0;
    }
    qint64 worstLateness() const { return m_worst; }
    int ticks() const { return m_ticks; }

private:
    void tick()
    {
        if (!m_clock.isValid())
            return;
        const qint64 now = m_clock.elapsed();
        if (m_ticks > 0)
            m_worst = std::max(m_worst, now - m_last - m_interval);
        m_last = now;
        ++m_ticks;
    }

    int m_interval;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_worst = 0;
    int m_ticks = 0;
};

bool writeRandomFile(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(20261206);
    for (qint64 left = size; left > 0; left -= block.size()) {
        generator.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        if (file.write(block.constData(), std::min<qint64>(left, block.size())) < 0)
            return false;
    }
    return true;
}

bool sameContents(const QString &a, const QString &b)
{
    QFile first(a);
    QFile second(b);
    if (!first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly) ||
        first.size() != second.size())
        return false;
    while (!first.atEnd()) {
        if (first.read(1 << 20) != second.read(1 << 20))
            return false;
    }
    return true;
}

double peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}
} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    const qint64 size = args.size() > 1 ? args.at(1).toLongLong() : qint64(1) << 30;
    const QString chunk = args.size() > 2 ? args.at(2) : u"4096"_s;

    QTemporaryDir folder;
    ScriptedDialogs dialogs;
    dialogs.source = folder.filePath(u"source.bin"_s);
    dialogs.target = folder.filePath(u"copy.bin"_s);
    if (!folder.isValid() || !writeRandomFile(dialogs.source, size)) {
        std::fprintf(stderr, "windows_bench: cannot make the %lld-byte source file\n",
                     static_cast<long long>(size));
        return 1;
    }

    const ComponentFactory factory = &createComponent;
    frmReceiver receiver(factory, &dialogs, 0, 0);
    frmSender sender(factory, &dialogs);
    sender.component()->setProperty("RemotePortInfo",
                                    receiver.component()->property("LocalPortInfo"));
    sender.component()->setProperty("RemotePortBinary",
                                    receiver.component()->property("LocalPortBinary"));
    sender.show();
    receiver.show();
    TickWatch senderTicks(sender.findChild<QTimer *>(u"tmrStatus"_s), &app);
    TickWatch receiverTicks(receiver.findChild<QTimer *>(u"tmrStatus"_s), &app);

    QElapsedTimer clock;
    enum class Step
    {
        Connecting,
        Browsing,
        Sending,
        Done
    } step = Step::Connecting;
    QTimer steps;
    steps.setInterval(20);
    QObject::connect(&steps, &QTimer::timeout, &app, [&] {
        if (!dialogs.errors.isEmpty()) {
            std::fprintf(stderr, "windows_bench: %s\n", qPrintable(dialogs.errors.join(u"; "_s)));
            QApplication::exit(1);
            return;
        }
        auto *send = sender.findChild<QPushButton *>(u"cmdSend"_s);
        switch (step) {
        case Step::Connecting:
            if (receiver.eventLog().contains(u"Connection Request from"_s)) {
                sender.findChild<QPushButton *>(u"cmdBrowse"_s)->click();
                step = Step::Browsing;
            }
            break;
        case Step::Browsing:
            if (send->isEnabled()) {
                sender.findChild<QLineEdit *>(u"txtChunkSize"_s)->setText(chunk);
                senderTicks.start();
                receiverTicks.start();
                clock.start();
                send->click();
                step = Step::Sending;
            }
            break;
        case Step::Sending:
            if (sender.eventLog().contains(u"File Sending Complete"_s) &&
                receiver.eventLog().contains(u"File Receive Complete"_s)) {
                step = Step::Done;
                QApplication::exit(0);
            }
            break;
        case Step::Done:
            break;
        }
    });
    steps.start();
    sender.findChild<QPushButton *>(u"cmdConnect"_s)->click();
    if (QApplication::exec() != 0)
        return 1;

    const double seconds = double(clock.elapsed()) / 1000.0;
    const bool identical = sameContents(dialogs.source, dialogs.target);
    QTextStream out(stdout);
    out << "bytes               " << size << " in chunks of " << chunk << '\n'
        << "seconds             " << QString::number(seconds, 'f', 3) << '\n'
        << "MiB/s               " << QString::number(double(size) / 1048576.0 / seconds, 'f', 1)
        << '\n'
        << "latest tick, sender   " << senderTicks.worstLateness() << " ms late ("
        << senderTicks.ticks() << " ticks)\n"
        << "latest tick, receiver " << receiverTicks.worstLateness() << " ms late ("
        << receiverTicks.ticks() << " ticks)\n"
        << "peak RSS            " << QString::number(peakRssMiB(), 'f', 1) << " MiB\n"
        << "identical           " << (identical ? "yes" : "NO") << '\n';
    return identical ? 0 : 1;
}
