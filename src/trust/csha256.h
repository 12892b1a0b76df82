#ifndef CSHA256_H
#define CSHA256_H

#include <QByteArray>
#include <QString>

// SHA-256 through the system's libcrypto (OpenSSL), which uses the processor's SHA
// instructions where it has them.
class CSha256
{
public:
    CSha256();
    ~CSha256();
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;

    void addData(const char* data, qint64 length);
    // The 32-byte digest of everything added; the hasher starts afresh afterwards.
    QByteArray result();

    // The 64 lowercase hexadecimal digits of the SHA-256 of the file at path; empty when
    // it cannot be read to its end.
    static QString fileHex(const QString& path);
    // Whether text is 64 lowercase hexadecimal digits.
    static bool isHex(const QString& text);

private:
    void* m_pContext;
};

#endif // CSHA256_H
