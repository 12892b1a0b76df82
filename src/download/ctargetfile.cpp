#include "ctargetfile.h"

#include "safefiles.h"

#include <QFile>

#include <optional>

CTargetFile::CTargetFile()
    : m_nDevice(0)
    , m_nInode(0)
    , m_nStartSize(0)
    , m_nBytesWritten(0)
    , m_bFailed(false)
{
}

CTargetFile::~CTargetFile() = default;

bool CTargetFile::clearPath(const QString& path)
{
    return Comm::removeNonDirectory(path);
}

bool CTargetFile::open(const QString& path, qint64 keep)
{
    m_pFile.reset();
    m_strPath = path;
    m_nBytesWritten = 0;
    m_bFailed = false;
    if (path.isEmpty())
        return false;
    auto file = std::make_unique<QFile>();
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Unbuffered;
    if (keep <= 0) {
        // A fresh file, created exclusively: whatever stands at the path (a link, a
        // file planted since) is removed, never written through.
        if (!Comm::createNewFile(*file, path, mode))
            return false;
    } else if (!Comm::openToContinue(*file, path, keep, mode)) {
        // It must be the regular file it was, reached without a link and known under
        // no other name, holding the bytes kept.
        return false;
    }
    const std::optional<Comm::FileIdentity> identity = Comm::fileIdentity(*file);
    if (!identity)
        return false;
    m_nDevice = identity->device;
    m_nInode = identity->inode;
    m_nStartSize = keep > 0 ? keep : 0;
    m_pFile = std::move(file);
    return true;
}

bool CTargetFile::isOpen() const
{
    return m_pFile && m_pFile->isOpen();
}

bool CTargetFile::write(const char* data, qint64 size)
{
    const qint64 written = isOpen() ? m_pFile->write(data, size) : -1;
    if (written > 0)
        m_nBytesWritten += written;
    if (written == size)
        return true;
    m_bFailed = true;
    return false;
}

bool CTargetFile::startOver()
{
    if (!m_pFile || !m_pFile->resize(0) || !m_pFile->seek(0)) {
        m_bFailed = true;
        return false;
    }
    m_nStartSize = 0;
    return true;
}

bool CTargetFile::sync()
{
    if (m_pFile && !Comm::syncFile(m_pFile->handle(), m_strPath)) {
        m_bFailed = true;
        return false;
    }
    return true;
}

void CTargetFile::close()
{
    if (m_pFile && m_pFile->isOpen()) {
        m_pFile->close();
        if (m_pFile->error() != QFileDevice::NoError)
            m_bFailed = true;
    }
}

bool CTargetFile::intact() const
{
    Comm::FileIdentity identity;
    identity.device = m_nDevice;
    identity.inode = m_nInode;
    return Comm::isSameRegularFile(m_strPath, identity, m_nStartSize + m_nBytesWritten);
}

QString CTargetFile::errorString() const
{
    return m_pFile ? m_pFile->errorString() : QString();
}
