#include "cli/receivesession.h"

#include "cli/safefilename.h"
#include "cli/terminalprompt.h"
#include "protocol/announcedname.h"
#include "receiver/binaryreceiver.h"

#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace corvane {

namespace {

QString quoted(const QString &text)
{
    return u'"' + AnnouncedName::visible(text) + u'"';
}

} // namespace

ReceiveSession::ReceiveSession(const ReceiveOptions &options, Console &console, QObject *parent)
    : QObject(parent), m_options(options), m_console(console), m_progress(console)
{}

ReceiveSession::~ReceiveSession()
{
    delete m_receiver;
}

void ReceiveSession::start()
{
    m_receiver = new BinaryReceiver;
    m_receiver->setLocalPortInfo(m_options.infoPort);
    m_receiver->setLocalPortBinary(m_options.binaryPort);

    connect(m_receiver, &BinaryReceiver::ConnectionRequest, this,
            &ReceiveSession::onConnectionRequest);
    connect(m_receiver, &BinaryReceiver::SendRequest, this, &ReceiveSession::onSendRequest);
    connect(m_receiver, &BinaryReceiver::ReceiveProgress, this,
            [this](qint64 progress, qint64) { onProgress(progress); });
    connect(m_receiver, &BinaryReceiver::SpeedRecord, this,
            [this](int speed) { m_progress.setSpeed(speed); });
    connect(m_receiver, &BinaryReceiver::ReceiveComplete, this, &ReceiveSession::onComplete);
    connect(m_receiver, &BinaryReceiver::ReceiveError, this, &ReceiveSession::onReceiveError);
    connect(m_receiver, &BinaryReceiver::Disconnected, this, &ReceiveSession::onDisconnected);
    connect(m_receiver, &BinaryReceiver::Error, this,
            [this](short number, QString &description, int, const QString &, const QString &, int,
                   bool &cancelDisplay) { onSocketError(number, description, cancelDisplay); });

    if (!m_options.acceptAll) {
        m_prompt = new TerminalPrompt(m_console, this);
        connect(m_prompt, &TerminalPrompt::answered, this, &ReceiveSession::onAnswer);
    }
    m_closingTimer = new QTimer(this);
    m_closingTimer->setSingleShot(true);
    connect(m_closingTimer, &QTimer::timeout, this,
            [this] { finish(m_failed == 0 ? ExitCode::Success : ExitCode::TransferFailed); });

    if (!m_options.sha256File.isEmpty()) {
        m_sums = new QFile(m_options.sha256File, this);
        if (!m_sums->open(QIODevice::WriteOnly | QIODevice::Append)) {
            m_progress.error(u"cannot write to "_s + quoted(m_options.sha256File) + u": "_s +
                             m_sums->errorString());
            return finish(ExitCode::TransferFailed);
        }
    }
    if (!listen())
        return finish(ExitCode::TransferFailed);
    m_progress.note(u"Listening on info port "_s + QString::number(m_options.infoPort) +
                    u" and binary port "_s + QString::number(m_options.binaryPort) +
                    u", saving into "_s + m_options.directory);
}

bool ReceiveSession::listen()
{
    if (m_receiver->Listen())
        return true;
    const QString description = m_receiver->LastErrorDescription();
    // The component does not say which of its two ports failed; trying each alone does.
    m_receiver->Reset();
    QString which = u"info port "_s + QString::number(m_options.infoPort) + u" or binary port "_s +
                    QString::number(m_options.binaryPort);
    for (const auto &[name, port] : {std::pair{u"info port "_s, m_options.infoPort},
                                     std::pair{u"binary port "_s, m_options.binaryPort}}) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::Any, quint16(port))) {
            which = name + QString::number(port);
            break;
        }
    }
    m_progress.error(u"cannot listen on "_s + which + u": "_s + description);
    return false;
}

void ReceiveSession::interrupt()
{
    if (m_finished)
        return;
    if (m_receiving) {
        m_receiving = false;
        // Removes the temporary file and closes both channels, so the sender stops.
        m_receiver->Cancel();
        m_progress.abandon();
        m_progress.error(u"cancelled; "_s + quoted(m_savedName) + u" was not saved"_s);
        return finish(ExitCode::Cancelled);
    }
    // Between files Ctrl-C is the usual end. A question waiting on the terminal has no line
    // end yet.
    m_progress.note(m_asking ? u"\nInterrupted"_s : u"Interrupted"_s);
    finish(m_failed == 0 ? ExitCode::Success : ExitCode::TransferFailed);
}

void ReceiveSession::onConnectionRequest()
{
    const QString address = m_receiver->TheWinsock()->property("RemoteHostIP").toString();
    m_progress.note(u"Sender connected from "_s + address);
}

void ReceiveSession::onSendRequest()
{
    if (m_finished || m_receiving)
        return;
    const int generation = ++m_requestGeneration;
    m_announcedName = m_receiver->CurrentFileName();
    m_announcedSize = m_receiver->CurrentFileSize();
    m_safeName = AnnouncedName::safeName(m_announcedName);

    // The answer goes out after this event has returned to the component.
    const auto later = [this, generation](auto step) {
        QTimer::singleShot(0, this, [this, generation, step] {
            if (generation == m_requestGeneration && !m_finished)
                step();
        });
    };
    if (m_closing)
        return later([this] { refuse(u"no further file is wanted"_s); });
    if (m_safeName.isEmpty())
        return later([this] { refuse(u"not a usable file name"_s); });
    if (m_options.acceptAll)
        return later([this] { accept(); });

    m_asking = true;
    const QString address = m_receiver->TheWinsock()->property("RemoteHostIP").toString();
    m_prompt->ask(u"Accept "_s + quoted(m_announcedName) + u" ("_s +
                  ProgressPrinter::formatSize(m_announcedSize) + u") from "_s + address +
                  u"? [y/N] "_s);
}

