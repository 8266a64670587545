#include "cli/sendsession.h"

#include "protocol/announcedname.h"
#include "protocol/socketendpoint.h"
#include "sender/binarysender.h"

#include <QFile>
#include <QFileInfo>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace corvane {

namespace {

// The name the receiver sees, escaped as it would show it.
QString quoted(const QString &text)
{
    return u'"' + AnnouncedName::visible(text) + u'"';
}

} // namespace

SendSession::SendSession(const SendOptions &options, Console &console, QObject *parent)
    : QObject(parent), m_options(options), m_progress(console)
{}

SendSession::~SendSession()
{
    delete m_sender;
}

void SendSession::start()
{
    for (const QString &path : std::as_const(m_options.files)) {
        const QFileInfo info(path);
        QFile file(path);
        if (!info.exists())
            return fail(u"cannot read "_s + quoted(path) + u": no such file"_s);
        if (info.isDir())
            return fail(u"cannot send "_s + quoted(path) + u": it is a folder"_s);
        if (!file.open(QIODevice::ReadOnly))
            return fail(u"cannot read "_s + quoted(path) + u": "_s + file.errorString());
    }

    m_sender = new BinarySender;
    m_sender->setRemoteHost(m_options.host);
    m_sender->setRemotePortInfo(m_options.infoPort);
    m_sender->setRemotePortBinary(m_options.binaryPort);

    connect(m_sender, &BinarySender::Connected, this, &SendSession::onConnected);
    connect(m_sender, &BinarySender::CommandAccepted, this, &SendSession::onAccepted);
    connect(m_sender, &BinarySender::CommandRefused, this, &SendSession::onRefused);
    connect(m_sender, &BinarySender::SendComplete, this, &SendSession::onComplete);
    connect(m_sender, &BinarySender::SendError, this, &SendSession::onSendError);
    connect(m_sender, &BinarySender::Disconnected, this, &SendSession::onDisconnected);
    connect(m_sender, &BinarySender::SendProgress, this,
            [this](qint64 progress, qint64) { m_progress.update(progress); });
    connect(m_sender, &BinarySender::SpeedRecord, this,
            [this](int speed) { m_progress.setSpeed(speed); });
    connect(m_sender, &BinarySender::Error, this,
            [this](short number, QString &description, int, const QString &, const QString &, int,
                   bool &cancelDisplay) { onSocketError(number, description, cancelDisplay); });
    // No component event says when the binary channel is up; its endpoint does.
    m_binaryChannel = m_sender->TheWinsock();
    if (auto *endpoint = qobject_cast<SocketEndpoint *>(m_binaryChannel.data()))
        connect(endpoint, &SocketEndpoint::Connected, this, &SendSession::onBinaryConnected);

    m_handshakeTimer = new QTimer(this);
    m_handshakeTimer->setSingleShot(true);
    connect(m_handshakeTimer, &QTimer::timeout, this, &SendSession::onHandshakeTimeout);
    m_handshakeTimer->start(HandshakeTimeoutMs);

    if (!m_sender->Connect()) {
        fail(u"cannot connect to "_s + m_options.host + u" port "_s +
             QString::number(m_options.infoPort) + u": "_s + m_sender->LastErrorDescription());
    }
}

void SendSession::interrupt()
{
    if (m_finished)
        return;
    // Closing both channels tells the receiver to drop what it has of the file.
    if (m_sender)
        m_sender->Cancel();
    m_progress.abandon();
    m_progress.error(m_current >= 0
                         ? u"cancelled; "_s + quoted(currentFileName()) + u" was not sent"_s
                         : u"cancelled"_s);
    finish(ExitCode::Cancelled);
}

void SendSession::onConnected()
{
    if (m_infoConnected)
        return;
    m_infoConnected = true;
    const auto *endpoint = qobject_cast<SocketEndpoint *>(m_binaryChannel.data());
    if (!endpoint || endpoint->State() == SocketEndpoint::ConnectionState::Connected)
        onBinaryConnected();
}

void SendSession::onBinaryConnected()
{
    if (!m_infoConnected || m_started || m_finished)
        return;
    m_started = true;
    m_handshakeTimer->stop();
    m_progress.note(u"Connected to "_s + m_options.host + u" (info port "_s +
                    QString::number(m_options.infoPort) + u", binary port "_s +
                    QString::number(m_options.binaryPort) + u")"_s);
    QTimer::singleShot(0, this, &SendSession::announceNext);
}

