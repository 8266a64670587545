#pragma once

#include "corvane_export.h"
#include "protocol/defaults.h"

#include <QFile>
#include <QHostAddress>
#include <QString>
#include <QWidget>

#include <memory>

class QTimer;

namespace corvane {

class InfoCodeStream;
class SocketEndpoint;

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
    Q_PROPERTY(qint64 CurrentFileSize READ CurrentFileSize)
    Q_PROPERTY(QString CurrentFileName READ CurrentFileName)
    Q_PROPERTY(QObject *TheWinsock READ TheWinsock)
    Q_PROPERTY(QString RemoteHost READ RemoteHost WRITE setRemoteHost)
    Q_PROPERTY(QString RemoteHostIP READ RemoteHostIP)
    Q_PROPERTY(int RemotePortBinary READ RemotePortBinary WRITE setRemotePortBinary)
    Q_PROPERTY(int RemotePortInfo READ RemotePortInfo WRITE setRemotePortInfo)
    Q_PROPERTY(QString Source READ Source WRITE setSource)
    Q_PROPERTY(qint64 SentTotal READ SentTotal)
    Q_PROPERTY(qint64 ReadPosition READ ReadPosition)
    Q_PROPERTY(bool Streaming READ Streaming)
    Q_PROPERTY(int LastErrorNumber READ LastErrorNumber)
    Q_PROPERTY(QString LastErrorDescription READ LastErrorDescription)

public:
    static constexpr int DefaultChunkSize = corvane::DefaultChunkSize;
    static constexpr int DefaultPortInfo = DefaultInfoPort;
    static constexpr int DefaultPortBinary = DefaultBinaryPort;

    explicit BinarySender(QWidget *parent = nullptr);
    ~BinarySender() override;
    Q_DISABLE_COPY_MOVE(BinarySender)

    int ChunkSize() const { return m_chunkSize; }
    void setChunkSize(int size) { m_chunkSize = size; }
    qint64 CurrentFileSize() const { return m_currentFileSize; }
    QString CurrentFileName() const { return m_currentFileName; }
    // The binary-channel endpoint; the component keeps owning it.
    QObject *TheWinsock() const;
    QString RemoteHost() const;
    void setRemoteHost(const QString &Host);
    QString RemoteHostIP() const;
    int RemotePortBinary() const;
    void setRemotePortBinary(int Port);
    int RemotePortInfo() const;
    void setRemotePortInfo(int Port);
    QString Source() const { return m_sourcePath; }
    // Stores the path and takes the name and size of the file there; never fails (a size
    // that cannot be read keeps the previous one).
    void setSource(const QString &path);
    qint64 SentTotal() const { return m_sentTotal; }
    qint64 ReadPosition() const { return m_readPosition; }
    // True from SendFile until the last chunk was handed over or streaming failed.
    bool Streaming() const { return m_streaming; }
    int LastErrorNumber() const { return m_lastErrorNumber; }
    QString LastErrorDescription() const { return m_lastErrorDescription; }

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

protected:
    void resizeEvent(QResizeEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    bool fail(int number, const QString &description);
    void forwardError(SocketEndpoint *endpoint, short number, QString &description, int scode,
                      const QString &source, const QString &helpFile, int helpContext,
                      bool &cancelDisplay);
    void onInfoArrival();
    void handleCode(const QString &code);
    void openBinaryChannel();
    void onSendProgress(qint64 bytesSent);
    void pumpChunks();
    bool sendNextChunk(int &number, QString &description);
    void finishIfComplete();
    void stopStreaming();
    void failStreaming(int number, const QString &description);
    void abortTransfer(int number, const QString &description);
    bool failAccepted(int number, const QString &description);
    void endSession();
    void onSpeedTick();
    void onPeerClosed(SocketEndpoint *closed);

    SocketEndpoint *wsInfo = nullptr;
    SocketEndpoint *wsSender = nullptr;
    QTimer *tmrUploadSpeed = nullptr;
    std::unique_ptr<InfoCodeStream> m_infoCodes;

    int m_chunkSize = DefaultChunkSize;
    qint64 m_currentFileSize = 0;
    QString m_currentFileName;
    qint64 m_sentTotal = 0;
    QString m_sourcePath;
    qint64 m_readPosition = 0;
    qint64 m_lastSentSample = 0;
    QFile m_file;
    QByteArray m_buffer;
    bool m_streaming = false;
    // "ACP" came and no "RFC" yet: the receiver holds the file open for its bytes.
    bool m_awaitingStream = false;
    // Where the info channel went; the binary channel goes to the same address.
    QHostAddress m_infoPeer;
    int m_lastErrorNumber = 0;
    QString m_lastErrorDescription;

    // A queued connect or a running pass over arrived messages goes on only while its
    // generation is still current; Connect, Reset and a lost channel move these on.
    quint64 m_infoGeneration = 0;
    quint64 m_binaryGeneration = 0;
    quint64 m_streamGeneration = 0;
    // Taken when a stream starts, so a host that changes ChunkSize or Source mid-stream
    // cannot corrupt it.
    qint64 m_streamEnd = 0;
    qint64 m_streamChunk = 0;
    bool m_pumping = false;
};

} // namespace corvane
