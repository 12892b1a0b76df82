#include "csha256.h"

#include <QFile>

#include <openssl/evp.h>

namespace {

// Large reads keep the hashing at memory speed.
const qint64 kChunkBytes = 1 << 20;

EVP_MD_CTX* context(void* p)
{
    return static_cast<EVP_MD_CTX*>(p);
}

} // namespace

CSha256::CSha256()
    : m_pContext(EVP_MD_CTX_new())
{
    if (m_pContext)
        EVP_DigestInit_ex(context(m_pContext), EVP_sha256(), nullptr);
}

CSha256::~CSha256()
{
    EVP_MD_CTX_free(context(m_pContext));
}

void CSha256::addData(const char* data, qint64 length)
{
    if (m_pContext && length > 0)
        EVP_DigestUpdate(context(m_pContext), data, size_t(length));
}

QByteArray CSha256::result()
{
    if (!m_pContext)
        return QByteArray();
    QByteArray digest(32, '\0');
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context(m_pContext), reinterpret_cast<unsigned char*>(digest.data()), &length) != 1
        || length != 32)
        digest.clear();
    EVP_DigestInit_ex(context(m_pContext), EVP_sha256(), nullptr);
    return digest;
}

QString CSha256::fileHex(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QString();
    CSha256 hash;
    QByteArray buffer(int(kChunkBytes), Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n < 0)
            return QString();
        if (n == 0)
            break;
        hash.addData(buffer.constData(), n);
    }
    const QByteArray digest = hash.result();
    return digest.isEmpty() ? QString() : QString::fromLatin1(digest.toHex());
}

bool CSha256::isHex(const QString& text)
{
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f')))
            return false;
    }
    return true;
}
