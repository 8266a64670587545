#pragma once

#include "corvane_export.h"
#include "protocol/defaults.h"

#include <QString>
#include <QWidget>

#include <memory>

namespace corvane {

// The sending half of a transfer. It opens the info channel and the binary channel to one
// receiver, announces a file, reports the receiver's answers as events, streams the file in
// chunks of ChunkSize bytes from the event loop and samples the sending speed every 500 ms.
//
// Hosts drive it through its properties, methods and signals, also by name through the
// meta-object system. A method that can fail returns false and leaves the failure in
// LastErrorNumber and LastErrorDescription.
class CORVANE_EXPORT BinarySender final : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(int ChunkSize READ ChunkSize WRITE setChunkSize)
    Q_PROPERTY(qint64 CurrentFileSize READ CurrentFileSize NOTIFY CurrentFileSizeChanged)
    Q_PROPERTY(QString CurrentFileName READ CurrentFileName NOTIFY CurrentFileNameChanged)
    Q_PROPERTY(QObject *TheWinsock READ TheWinsock)
    Q_PROPERTY(QString RemoteHost READ RemoteHost WRITE setRemoteHost)
    Q_PROPERTY(QString RemoteHostIP READ RemoteHostIP)
    Q_PROPERTY(int RemotePortBinary READ RemotePortBinary WRITE setRemotePortBinary)
    Q_PROPERTY(int RemotePortInfo READ RemotePortInfo WRITE setRemotePortInfo)
    Q_PROPERTY(QString Source READ Source WRITE setSource)
    Q_PROPERTY(qint64 SentTotal READ SentTotal NOTIFY SentTotalChanged)
    Q_PROPERTY(qint64 ReadPosition READ ReadPosition NOTIFY ReadPositionChanged)
    Q_PROPERTY(bool Streaming READ Streaming NOTIFY StreamingChanged)
    Q_PROPERTY(QString Sha256 READ Sha256 NOTIFY Sha256Changed)
    Q_PROPERTY(int LastErrorNumber READ LastErrorNumber)
    Q_PROPERTY(QString LastErrorDescription READ LastErrorDescription)

public:
    static constexpr int DefaultChunkSize = corvane::DefaultChunkSize;
    static constexpr int DefaultPortInfo = DefaultInfoPort;
    static constexpr int DefaultPortBinary = DefaultBinaryPort;

    explicit BinarySender(QWidget *parent = nullptr);
    ~BinarySender() override;
    Q_DISABLE_COPY_MOVE(BinarySender)

    int ChunkSize() const;
    void setChunkSize(int size);
    qint64 CurrentFileSize() const;
    QString CurrentFileName() const;
    // The binary-channel endpoint; the component keeps owning it.
    QObject *TheWinsock() const;
    QString RemoteHost() const;
    void setRemoteHost(const QString &Host);
    QString RemoteHostIP() const;
    int RemotePortBinary() const;
    void setRemotePortBinary(int Port);
    int RemotePortInfo() const;
    void setRemotePortInfo(int Port);
    QString Source() const;
    // Stores the path and takes the name and size of the file there; never fails (a size
    // that cannot be read keeps the previous one).
    void setSource(const QString &path);
    qint64 SentTotal() const;
    qint64 ReadPosition() const;
    // True from SendFile until the last chunk was handed over or streaming failed.
    bool Streaming() const;
    // The SHA-256 (lower-case hex) of the bytes read and handed over, once the last chunk of
    // the file was; empty before that and after ResetFile.
    QString Sha256() const;
    int LastErrorNumber() const;
    QString LastErrorDescription() const;

    // Clears the per-file state and stops the speed timer; a running stream is stopped too.
    Q_INVOKABLE void ResetFile();
    // As ResetFile, and closes both channels.
    Q_INVOKABLE void Reset();
    // Opens the info channel to RemoteHost:RemotePortInfo, after one return to the event loop.
    Q_INVOKABLE bool Connect();
    // Announces the current file on the info channel. Fails (and sends nothing) when the
    // info channel is not connected or the source cannot be read.
    Q_INVOKABLE bool SendInfo();
    // Opens the source and hands over the first chunk; later chunks follow from the event
    // loop as the binary channel drains. Failures up to the first chunk return false;
    // later ones raise SendError once.
    Q_INVOKABLE bool SendFile();
    // Stops the file under way (announced, accepted or streaming): streaming ends and both
    // channels close, so the receiver drops what it has. Raises no event. Fails when no file
    // is under way.
    Q_INVOKABLE bool Cancel();

signals:
    void Error(short Number, QString &Description, int Scode, const QString &Source,
               const QString &HelpFile, int HelpContext, bool &CancelDisplay);
    void SendError(int Number, const QString &Description);
    void Connected();
    void CommandAccepted();
    void CommandRefused();
    void SendProgress(qint64 Progress, qint64 ProgressMax);
    void SendComplete();
    void SpeedRecord(int Speed);
    // Both channels are gone: the receiver closed one, or a failure here ended the transfer
    // (after SendError, or after a failed SendFile has returned).
    void Disconnected();

    // Property changes, told once per pass of the event loop with the value then current,
    // after the events that caused them.
    void CurrentFileSizeChanged(qint64 CurrentFileSize);
    void CurrentFileNameChanged(const QString &CurrentFileName);
    void SentTotalChanged(qint64 SentTotal);
    void ReadPositionChanged(qint64 ReadPosition);
    void StreamingChanged(bool Streaming);
    void Sha256Changed(const QString &Sha256);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    class Private;
    std::unique_ptr<Private> const d;
};

} // namespace corvane
