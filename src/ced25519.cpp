#include "ced25519.h"

#include <openssl/evp.h>

#include <memory>

namespace {

struct PkeyFree
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree
{
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct PkeyCtxFree
{
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

const unsigned char* bytes(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

QByteArray rawKey(EVP_PKEY* key, bool secret)
{
    QByteArray raw(CEd25519::KeySize, '\0');
    size_t length = size_t(raw.size());
    const int ok = secret ? EVP_PKEY_get_raw_private_key(key, reinterpret_cast<unsigned char*>(raw.data()), &length)
                          : EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(raw.data()), &length);
    return ok == 1 && length == size_t(CEd25519::KeySize) ? raw : QByteArray();
}

} // namespace

QByteArray CEd25519::publicKeyFromBase64(const QString& text)
{
    const QByteArray trimmed = text.trimmed().toLatin1();
    if (trimmed.size() != 44 || !trimmed.endsWith('='))
        return QByteArray();
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(trimmed, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != KeySize)
        return QByteArray();
    // Only the one canonical spelling of the 32 bytes.
    if (decoded.decoded.toBase64() != trimmed)
        return QByteArray();
    return decoded.decoded;
}

QString CEd25519::toBase64(const QByteArray& raw)
{
    return QString::fromLatin1(raw.toBase64());
}

bool CEd25519::verify(const QByteArray& message, const QByteArray& signature, const QByteArray& publicKey)
{
    if (signature.size() != SignatureSize || publicKey.size() != KeySize)
        return false;
    Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes(publicKey), size_t(KeySize)));
    MdCtx ctx(EVP_MD_CTX_new());
    if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(), bytes(signature), size_t(signature.size()), bytes(message),
                            size_t(message.size()))
           == 1;
}

bool CEd25519::generate(QByteArray* secretKey, QByteArray* publicKey)
{
    PkeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY* made = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &made) != 1)
        return false;
    Pkey key(made);
    const QByteArray secret = rawKey(key.get(), true);
    const QByteArray pub = rawKey(key.get(), false);
    if (secret.isEmpty() || pub.isEmpty())
        return false;
    if (secretKey)
        *secretKey = secret;
    if (publicKey)
        *publicKey = pub;
    return true;
}

QByteArray CEd25519::publicKeyOf(const QByteArray& secretKey)
{
    if (secretKey.size() != KeySize)
        return QByteArray();
    Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, bytes(secretKey), size_t(KeySize)));
    return key ? rawKey(key.get(), false) : QByteArray();
}

QByteArray CEd25519::sign(const QByteArray& message, const QByteArray& secretKey)
{
    if (secretKey.size() != KeySize)
        return QByteArray();
    Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, bytes(secretKey), size_t(KeySize)));
    MdCtx ctx(EVP_MD_CTX_new());
    if (!key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return QByteArray();
    QByteArray signature(SignatureSize, '\0');
    size_t length = size_t(signature.size());
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, bytes(message),
                       size_t(message.size()))
            != 1
        || length != size_t(SignatureSize))
        return QByteArray();
    return signature;
}
