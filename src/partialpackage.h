#ifndef PARTIALPACKAGE_H
#define PARTIALPACKAGE_H

#include <QByteArray>
#include <QString>

#include "cworkingfolder.h"

// A package the download window has not finished: its bytes so far in NAME.part beside
// where NAME will stand, and a small record NAME.part.info of what they are (the
// address, the package's sha256, the validator and the whole size of the answer that
// began the file), so that a later try, in this run or the next, can continue them
// with If-Range. Both are in the working folder, which others may write to: the record
// is read only when it is a regular file of its own reached without a link and of at
// most kMaxRecordBytes, and the .part is continued only under the same rules.
class PartialPackage
{
public:
    explicit PartialPackage(const QString& finalPath);

    QString finalPath() const { return m_strFinal; }
    QString partPath() const { return CWorkingFolder::partFile(m_strFinal); }
    QString recordPath() const { return CWorkingFolder::recordFile(m_strFinal); }

    // The bytes of NAME.part that a download of url whose sha256 is sha256 may continue
    // from, with the validator and total of its record; 0 when there are none to
    // continue (no sha256, no usable .part or record, another address or hash, a
    // .part not shorter than its total), and then both files are removed. Each
    // decision is logged.
    qint64 resumableBytes(const QString& url, const QString& sha256);
    QByteArray validator() const { return m_validator; }
    qint64 total() const { return m_nTotal; }

    // Writes the record for the .part as it stands (replacing an older one) and syncs it
    // and its folder to disk; false (no record left) when it cannot be written or synced.
    bool keep(const QString& url, const QString& sha256, const QByteArray& validator, qint64 total);
    // Removes the .part and its record.
    void discard();
    // The .part is complete and checked: it becomes NAME (whatever non-directory stood
    // there is replaced) and the record goes. False (logged) when it cannot be renamed.
    bool complete();

    static const qint64 kMaxRecordBytes = 4096;

private:
    QString m_strFinal;
    QByteArray m_validator;
    qint64 m_nTotal;
};

#endif // PARTIALPACKAGE_H
