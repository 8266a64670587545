#include "protocol/sha256.h"

#include <openssl/evp.h>

namespace corvane {

struct Sha256::Context
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : m_context(std::make_unique<Context>())
{
    reset();
}

Sha256::~Sha256() = default;

void Sha256::reset()
{
    EVP_DigestInit_ex(m_context->context, EVP_sha256(), nullptr);
}

void Sha256::add(QByteArrayView bytes)
{
    EVP_DigestUpdate(m_context->context, bytes.data(), size_t(bytes.size()));
}

QString Sha256::finish()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context->context, digest, &length);
    reset();
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
}

} // namespace corvane
