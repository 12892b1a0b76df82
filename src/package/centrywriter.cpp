#include "centrywriter.h"
#include "safefiles.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <limits>
#include <sys/statvfs.h>

namespace {

// The build's 64-bit file offsets make the block counts of statvfs 64 bits wide on
// 32-bit systems too.
static_assert(sizeof(fsblkcnt_t) == 8, "file system block counts must be 64 bits wide");

CEntryWriter::FreeSpaceProbe freeSpaceProbe = nullptr;

} // namespace

void CEntryWriter::setFreeSpaceProbe(FreeSpaceProbe probe)
{
    freeSpaceProbe = probe;
}

qint64 CEntryWriter::availableSpace(const QString& dir)
{
    QString path = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
    for (;;) {
        struct statvfs st;
        if (::statvfs(QFile::encodeName(path).constData(), &st) == 0) {
            // both factors widened first: the product passes 4 GiB on any real disk
            const quint64 bytes = quint64(st.f_bavail) * quint64(st.f_frsize);
            return qint64(qMin<quint64>(bytes, quint64(std::numeric_limits<qint64>::max())));
        }
        if (errno != ENOENT && errno != ENOTDIR) {
            qDebug() << "the file system of" << path << "cannot be examined:" << strerror(errno);
            return -1;
        }
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            return -1;
        path = parent;
    }
}

bool CEntryWriter::enoughSpace(const QString& dir, quint64 bytes)
{
    const qint64 available = freeSpaceProbe ? freeSpaceProbe(dir) : availableSpace(dir);
    if (available < 0) {
        qDebug() << "not enough space: the space available for" << dir << "is unknown";
        return false;
    }
    if (bytes > quint64(std::numeric_limits<qint64>::max())
        || qint64(bytes) > available - qint64(FreeSpaceReserve)) {
        qDebug() << "not enough space: the package unpacks to" << bytes << "bytes," << available
                 << "bytes are available for" << dir << "and" << int(FreeSpaceReserve) << "must stay free";
        return false;
    }
    return true;
}

bool CEntryWriter::isSafeEntryName(QString name)
{
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (name.startsWith(QLatin1Char('/')))
        return false;
    const QStringList parts = name.split(QLatin1Char('/'));
    for (const QString& part : parts)
        if (part == QLatin1String(".."))
            return false;
    return true;
}

QByteArray CEntryWriter::usedName(const QByteArray& rawName)
{
    const int nul = rawName.indexOf('\0');
    return nul >= 0 ? rawName.left(nul) : rawName;
}

CEntryWriter::CEntryWriter(const QString& destDir)
    : m_strDirPath(destDir)
{
    if (!m_strDirPath.endsWith(QLatin1Char('\\')) && !m_strDirPath.endsWith(QLatin1Char('/')))
        m_strDirPath += QLatin1Char('/');
}

CEntryWriter::~CEntryWriter()
{
    discard();
}

void CEntryWriter::prepareDestination()
{
    if (!QDir(m_strDirPath).exists() && QDir().mkdir(m_strDirPath))
        noteParentOf(QDir::cleanPath(m_strDirPath));
}

void CEntryWriter::noteParentOf(const QString& path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash < 0 ? QStringLiteral(".") : QDir::cleanPath(path.left(slash + 1));
    if (!m_setTouched.contains(folder)) {
        m_setTouched.insert(folder);
        m_listTouched.append(folder);
    }
}

bool CEntryWriter::begin(const QByteArray& rawName, quint32 size)
{
    discard();
    prepareDestination();
    const QString name = QString::fromUtf8(usedName(rawName));
    if (!isSafeEntryName(name)) {
        qDebug() << "refused entry name" << name;
        return false;
    }

    QString relative = name;
    if (size == 0 && relative.endsWith(QLatin1Char('\\'))) {
        // A directory entry. A link standing at its name or on its way is not
        // followed: whatever it points to stays as it is.
        relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
        relative.chop(1);
        if (Comm::leadsThroughLink(m_strDirPath, relative, true)) {
            qDebug() << "refused directory entry at or below a symbolic link:" << m_strDirPath + relative;
            return false;
        }
        if (QDir().mkdir(m_strDirPath + relative))
            noteParentOf(m_strDirPath + relative);
        return true;
    }

    // A name ending in a backslash is taken as it stands, backslashes and all.
    if (!relative.endsWith(QLatin1Char('\\')))
        relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QString path = m_strDirPath + relative;
    if (Comm::leadsThroughLink(m_strDirPath, relative, false)) {
        qDebug() << "refused entry below a symbolic link:" << path;
        return false;
    }
    if (!Comm::createNewFile(m_file, path, QIODevice::WriteOnly)) {
        qDebug() << "cannot create" << path;
        return false;
    }
    noteParentOf(path);
    m_strPath = path;
    m_nRemaining = size;
    return true;
}

bool CEntryWriter::write(const char* data, qint64 size)
{
    if (!m_file.isOpen() || size > m_nRemaining || m_file.write(data, size) != size) {
        qDebug() << "unpacked data missing or not written for" << m_strPath;
        return false;
    }
    m_nRemaining -= size;
    return true;
}

bool CEntryWriter::commit()
{
    if (!m_file.isOpen())
        return true;
    if (m_nRemaining != 0 || !m_file.flush()) {
        qDebug() << "unpacked data missing or not written for" << m_strPath;
        discard();
        return false;
    }
    if (!Comm::syncFile(m_file.handle(), m_strPath)) {
        discard();
        return false;
    }
    m_file.close();
    m_strPath.clear();
    return true;
}

void CEntryWriter::discard()
{
    if (!m_file.isOpen())
        return;
    m_file.close();
    Comm::removeNonDirectory(m_strPath);
    m_strPath.clear();
}

bool CEntryWriter::copyEntry(const QByteArray& rawName, quint32 size, QIODevice& from, QByteArray& buffer)
{
    if (!begin(rawName, size))
        return false;
    if (!m_file.isOpen())
        return true; // a folder
    if (!Comm::copyData(from, m_file, buffer, size)) {
        qDebug() << "unpacked data missing or not written for" << m_strPath;
        discard();
        return false;
    }
    m_nRemaining = 0;
    return commit();
}

bool CEntryWriter::finish()
{
    for (const QString& folder : m_listTouched)
        if (!Comm::syncFolder(folder))
            return false;
    return true;
}
