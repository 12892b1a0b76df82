#include "cbasearchive.h"
#include "cfiletable.h"
#include "deltaformat.h"
#include "safefiles.h"

#include <zstd.h>

namespace {

void appendLe32(QByteArray& out, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        out.append(char(v >> (8 * i)));
}

} // namespace

CBaseArchive::CBaseArchive()
{
}

CBaseArchive::~CBaseArchive()
{
    discard();
}

bool CBaseArchive::create(const QString& path, const CFileTable& table, QString* reason)
{
    discard();
    m_strPath = path;
    m_bFailed = false;
    if (!Comm::createNewFile(m_file, path, QIODevice::WriteOnly)) {
        *reason = QStringLiteral("the kept base %1 cannot be created").arg(path);
        return false;
    }
    const QByteArray canonical = table.canonical();
    QByteArray header(DeltaFormat::BaseMagic, 8);
    appendLe32(header, DeltaFormat::Version);
    header.append(QByteArray(DeltaFormat::DigestSize, '\0')); // written by finish()
    appendLe32(header, quint32(canonical.size()));
    header.append(canonical);
    m_pContext = ZSTD_createCCtx();
    if (!m_pContext || ZSTD_isError(ZSTD_CCtx_setParameter(m_pContext, ZSTD_c_compressionLevel, DeltaFormat::BaseLevel))
        || ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(m_pContext, table.total()))
        || m_file.write(header) != header.size()) {
        *reason = QStringLiteral("the kept base %1 cannot be written").arg(path);
        discard();
        return false;
    }
    m_baOut.resize(int(ZSTD_CStreamOutSize()));
    return true;
}

bool CBaseArchive::write(const char* data, qint64 size)
{
    if (!m_pContext || m_bFailed)
        return false;
    ZSTD_inBuffer input = {data, size_t(size), 0};
    while (input.pos < input.size) {
        ZSTD_outBuffer output = {m_baOut.data(), size_t(m_baOut.size()), 0};
        const size_t ret = ZSTD_compressStream2(m_pContext, &output, &input, ZSTD_e_continue);
        if (ZSTD_isError(ret) || m_file.write(m_baOut.constData(), qint64(output.pos)) != qint64(output.pos)) {
            m_bFailed = true;
            return false;
        }
    }
    return true;
}

bool CBaseArchive::finish(const QByteArray& digest, QString* reason)
{
    if (!m_pContext || m_bFailed || digest.size() != DeltaFormat::DigestSize) {
        *reason = QStringLiteral("the kept base %1 cannot be written").arg(m_strPath);
        discard();
        return false;
    }
    size_t ret = 1;
    while (ret != 0) {
        ZSTD_inBuffer input = {nullptr, 0, 0};
        ZSTD_outBuffer output = {m_baOut.data(), size_t(m_baOut.size()), 0};
        ret = ZSTD_compressStream2(m_pContext, &output, &input, ZSTD_e_end);
        if (ZSTD_isError(ret) || m_file.write(m_baOut.constData(), qint64(output.pos)) != qint64(output.pos)) {
            *reason = QStringLiteral("the kept base %1 cannot be written").arg(m_strPath);
            discard();
            return false;
        }
    }
    if (!m_file.seek(DeltaFormat::BaseDigestOffsetInBase) || m_file.write(digest) != digest.size() || !m_file.flush()
        || !Comm::syncFile(m_file.handle(), m_strPath)) {
        *reason = QStringLiteral("the kept base %1 cannot be written or synced").arg(m_strPath);
        discard();
        return false;
    }
    m_file.close();
    ZSTD_freeCCtx(m_pContext);
    m_pContext = nullptr;
    m_strPath.clear();
    return true;
}

void CBaseArchive::discard()
{
    if (m_pContext)
        ZSTD_freeCCtx(m_pContext);
    m_pContext = nullptr;
    if (m_file.isOpen()) {
        m_file.close();
        Comm::removeNonDirectory(m_strPath);
    }
    m_strPath.clear();
}
