#include "cissuedrecord.h"

#include "csignedreply.h"
#include "statefiles.h"

#include <QDebug>
#include <QFile>
#include <QList>
#include <QUrl>

#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A few products at most; anything much larger is not this file.
const qint64 kMaxRecordBytes = 64 * 1024;

// One line of the record.
struct Entry
{
    bool common;       // a time alone: it stands for every product without a line
    QString product;
    qint64 issued;
};
using Entries = QList<Entry>;

Entries readEntries()
{
    Entries entries;
    // Opened where it stands (never through a link) and without waiting (a FIFO there
    // must not hold the run), and read only when it is a regular file.
    const int fd = ::open(QFile::encodeName(CIssuedRecord::path()).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd < 0)
        return entries;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        qDebug() << "the newest accepted time is not read, it is no regular file:" << CIssuedRecord::path();
        ::close(fd);
        return entries;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return entries;
    }
    const QList<QByteArray> lines = file.read(kMaxRecordBytes).split('\n');
    for (const QByteArray& raw : lines) {
        const QByteArray line = raw.trimmed();
        const int tab = raw.indexOf('\t');
        const QByteArray time = tab < 0 ? line : raw.left(tab).trimmed();
        qint64 issued = 0;
        if (!CSignedReply::parseUtcTime(QString::fromLatin1(time), &issued))
            continue;
        const QString product = tab < 0 ? QString() : QUrl::fromPercentEncoding(raw.mid(tab + 1).trimmed());
        entries.append(Entry { tab < 0, product, issued });
    }
    return entries;
}

} // namespace

QString CIssuedRecord::path()
{
    return Comm::stateFilePath(QStringLiteral("newest-issued"));
}

bool CIssuedRecord::read(const QString& product, qint64* issued)
{
    std::optional<qint64> own;
    std::optional<qint64> common;
    for (const Entry& entry : readEntries()) {
        std::optional<qint64>* slot = entry.common ? &common : entry.product == product ? &own : nullptr;
        if (slot && (!*slot || entry.issued > **slot))
            *slot = entry.issued;
    }
    const std::optional<qint64> found = own ? own : common;
    if (!found)
        return false;
    if (issued)
        *issued = *found;
    return true;
}

bool CIssuedRecord::write(const QString& product, qint64 issued)
{
    // The other products' lines (and a line with a time alone) stay as they are.
    QByteArray text;
    for (const Entry& entry : readEntries()) {
        if (!entry.common && entry.product == product)
            continue;
        text += CSignedReply::formatUtcTime(entry.issued).toLatin1();
        if (!entry.common)
            text += '\t' + QUrl::toPercentEncoding(entry.product);
        text += '\n';
    }
    text += CSignedReply::formatUtcTime(issued).toLatin1() + '\t' + QUrl::toPercentEncoding(product) + '\n';
    return Comm::writeStateFile(QStringLiteral("newest-issued"), text, "the newest accepted time");
}
