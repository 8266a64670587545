#pragma once

#include "corvane_export.h"
#include "protocol/defaults.h"

#include <QByteArrayView>
#include <QString>
#include <QWidget>

#include <memory>

class QTimer;

namespace corvane {

class SocketEndpoint;
class TemporaryTarget;

// The receiving half of a transfer. It listens on an info port and a binary port, takes one
// connection on each, asks its host about each announced file (SendRequest), writes the
// accepted file's bytes into a temporary file beside the save path, puts the finished file
// in place atomically and durably, and reports progress, speed and completion.
//
// Hosts drive it through its properties, methods and signals, also by name through the
// meta-object system. A method that can fail returns false and leaves the failure in
// LastErrorNumber and LastErrorDescription.
class CORVANE_EXPORT BinaryReceiver final : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(qint64 CurrentFileSize READ CurrentFileSize)
    Q_PROPERTY(QString CurrentFileName READ CurrentFileName)
    Q_PROPERTY(QObject *TheWinsock READ TheWinsock)
    Q_PROPERTY(QString LocalHostName READ LocalHostName)
    Q_PROPERTY(QString LocalIP READ LocalIP)
    Q_PROPERTY(int LocalPortBinary READ LocalPortBinary WRITE setLocalPortBinary)
    Q_PROPERTY(int LocalPortInfo READ LocalPortInfo WRITE setLocalPortInfo)
    Q_PROPERTY(QString SaveTarget READ SaveTarget)
    Q_PROPERTY(qint64 TotalReceived READ TotalReceived)
    Q_PROPERTY(int LastErrorNumber READ LastErrorNumber)
    Q_PROPERTY(QString LastErrorDescription READ LastErrorDescription)

public:
    static constexpr int DefaultPortInfo = DefaultInfoPort;
    static constexpr int DefaultPortBinary = DefaultBinaryPort;

    explicit BinaryReceiver(QWidget *parent = nullptr);
    ~BinaryReceiver() override;
    Q_DISABLE_COPY_MOVE(BinaryReceiver)

    qint64 CurrentFileSize() const { return m_currentFileSize; }
    QString CurrentFileName() const { return m_currentFileName; }
    // The binary-channel endpoint; the component keeps owning it.
    QObject *TheWinsock() const;
    QString LocalHostName() const;
    QString LocalIP() const;
    int LocalPortBinary() const;
    void setLocalPortBinary(int Port);
    int LocalPortInfo() const;
    void setLocalPortInfo(int Port);
    QString SaveTarget() const { return m_saveTarget; }
    qint64 TotalReceived() const { return m_totalReceived; }
    int LastErrorNumber() const { return m_lastErrorNumber; }
    QString LastErrorDescription() const { return m_lastErrorDescription; }

    // Clears the per-file state; a temporary file still open is closed and removed.
    Q_INVOKABLE void ResetFile();
    // As ResetFile, and closes both endpoints.
    Q_INVOKABLE void Reset();
    // Opens the temporary file (SaveTarget + "TMP") and answers "ACP"; fails without an
    // answer when the file cannot be opened.
    Q_INVOKABLE bool AcceptSendRequest(const QString &SaveTarget);
    // Answers "RFS".
    Q_INVOKABLE bool RefuseSendRequest();
    // Listens on LocalPortInfo and LocalPortBinary.
    Q_INVOKABLE bool Listen();

signals:
    void Error(short Number, QString &Description, int Scode, const QString &Source,
               const QString &HelpFile, int HelpContext, bool &CancelDisplay);
    void SendRequest();
    void ConnectionRequest();
    void ReceiveComplete();
    void ReceiveProgress(qint64 Progress, qint64 ProgressMax);
    void SpeedRecord(int Speed);
    // The accepted file could not be stored (write failure, lost connection, failed save).
    // Both channels are closed afterwards and Disconnected follows.
    void ReceiveError(int Number, const QString &Description);
    // The session is over: the sender closed the info channel, or closed the binary channel
    // during a file, or a failure here ended it. Nothing listens until Listen is called.
    void Disconnected();

protected:
    void resizeEvent(QResizeEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    bool fail(int number, const QString &description);
    void onInfoConnectionRequest(int requestID);
    void onBinaryConnectionRequest(int requestID);
    void onInfoArrival();
    void handleInfoMessage(const QString &text);
    void flushPartialMessage();
    void onBinaryArrival();
    void handleAnnouncement(const QString &text);
    void receiveBytes(QByteArrayView bytes);
    void acknowledgeAcceptance();
    void completeFile();
    void failFile(int number, const QString &description);
    void reportFailure(int number, const QString &description);
    void listenForBinaryChannel();
    void closeFile();
    void sendLater(const QByteArray &message);
    void onSpeedTick();
    void onPeerClosed(SocketEndpoint *closed);
    void dropConnections();

    SocketEndpoint *wsInfo = nullptr;
    SocketEndpoint *wsReader = nullptr;
    QTimer *tmrDownloadSpeed = nullptr;
    // The start of a message cut off by the network, waiting briefly for the rest.
    QString m_partialMessage;
    QTimer *m_partialTimer = nullptr;
    // The accepted file while it is being received; empty otherwise.
    std::unique_ptr<TemporaryTarget> m_tempFile;

    qint64 m_currentFileSize = 0;
    QString m_currentFileName;
    QString m_saveTarget;
    qint64 m_totalReceived = 0;
    qint64 m_writeOffset = 0;
    qint64 m_lastSampleTotal = 0;
    int m_lastErrorNumber = 0;
    QString m_lastErrorDescription;

    // The size taken at acceptance: a later announcement cannot move the end of this file.
    qint64 m_acceptedSize = 0;
    // An announcement is waiting for AcceptSendRequest or RefuseSendRequest.
    bool m_announcementPending = false;
    // "ACP" went out for the open file, so the sender may now stream it.
    bool m_acknowledged = false;
    // An info connection was accepted and has not been lost, closed or replaced.
    bool m_sessionActive = false;
    // Queued answers and steps go on only while these are unchanged: connections move on with
    // Listen, Reset, an accepted info connection and a loss; files with every accept, reset,
    // completion and failure.
    quint64 m_connectionGeneration = 0;
    quint64 m_fileGeneration = 0;
};

} // namespace corvane