void ReceiveSession::onAnswer(bool yes)
{
    if (!m_asking || m_finished)
        return;
    m_asking = false;
    if (yes)
        accept();
    else if (m_prompt->endOfInput())
        refuse(u"no answer, the input has ended (--yes accepts without asking)"_s);
    else
        refuse(u"refused"_s);
}

void ReceiveSession::accept()
{
    QString problem;
    const QString path =
        SafeFileName::choosePath(m_options.directory, m_safeName, m_options.overwrite, &problem);
    if (path.isEmpty()) {
        ++m_failed;
        m_progress.error(u"cannot save "_s + quoted(m_announcedName) + u": "_s + problem);
        return refuse(u"not saved"_s);
    }
    if (!m_receiver->AcceptSendRequest(path)) {
        ++m_failed;
        m_progress.error(u"cannot save "_s + quoted(m_announcedName) + u": "_s +
                         m_receiver->LastErrorDescription());
        return refuse(u"not saved"_s);
    }
    m_receiving = true;
    m_savedName = QFileInfo(path).fileName();
    if (m_savedName != m_announcedName) {
        m_progress.note(u"Saving "_s + quoted(m_announcedName) + u" as "_s + quoted(m_savedName));
    }
    m_progress.begin(m_savedName, m_announcedSize);
}

void ReceiveSession::refuse(const QString &reason)
{
    m_progress.note(u"Refused "_s + quoted(m_announcedName) + u": "_s + reason);
    m_receiver->RefuseSendRequest();
    m_receiver->ResetFile();
}

void ReceiveSession::onProgress(qint64 progress)
{
    if (m_receiving)
        m_progress.update(progress);
}

void ReceiveSession::onComplete()
{
    // An "FSC" from a peer raises this too; only a file we accepted counts.
    if (!m_receiving || m_finished)
        return;
    m_receiving = false;
    const QString sha256 = m_receiver->Sha256();
    m_progress.finish(m_receiver->TotalReceived(), sha256);
    ++m_saved;
    // The lines "sha256sum -c" reads in the folder; a safe name holds no backslash or line
    // break, which that format would need escaped.
    const QByteArray line = sha256.toLatin1() + "  " + QFile::encodeName(m_savedName) + '\n';
    if (m_sums && !sha256.isEmpty() && (m_sums->write(line) != line.size() || !m_sums->flush())) {
        ++m_failed;
        m_progress.error(u"cannot write to "_s + quoted(m_options.sha256File) + u": "_s +
                         m_sums->errorString());
    }
    const int generation = m_requestGeneration;
    QTimer::singleShot(0, this, [this, generation] {
        if (generation == m_requestGeneration && !m_finished && !m_receiving)
            m_receiver->ResetFile();
    });
    if (m_options.count > 0 && m_saved >= m_options.count) {
        m_closing = true;
        m_closingTimer->start(ClosingGraceMs);
    }
}

void ReceiveSession::onReceiveError(int number, const QString &description)
{
    Q_UNUSED(number);
    if (m_receiving)
        failFile(quoted(m_savedName) + u" was not saved: "_s + description);
}

void ReceiveSession::onSocketError(short number, QString &description, bool &cancelDisplay)
{
    Q_UNUSED(number);
    cancelDisplay = true;
    if (m_receiving)
        failFile(quoted(m_savedName) + u" was not saved: "_s + description);
    else
        m_progress.error(description);
}

void ReceiveSession::onDisconnected()
{
    if (m_finished)
        return;
    if (m_asking) {
        m_asking = false;
        m_prompt->cancel();
        m_progress.note(u"\nThe sender left before the answer"_s);
    }
    if (m_receiving)
        failFile(u"the sender closed the connection; "_s + quoted(m_savedName) +
                 u" was not saved"_s);
    if (m_closing)
        return finish(m_failed == 0 ? ExitCode::Success : ExitCode::TransferFailed);
    if (!m_restartQueued)
        m_progress.note(u"Sender disconnected"_s);
    restartListening();
}

void ReceiveSession::failFile(const QString &message)
{
    m_receiving = false;
    ++m_failed;
    m_progress.abandon();
    m_progress.error(message);
    // Closing both connections tells a sender that is still streaming that the file failed.
    restartListening();
}

void ReceiveSession::restartListening()
{
    if (m_restartQueued)
        return;
    m_restartQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_restartQueued = false;
        if (m_finished || m_closing)
            return;
        m_receiver->ResetFile();
        if (!listen())
            finish(ExitCode::TransferFailed);
    });
}

void ReceiveSession::finish(int exitCode)
{
    if (m_finished)
        return;
    m_finished = true;
    if (m_prompt)
        m_prompt->cancel();
    if (m_closingTimer)
        m_closingTimer->stop();
    m_progress.abandon();
    // ResetFile removes a temporary file that is still open.
    m_receiver->ResetFile();
    m_receiver->Reset();
    emit finished(exitCode);
}

} // namespace corvane
