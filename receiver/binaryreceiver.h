#pragma once

#include "corvane_export.h"
#include "protocol/defaults.h"

#include <QString>
#include <QWidget>

#include <memory>

namespace corvane {

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
    Q_PROPERTY(qint64 CurrentFileSize READ CurrentFileSize NOTIFY CurrentFileSizeChanged)
    Q_PROPERTY(QString CurrentFileName READ CurrentFileName NOTIFY CurrentFileNameChanged)
    Q_PROPERTY(QObject *TheWinsock READ TheWinsock)
    Q_PROPERTY(QString LocalHostName READ LocalHostName)
    Q_PROPERTY(QString LocalIP READ LocalIP)
    Q_PROPERTY(int LocalPortBinary READ LocalPortBinary WRITE setLocalPortBinary)
    Q_PROPERTY(int LocalPortInfo READ LocalPortInfo WRITE setLocalPortInfo)
    Q_PROPERTY(QString SaveTarget READ SaveTarget NOTIFY SaveTargetChanged)
    Q_PROPERTY(qint64 TotalReceived READ TotalReceived NOTIFY TotalReceivedChanged)
    Q_PROPERTY(QString Sha256 READ Sha256 NOTIFY Sha256Changed)
    Q_PROPERTY(int LastErrorNumber READ LastErrorNumber)
    Q_PROPERTY(QString LastErrorDescription READ LastErrorDescription)

public:
    static constexpr int DefaultPortInfo = DefaultInfoPort;
    static constexpr int DefaultPortBinary = DefaultBinaryPort;

    explicit BinaryReceiver(QWidget *parent = nullptr);
    ~BinaryReceiver() override;
    Q_DISABLE_COPY_MOVE(BinaryReceiver)

    qint64 CurrentFileSize() const;
    QString CurrentFileName() const;
    // The binary-channel endpoint; the component keeps owning it.
    QObject *TheWinsock() const;
    QString LocalHostName() const;
    QString LocalIP() const;
    int LocalPortBinary() const;
    void setLocalPortBinary(int Port);
    int LocalPortInfo() const;
    void setLocalPortInfo(int Port);
    QString SaveTarget() const;
    qint64 TotalReceived() const;
    // The SHA-256 (lower-case hex) of the bytes written to the file, once it is saved; empty
    // before that and after ResetFile.
    QString Sha256() const;
    int LastErrorNumber() const;
    QString LastErrorDescription() const;

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
    // Gives up the file under way (announced or being received): its temporary file is
    // removed and both channels close, so the sender stops. Raises no event; nothing listens
    // until Listen is called. Fails when no file is under way.
    Q_INVOKABLE bool Cancel();

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

    // Property changes, told once per pass of the event loop with the value then current,
    // after the events that caused them.
    void CurrentFileSizeChanged(qint64 CurrentFileSize);
    void CurrentFileNameChanged(const QString &CurrentFileName);
    void SaveTargetChanged(const QString &SaveTarget);
    void TotalReceivedChanged(qint64 TotalReceived);
    void Sha256Changed(const QString &Sha256);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    class Private;
    std::unique_ptr<Private> const d;
};

} // namespace corvane
