#include "ced25519.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>

namespace {

// The encodings of the eight points of order 1, 2, 4 and 8 (the curve's small-order
// points), as the 32 bytes with the sign bit of x (bit 255) cleared, the list
// libsodium's Ed25519 refuses keys and R values by:
//   y = 0        the two points (+-sqrt(-1), 0) of order 4
//   y = 1        the neutral point (0, 1), order 1
//   y = 0x05fc...26 and y = 0x7a03...c7 (written little-endian below)
//                two points of order 8 each, one for either sign of x
//   y = p-1      (0, -1), order 2
//   y = p, p+1   non-canonical spellings of y = 0 and y = 1
// with p = 2^255-19. Comparing without the sign bit also catches the non-canonical
// encodings of (0, 1) and (0, -1) with the sign bit set (x = 0 has no negative).
const unsigned char kSmallOrder[][CEd25519::KeySize] = {
    { 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00 },
    { 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00 },
    { 0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
      0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05 },
    { 0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
      0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a },
    { 0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f },
    { 0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f },
    { 0xee, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f },
};

// Why the 32 bytes of a point encoding (a public key or a signature's R) are refused,
// or nullptr. Public data only, so plain comparisons serve.
const char* pointRefusal(const unsigned char* encoding)
{
    unsigned char y[CEd25519::KeySize];
    std::memcpy(y, encoding, sizeof y);
    y[CEd25519::KeySize - 1] &= 0x7f;
    for (const unsigned char* point : kSmallOrder)
        if (std::memcmp(y, point, sizeof y) == 0)
            return "a point of small order";
    // y < p = 2^255-19 (0xed, 0xff x 30, 0x7f little-endian), from the top byte down.
    for (int i = CEd25519::KeySize - 1; i >= 0; --i) {
        const unsigned char limit = i == CEd25519::KeySize - 1 ? 0x7f : i == 0 ? 0xed : 0xff;
        if (y[i] != limit)
            return y[i] < limit ? nullptr : "not a canonical point encoding (y is 2^255-19 or more)";
    }
    return "not a canonical point encoding (y is 2^255-19 or more)";
}

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

QByteArray CEd25519::publicKeyFromBase64(const QString& text, QString* why)
{
    // (Characters beyond Latin-1 become "?", which no base64 has.)
    const QByteArray trimmed = text.trimmed().toLatin1();
    QByteArray::FromBase64Result decoded;
    if (trimmed.size() == 44 && trimmed.endsWith('='))
        decoded = QByteArray::fromBase64Encoding(trimmed, QByteArray::Base64Encoding
                                                              | QByteArray::AbortOnBase64DecodingErrors);
    // Only the one canonical spelling of the 32 bytes.
    if (!decoded || decoded.decoded.size() != KeySize || decoded.decoded.toBase64() != trimmed) {
        if (why)
            *why = QStringLiteral("not the base64 of 32 bytes");
        return QByteArray();
    }
    return isValidPublicKey(decoded.decoded, why) ? decoded.decoded : QByteArray();
}

bool CEd25519::isValidPublicKey(const QByteArray& raw, QString* why)
{
    const char* refusal = raw.size() == KeySize ? pointRefusal(bytes(raw)) : "not 32 bytes";
    if (refusal && why)
        *why = QString::fromLatin1(refusal);
    return !refusal;
}

QString CEd25519::toBase64(const QByteArray& raw)
{
    return QString::fromLatin1(raw.toBase64());
}

bool CEd25519::verify(const QByteArray& message, const QByteArray& signature, const QByteArray& publicKey)
{
    if (signature.size() != SignatureSize || !isValidPublicKey(publicKey) || pointRefusal(bytes(signature)))
        return false;
    // libcrypto itself refuses an S of L or more and a key that does not decode.
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
