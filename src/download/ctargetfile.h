#ifndef CTARGETFILE_H
#define CTARGETFILE_H

#include <QString>

#include <memory>

class QFile;

// The file a transfer writes, never through a link or a file planted at its path.
//
// Opened afresh, whatever non-directory stands at the path is removed and a new file
// is created exclusively, without following a link. Continued, an existing file is
// opened only if it is reached without a link, is a regular file known under no other
// name (one link) and holds at least the bytes kept; it is cut to them and written
// after them. At the end intact() says whether the path still names the file opened,
// holding every byte written to it.
//
// Writes are unbuffered, so that a failing write (disk full, size limit) shows at once.
// A write, cut, sync or close that fails marks the file failed() until it is opened
// again.
class CTargetFile
{
public:
    CTargetFile();
    ~CTargetFile();

    // Removes what stands at path unless it is a directory (a link is removed as a
    // link); true when nothing of the kind is left.
    static bool clearPath(const QString& path);

    // Opens path for a transfer: afresh when keep is 0 or less, else continuing the
    // partial file after its first keep bytes. False when it cannot be opened that way.
    bool open(const QString& path, qint64 keep);
    bool isOpen() const;
    // Writes size bytes; false (and failed()) when not all of them reached the file or
    // it is not open.
    bool write(const char* data, qint64 size);
    // The server sends the whole file after all: cut to nothing, written from byte 0.
    bool startOver();
    // Syncs what was written to the disk (Comm::syncFile).
    bool sync();
    void close();
    void markFailed() { m_bFailed = true; }
    bool failed() const { return m_bFailed; }
    // The path still names, without a link, the regular file opened, and it holds the
    // bytes kept and every byte written.
    bool intact() const;
    qint64 bytesWritten() const { return m_nBytesWritten; }
    QString errorString() const;

private:
    std::unique_ptr<QFile> m_pFile;
    QString m_strPath;
    quint64 m_nDevice;       // identity of the file opened
    quint64 m_nInode;
    qint64 m_nStartSize;     // its size when opened
    qint64 m_nBytesWritten;  // bytes written since
    bool m_bFailed;
};

#endif // CTARGETFILE_H