void SendSession::announceNext()
{
    if (m_finished)
        return;
    const auto total = int(m_options.files.size());
    if (m_next >= total) {
        if (m_refused == 0)
            return finish(ExitCode::Success);
        m_progress.error(QString::number(m_refused) + u" of "_s + QString::number(total) +
                         u" files were not sent"_s);
        return finish(ExitCode::TransferFailed);
    }
    m_current = m_next++;
    // ResetFile also puts ChunkSize back to its default, so it is set again for every file.
    m_sender->ResetFile();
    m_sender->setChunkSize(m_options.chunkSize);
    m_sender->setSource(m_options.files.at(m_current));
    if (!m_sender->SendInfo()) {
        fail(u"cannot announce "_s + quoted(currentFileName()) + u": "_s +
             m_sender->LastErrorDescription());
    }
}

void SendSession::onAccepted()
{
    if (m_current < 0 || m_streaming || m_finished)
        return;
    m_streaming = true;
    m_progress.begin(currentFileName(), m_sender->CurrentFileSize());
    // Streaming starts after the event has returned to the component. An empty file can be
    // confirmed before that; then there is nothing left to stream.
    QTimer::singleShot(0, this, [this, file = m_current] {
        if (m_finished || !m_streaming || m_current != file)
            return;
        if (!m_sender->SendFile()) {
            fail(u"cannot send "_s + quoted(currentFileName()) + u": "_s +
                 m_sender->LastErrorDescription());
        }
    });
}

void SendSession::onRefused()
{
    if (m_current < 0 || m_streaming || m_finished)
        return;
    m_progress.error(u"the receiver refused "_s + quoted(currentFileName()));
    ++m_refused;
    m_current = -1;
    QTimer::singleShot(0, this, &SendSession::announceNext);
}

void SendSession::onComplete()
{
    if (m_current < 0 || !m_streaming || m_finished)
        return;
    m_progress.finish(m_sender->CurrentFileSize(), m_sender->Sha256());
    m_streaming = false;
    m_current = -1;
    QTimer::singleShot(0, this, &SendSession::announceNext);
}

void SendSession::onSendError(int number, const QString &description)
{
    Q_UNUSED(number);
    fail(u"sending "_s + quoted(currentFileName()) + u" failed: "_s + description);
}

void SendSession::onSocketError(short number, QString &description, bool &cancelDisplay)
{
    Q_UNUSED(number);
    cancelDisplay = true;
    if (!m_infoConnected) {
        fail(u"cannot connect to "_s + m_options.host + u" port "_s +
             QString::number(m_options.infoPort) + u": "_s + description);
    } else if (!m_started) {
        fail(u"cannot connect to "_s + m_options.host + u" port "_s +
             QString::number(m_options.binaryPort) + u": "_s + description);
    } else {
        fail(u"connection to "_s + m_options.host + u" failed"_s +
             (m_current >= 0 ? u" during "_s + quoted(currentFileName()) : QString()) + u": "_s +
             description);
    }
}

void SendSession::onDisconnected()
{
    if (m_finished)
        return;
    fail(m_current >= 0 ? u"the receiver closed the connection; "_s + quoted(currentFileName()) +
                              u" was not confirmed"_s
                        : u"the receiver closed the connection"_s);
}

void SendSession::onHandshakeTimeout()
{
    fail(u"no answer from "_s + m_options.host + u" within "_s +
         QString::number(HandshakeTimeoutMs / 1000) + u" seconds"_s);
}

void SendSession::fail(const QString &message)
{
    if (m_finished)
        return;
    m_progress.abandon();
    m_progress.error(message);
    finish(ExitCode::TransferFailed);
}

void SendSession::finish(int exitCode)
{
    if (m_finished)
        return;
    m_finished = true;
    if (m_handshakeTimer)
        m_handshakeTimer->stop();
    if (m_sender)
        m_sender->Reset();
    emit finished(exitCode);
}

QString SendSession::currentFileName() const
{
    if (m_current < 0 || m_current >= m_options.files.size())
        return {};
    return QFileInfo(m_options.files.at(m_current)).fileName();
}

} // namespace corvane
