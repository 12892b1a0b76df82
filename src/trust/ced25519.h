#ifndef CED25519_H
#define CED25519_H

#include <QByteArray>
#include <QString>

// Ed25519 signatures through the system's libcrypto (OpenSSL): the updater verifies
// with it; the publisher's key tool and the tests also make keys and sign. Keys are the
// raw 32 bytes (the secret one is the 32-byte seed), signatures the raw 64 bytes.
//
// libcrypto verifies by the plain equation [S]B = R + [h]A and takes any 32 bytes as a
// public key, so a key of small order would let anyone sign: with the neutral point as
// key, R the neutral point and S = 0 verify for every message. Here a public key, and
// the R half of a signature, must therefore be a canonical point encoding (y below
// 2^255-19) that is none of the small-order points. Whether the bytes decode as a point
// at all is left to libcrypto, which decodes the key first and refuses every signature
// under one that does not; isValidPublicKey cannot tell such a key from a good one
// (that needs curve arithmetic libcrypto does not offer: EVP_PKEY_new_raw_public_key
// copies the bytes, and EVP_PKEY_public_check on an Ed25519 key asks only whether a
// public key is there), but it verifies nothing.
class CEd25519
{
public:
    enum { KeySize = 32, SignatureSize = 64 };

    // The 32 bytes of a public key written as standard base64 (44 characters, white
    // space around it allowed); empty, with the reason in *why, when the text is no such
    // key or the key is not valid (isValidPublicKey).
    static QByteArray publicKeyFromBase64(const QString& text, QString* why = nullptr);
    // Whether raw may serve as a public key: 32 bytes, the canonical encoding of a point,
    // not of small order. Otherwise false with the reason in *why.
    static bool isValidPublicKey(const QByteArray& raw, QString* why = nullptr);
    // The standard base64 of a raw key or signature.
    static QString toBase64(const QByteArray& raw);

    // Whether signature is a valid signature of message by publicKey; never for a key
    // isValidPublicKey refuses nor for a signature whose R is not a canonical encoding
    // of a point of large order.
    static bool verify(const QByteArray& message, const QByteArray& signature, const QByteArray& publicKey);

    // A new key pair from the system's random source. False when none could be made.
    static bool generate(QByteArray* secretKey, QByteArray* publicKey);
    // The public key of a secret key; empty when secretKey is not 32 bytes.
    static QByteArray publicKeyOf(const QByteArray& secretKey);
    // The signature of message by secretKey; empty on failure.
    static QByteArray sign(const QByteArray& message, const QByteArray& secretKey);
};

#endif // CED25519_H
