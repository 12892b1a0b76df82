#include "cinstallationid.h"

#include "statefiles.h"

#include <QDebug>

#include <cerrno>
#include <cstring>

#include <sys/random.h>

namespace {

const QString kName = QStringLiteral("installation-id");
const int kBytes = 16;

// kBytes from the kernel's random source; empty when it cannot give them.
QByteArray randomIdentifier()
{
    QByteArray bytes(kBytes, '\0');
    int filled = 0;
    while (filled < kBytes) {
        const ssize_t got = ::getrandom(bytes.data() + filled, size_t(kBytes - filled), 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            qDebug() << "no random installation identifier:" << std::strerror(errno);
            return QByteArray();
        }
        filled += int(got);
    }
    return bytes;
}

} // namespace

QString CInstallationId::path()
{
    return Comm::stateFilePath(kName);
}

QByteArray CInstallationId::format(const QByteArray& identifier)
{
    return identifier.toHex() + '\n';
}

QByteArray CInstallationId::get()
{
    QByteArray kept;
    if (Comm::readStateFile(kName, 2 * kBytes + 1, &kept)) {
        const QByteArray digits = kept.left(2 * kBytes);
        const QByteArray identifier = QByteArray::fromHex(digits);
        // Only the exact form counts: fromHex skips what is not a digit.
        if (identifier.size() == kBytes && format(identifier) == kept)
            return identifier;
    }

    const QByteArray made = randomIdentifier();
    if (made.isEmpty() || !Comm::writeStateFile(kName, format(made), "the installation identifier"))
        return QByteArray();
    qDebug() << "a new installation identifier was made:" << path();
    return made;
}
