#include "partialpackage.h"

#include "safefiles.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QList>


namespace {

// The record's first line names its form; the lines after it are the address, the
// sha256, the total and the validator.
const QByteArray kRecordTag = QByteArrayLiteral("moravel-partial-download 1");

} // namespace

PartialPackage::PartialPackage(const QString& finalPath)
    : m_strFinal(finalPath)
    , m_nTotal(0)
{
}

qint64 PartialPackage::resumableBytes(const QString& url, const QString& sha256)
{
    m_validator.clear();
    m_nTotal = 0;
    const QString partName = QFileInfo(partPath()).fileName();
    const qint64 size = Comm::regularFileSize(partPath());
    const auto startOver = [&](const char* why) {
        if (size >= 0 || QFileInfo(recordPath()).exists() || QFileInfo(recordPath()).isSymLink())
            qDebug().noquote() << partName + QStringLiteral(" is not continued, starting over: ") + QLatin1String(why);
        discard();
        return qint64(0);
    };
    if (sha256.isEmpty())
        return startOver("the package has no sha256");
    if (size <= 0)
        return startOver("no usable partial file");
    QByteArray data;
    if (!Comm::readSmallFile(recordPath(), kMaxRecordBytes, &data))
        return startOver("no usable record beside it");
    const QList<QByteArray> lines = data.split('\n');
    bool isNumber = false;
    const qint64 total = lines.size() >= 5 ? lines.at(3).toLongLong(&isNumber) : 0;
    if (lines.size() < 5 || lines.at(0) != kRecordTag || !isNumber || total < 0)
        return startOver("its record is not readable");
    if (QString::fromUtf8(lines.at(1)) != url || QString::fromLatin1(lines.at(2)) != sha256)
        return startOver("it is of another address or package");
    if (total > 0 && size >= total)
        return startOver("it is not shorter than the whole file");
    // The validator goes back into a request header: a short line of visible characters.
    const QByteArray validator = lines.at(4);
    for (const char c : validator) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e || validator.size() > 200)
            return startOver("its record is not readable");
    }
    m_validator = validator;
    m_nTotal = total;
    return size;
}

bool PartialPackage::keep(const QString& url, const QString& sha256, const QByteArray& validator, qint64 total)
{
    QByteArray data = kRecordTag + '\n' + url.toUtf8() + '\n' + sha256.toLatin1() + '\n'
        + QByteArray::number(total > 0 ? total : 0) + '\n' + validator + '\n';
    QFile file;
    if (data.size() > kMaxRecordBytes || !Comm::createNewFile(file, recordPath(), QIODevice::WriteOnly)) {
        Comm::removeNonDirectory(recordPath());
        return false;
    }
    // On the disk, name and all, before the .part it describes grows: a record that a
    // power cut cut short is not readable and only makes the next run start over.
    const bool written = file.write(data) == data.size() && file.flush() && Comm::syncFile(file.handle(), recordPath());
    file.close();
    if (!written || !Comm::syncParentFolder(recordPath())) {
        Comm::removeNonDirectory(recordPath());
        return false;
    }
    return true;
}

void PartialPackage::discard()
{
    Comm::removeNonDirectory(partPath());
    Comm::removeNonDirectory(recordPath());
}

bool PartialPackage::complete()
{
    Comm::removeNonDirectory(recordPath());
    // rename() replaces whatever entry stands at the final name without following it;
    // only a directory there would stop it, and that is removed by nobody here.
    // The folder is synced after the rename, so the package keeps its name after a
    // power cut.
    if (!Comm::removeNonDirectory(m_strFinal) || !Comm::renameAndSync(partPath(), m_strFinal)) {
        qDebug() << "the downloaded package cannot be put in place:" << m_strFinal;
        Comm::removeNonDirectory(partPath());
        return false;
    }
    return true;
}
