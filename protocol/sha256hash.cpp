#include "protocol/sha256hash.h"

#include <openssl/evp.h>

namespace corvane {

struct Sha256Hash::Context
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(context); }
};

Sha256Hash::Sha256Hash() : m_context(std::make_unique<Context>())
{
    reset();
}

Sha256Hash::~Sha256Hash() = default;

void Sha256Hash::reset()
{
    EVP_DigestInit_ex(m_context->context, EVP_sha256(), nullptr);
}

void Sha256Hash::add(QByteArrayView bytes)
{
#ifndef CORVANE_NO_HASHING
    EVP_DigestUpdate(m_context->context, bytes.data(), size_t(bytes.size()));
#else
    Q_UNUSED(bytes);
#endif
}

QString Sha256Hash::finish()
{
#ifdef CORVANE_NO_HASHING
    return {};
#endif
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context->context, digest, &length);
    reset();
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
}

} // namespace corvane
