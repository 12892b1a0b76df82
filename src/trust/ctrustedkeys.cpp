#include "ctrustedkeys.h"

#include "ced25519.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QTextCodec>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef MORAVEL_UPDATE_PUBLIC_KEYS
#define MORAVEL_UPDATE_PUBLIC_KEYS ""
#endif

namespace {

// A key file is a few lines; anything much larger is not one.
const qint64 kMaxKeyFileBytes = 64 * 1024;

enum class KeyFile { Absent, Read, Unreadable };

// The bytes of the key file at path, or why it cannot be had ("cannot be read: ...",
// "is over ... bytes"). Anything at the name counts as present, a dangling link too;
// only a regular file is read. The file is opened without blocking, so a FIFO put there
// is refused instead of waiting for a writer.
KeyFile readKeyFile(const QString& path, QByteArray* bytes, QString* why)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::lstat(name.constData(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR))
        return KeyFile::Absent;
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = QStringLiteral("cannot be read: ") + qt_error_string(errno);
        return KeyFile::Unreadable;
    }
    QString refusal;
    if (::fstat(fd, &st) != 0)
        refusal = qt_error_string(errno);
    else if (!S_ISREG(st.st_mode))
        refusal = S_ISDIR(st.st_mode) ? qt_error_string(EISDIR) : QStringLiteral("not a regular file");
    QFile file;
    if (refusal.isEmpty() && !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        refusal = file.errorString();
    if (!refusal.isEmpty()) {
        if (!file.isOpen())
            ::close(fd);
        *why = QStringLiteral("cannot be read: ") + refusal;
        return KeyFile::Unreadable;
    }
    // One byte over the limit is read, so a file that grew since fstat is caught too.
    if (qint64(st.st_size) <= kMaxKeyFileBytes) {
        *bytes = file.read(kMaxKeyFileBytes + 1);
        if (file.error() != QFileDevice::NoError) {
            *why = QStringLiteral("cannot be read: ") + file.errorString();
            return KeyFile::Unreadable;
        }
    }
    if (qint64(st.st_size) > kMaxKeyFileBytes || bytes->size() > kMaxKeyFileBytes) {
        *why = QStringLiteral("is over %1 bytes").arg(kMaxKeyFileBytes);
        return KeyFile::Unreadable;
    }
    return KeyFile::Read;
}

// The text of a key file: UTF-8 without NUL characters (a UTF-16 file of ASCII text is
// full of them), with a leading byte-order mark left out. False for anything else.
bool decodeUtf8(const QByteArray& bytes, QString* text)
{
    const QByteArray body = bytes.startsWith("\xEF\xBB\xBF") ? bytes.mid(3) : bytes;
    if (body.contains('\0'))
        return false;
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    *text = QTextCodec::codecForName("UTF-8")->toUnicode(body.constData(), body.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

} // namespace

QString CTrustedKeys::builtIn()
{
    return QString::fromLatin1(MORAVEL_UPDATE_PUBLIC_KEYS);
}

QList<QByteArray> CTrustedKeys::parse(const QString& text, QChar separator, const QString& origin)
{
    const char* unit = separator == QLatin1Char('\n') ? "line" : "item";
    QList<QByteArray> keys;
    const QStringList items = text.split(separator);
    for (int i = 0; i < items.size(); ++i) {
        const QString line = items.at(i).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        // The key ends at the first white space; a comment may follow.
        int end = 0;
        while (end < line.size() && !line.at(end).isSpace())
            ++end;
        const QString rest = line.mid(end).trimmed();
        QString why;
        QByteArray raw;
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char('#')))
            why = QStringLiteral("text after the key that is no \"#\" comment");
        else
            raw = CEd25519::publicKeyFromBase64(line.left(end), &why);
        if (raw.isEmpty()) {
            QDebug log = qDebug().noquote().nospace();
            log << origin << ' ' << unit << ' ' << (i + 1) << ": not a valid key: " << why << ": ";
            log.quote() << line.left(60);
            continue;
        }
        if (!keys.contains(raw))
            keys.append(raw);
    }
    return keys;
}

CTrustedKeys::KeySet CTrustedKeys::load(const QString& dir)
{
    KeySet set;
    const QString list = builtIn();
    if (!list.trimmed().isEmpty()) {
        set.required = true;
        set.keys = parse(list, QLatin1Char(','), QStringLiteral("the build's key list"));
        if (set.keys.isEmpty())
            qDebug() << "the build's key list holds no valid key";
    }

    const QString folder = dir.isEmpty() ? QCoreApplication::applicationDirPath() : dir;
    const QString path = folder + QStringLiteral("/update-keys.pub");
    const QString origin = QStringLiteral("update key file \"%1\"").arg(path);
    QByteArray bytes;
    QString why;
    switch (readKeyFile(path, &bytes, &why)) {
    case KeyFile::Absent:
        break;
    case KeyFile::Unreadable:
        set.required = true;
        qDebug().noquote() << origin << why;
        break;
    case KeyFile::Read: {
        set.required = true;
        QString text;
        if (!decodeUtf8(bytes, &text)) {
            qDebug().noquote() << origin << "is not UTF-8 text";
            break;
        }
        const QList<QByteArray> fromFile = parse(text, QLatin1Char('\n'), origin);
        if (fromFile.isEmpty())
            qDebug().noquote() << origin << "holds no valid key";
        for (const QByteArray& key : fromFile)
            if (!set.keys.contains(key))
                set.keys.append(key);
        break;
    }
    }

    if (set.required && set.keys.isEmpty())
        qDebug() << "no valid update key could be loaded: every reply is refused";
    return set;
}
