#ifndef CED25519_H
#define CED25519_H

#include <QByteArray>
#include <QString>

// Ed25519 signatures through the system's libcrypto (OpenSSL): the updater verifies
// with it; the publisher's key tool and the tests also make keys and sign. Keys are the
// raw 32 bytes (the secret one is the 32-byte seed), signatures the raw 64 bytes.
class CEd25519
{
public:
    enum { KeySize = 32, SignatureSize = 64 };

    // The 32 bytes of a public key written as standard base64 (44 characters, white
    // space around it allowed); empty when the text is no such key.
    static QByteArray publicKeyFromBase64(const QString& text);
    // The standard base64 of a raw key or signature.
    static QString toBase64(const QByteArray& raw);

    // Whether signature is a valid signature of message by publicKey.
    static bool verify(const QByteArray& message, const QByteArray& signature, const QByteArray& publicKey);

    // A new key pair from the system's random source. False when none could be made.
    static bool generate(QByteArray* secretKey, QByteArray* publicKey);
    // The public key of a secret key; empty when secretKey is not 32 bytes.
    static QByteArray publicKeyOf(const QByteArray& secretKey);
    // The signature of message by secretKey; empty on failure.
    static QByteArray sign(const QByteArray& message, const QByteArray& secretKey);
};

#endif // CED25519_H
