#pragma once

#include <QByteArrayView>
#include <QString>

#include <memory>

namespace corvane {

// The SHA-256 of bytes fed in pieces, as they pass, so a file is hashed without a second
// read. OpenSSL's implementation uses the processor's SHA instructions: Qt's own runs at a
// small fraction of the speed and would cap the transfer.
class Sha256Hash
{
public:
    Sha256Hash();
    ~Sha256Hash();
    Q_DISABLE_COPY_MOVE(Sha256Hash)

    // Starts a new hash.
    void reset();
    void add(QByteArrayView bytes);
    // The hash of everything added since reset, in lower-case hex; the hash then starts anew.
    QString finish();

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};

} // namespace corvane
