#ifndef CFILETABLE_H
#define CFILETABLE_H

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QtGlobal>

class QIODevice;

// The file table of a package's content: the entries in order, each a name (UTF-8; a
// backslash or a slash separates folders; a folder's entry is its name ending in a
// backslash with size 0) and the number of bytes it takes of the unpacked stream, the
// entries' contents one after another in table order.
//
// A package stores it with one unused byte per entry and may carry bytes after a zero
// byte in a name, which the unpacker ignores. The canonical form, which the content
// digest (CContentDigest), deltas and kept bases use, leaves both out:
//
//   count         2   number of entries (little-endian, as all numbers here)
//   per entry:    1   n, the name's length in bytes
//                 n   the name, up to (without) its first zero byte
//                 4   the entry's size
class CFileTable
{
public:
    struct Entry
    {
        QByteArray name; // without zero bytes
        quint32 size = 0;
        bool isFolder() const { return size == 0 && name.endsWith('\\'); }
    };

    enum { MaxEntries = 65535, MaxNameLength = 255 };
    // The largest canonical table there can be.
    static const qint64 MaxCanonicalSize = 2 + qint64(MaxEntries) * (1 + MaxNameLength + 4);

    const QVector<Entry>& entries() const { return m_vecEntries; }
    int count() const { return m_vecEntries.size(); }
    // The sum of the entries' sizes (below 2^48: no overflow).
    quint64 total() const { return m_nTotal; }

    // Appends an entry (a name of 1 to 255 bytes without a zero byte).
    void append(const QByteArray& name, quint32 size);

    // Reads a package's file table as stored, from the current position of in, names
    // cut at their first zero byte. False when it is cut short.
    bool readPackageTable(QIODevice& in);

    QByteArray canonical() const;

    // Takes a canonical table from outside (a delta, a kept base): all of bytes must be
    // one table, every name 1 to 255 bytes without a zero byte, below the destination
    // (not absolute, no ".." component), and the sizes together below 4 GiB. False
    // with the reason otherwise.
    bool parseCanonical(const QByteArray& bytes, QString* reason);

private:
    QVector<Entry> m_vecEntries;
    quint64 m_nTotal = 0;
};

#endif // CFILETABLE_H
