#pragma once

#include "corvane_export.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>

namespace corvane {

// One end of a TCP channel, as both components use it: it listens and accepts a connection
// request by its identifier on the same endpoint, or connects out; sends text and bytes;
// notifies arrivals, send progress, errors and the peer's close. Everything runs on the
// thread that owns it, from its event loop; nothing here waits or spins a nested loop.
class CORVANE_EXPORT SocketEndpoint final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int LocalPort READ LocalPort WRITE setLocalPort)
    Q_PROPERTY(QString RemoteHost READ RemoteHost WRITE setRemoteHost)
    Q_PROPERTY(int RemotePort READ RemotePort WRITE setRemotePort)
    Q_PROPERTY(QString RemoteHostIP READ RemoteHostIP)
    Q_PROPERTY(QString LocalHostName READ LocalHostName)
    Q_PROPERTY(QString LocalIP READ LocalIP)
    Q_PROPERTY(ConnectionState State READ State)
    Q_PROPERTY(qint64 BytesAvailable READ BytesAvailable)
    Q_PROPERTY(qint64 BytesToWrite READ BytesToWrite)
    Q_PROPERTY(int LastErrorNumber READ LastErrorNumber)
    Q_PROPERTY(QString LastErrorDescription READ LastErrorDescription)

public:
    enum class ConnectionState
    {
        Closed,
        Listening,
        Connecting,
        Connected
    };
    Q_ENUM(ConnectionState)

    explicit SocketEndpoint(QObject *parent = nullptr);
    ~SocketEndpoint() override;
    Q_DISABLE_COPY_MOVE(SocketEndpoint)

    int LocalPort() const;
    void setLocalPort(int port);
    QString RemoteHost() const;
    void setRemoteHost(const QString &host);
    int RemotePort() const;
    void setRemotePort(int port);

    // The peer's address while connected (IPv4 in dotted form), else empty.
    QString RemoteHostIP() const;
    QHostAddress peerAddress() const;
    QString LocalHostName() const;
    // This machine's first IPv4 address that is not loopback, else 127.0.0.1.
    QString LocalIP() const;

    ConnectionState State() const;
    qint64 BytesAvailable() const;
    qint64 BytesToWrite() const;

    // The failure of the last method that returned false.
    int LastErrorNumber() const;
    QString LastErrorDescription() const;

    // At most this many bytes wait in the endpoint's read buffer (0: unbounded); the rest
    // stays in the system until they are fetched.
    void setReadBufferSize(qint64 size);

    // Ends listening and any connection; harmless on a closed endpoint. Connection requests
    // that are being notified stay acceptable.
    Q_INVOKABLE void Close();
    // Listens on LocalPort (0 picks a free port, which LocalPort then reads back).
    Q_INVOKABLE bool Listen();
    // Refuses every connection that waits to be accepted right now, without notifying it.
    void refuseWaiting();
    // Connects this endpoint to the peer of a request notified by ConnectionRequest. A
    // request not accepted while its notification runs is refused.
    Q_INVOKABLE bool Accept(int requestID);
    // The peer address of a request that is being notified.
    Q_INVOKABLE QString RequestHostIP(int requestID) const;
    // Starts connecting to RemoteHost:RemotePort; a failure to connect comes later as Error.
    Q_INVOKABLE bool Connect();
    // The same to a known address at RemotePort, without looking RemoteHost up (a null
    // address does look it up).
    bool Connect(const QHostAddress &address);
    // Queues the text (in the system's 8-bit encoding) or the bytes for sending; returns at once.
    Q_INVOKABLE bool SendData(const QString &text);
    Q_INVOKABLE bool SendData(const QByteArray &bytes);
    // Fetches every waiting byte as text.
    Q_INVOKABLE QString GetText();
    // Fetches at most maxCount waiting bytes (all of them for a negative count).
    Q_INVOKABLE QByteArray GetBytes(qint64 maxCount = -1);

signals:
    void ConnectionRequest(int requestID);
    // bytesTotal bytes are waiting. If a handler fetched some but not all, another
    // notification follows from the event loop, so no byte is stranded.
    void DataArrival(qint64 bytesTotal);
    // bytesSent left through the socket since the previous notification; bytesRemaining
    // are still queued in the endpoint.
    void SendProgress(qint64 bytesSent, qint64 bytesRemaining);
    // One SendData call queued this many bytes (lets hosts and tests see the sends).
    void DataQueued(qint64 count);
    void Error(short Number, QString &Description, int Scode, const QString &Source,
               const QString &HelpFile, int HelpContext, bool &CancelDisplay);
    // An outgoing connection is up.
    void Connected();
    // The peer closed the connection (or it was lost).
    void Closed();

private:
    class Private;
    std::unique_ptr<Private> const d;
};

} // namespace corvane
