#ifndef CCONTENTDIGEST_H
#define CCONTENTDIGEST_H

#include "csha256.h"

#include <QByteArray>
#include <QtGlobal>

class CFileTable;

// The content digest of a package: what it unpacks to, whichever way it came (a full
// package, or a delta applied to an earlier release). It is the SHA-256 of
//
//   the canonical file table (CFileTable: the 16-bit count, then per entry the name's
//   length byte, the name up to its first zero byte and the 32-bit size; the package's
//   unused byte per entry left out), followed by
//   the unpacked stream: the entries' contents in table order, exactly the sum of the
//   table's sizes.
//
// Two packages of the same tree (at any compression preset) have the same content
// digest; a changed byte, name, size or order of the entries changes it. The table
// comes first: it is known before the stream wherever the digest is computed (unpacking
// a package, applying a delta, decoding a kept base).
class CContentDigest
{
public:
    // The table, entry by entry: count first, then each entry's name (as the unpacker
    // uses it: without its first zero byte and what follows) and size.
    void beginTable(int count);
    void addEntry(const QByteArray& name, quint32 size);
    // ... or a whole table at once.
    void addTable(const CFileTable& table);
    // Then the unpacked stream, in pieces.
    void addContent(const char* data, qint64 size);
    // The 32-byte digest; the hasher starts afresh afterwards.
    QByteArray result();

private:
    CSha256 m_sha;
};

#endif // CCONTENTDIGEST_H
