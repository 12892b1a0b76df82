// moravel-key: the publisher's Ed25519 signing key for update replies.
//
//   moravel-key keygen SECRET_FILE     a new key: the secret one into SECRET_FILE (0600,
//                                      never over an existing file), the public one printed
//   moravel-key pubkey SECRET_FILE     prints the public key of SECRET_FILE
//   moravel-key sign SECRET_FILE       prints the signature of stdin (base64)
//   moravel-key verify PUBLIC_KEY SIG  whether SIG (base64) signs stdin; exit 0 or 1
//
// The secret file is text: the line "moravel-update-key ed25519 secret", then the
// standard base64 of the key's 32-byte seed on a line of its own. Blank lines and lines
// starting with "#" after the first are skipped. Keys and signatures are what the
// updater reads (src/trust/ced25519.h): a public key is the base64 of its 32 raw bytes, a
// signature the base64 of its 64 raw bytes.
#include "ced25519.h"

#include <QByteArray>
#include <QList>

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray SecretHeader = "moravel-update-key ed25519 secret";
// A secret file is two short lines; anything much larger is not one.
const qint64 MaxSecretFileBytes = 4096;
// Replies are at most 8 MiB; a message far beyond that is a mistake.
const qint64 MaxMessageBytes = qint64(64) << 20;

class Failure
{
public:
    explicit Failure(QByteArray message) : text(std::move(message)) {}
    QByteArray text;
};

void printUsage(FILE* out)
{
    std::fputs(
        "Usage: moravel-key keygen SECRET_FILE\n"
        "       moravel-key pubkey SECRET_FILE\n"
        "       moravel-key sign SECRET_FILE          < MESSAGE\n"
        "       moravel-key verify PUBLIC_KEY SIGNATURE < MESSAGE\n"
        "\n"
        "The publisher's Ed25519 key that update replies are signed with.\n"
        "\n"
        "  keygen  makes a new key, writes its secret half to SECRET_FILE (created with\n"
        "          mode 0600; an existing file or a symbolic link there is refused) and\n"
        "          prints the public key: the line to build the updater with\n"
        "          (-DMORAVEL_UPDATE_PUBLIC_KEYS=...) or to put into update-keys.pub\n"
        "  pubkey  prints the public key of SECRET_FILE again\n"
        "  sign    prints the signature of the bytes on standard input (base64)\n"
        "  verify  checks that SIGNATURE (base64) signs the bytes on standard input with\n"
        "          PUBLIC_KEY (base64); exit status 0 when it does, 1 when not\n"
        "\n"
        "SECRET_FILE is text: the first line is\n"
        "    moravel-update-key ed25519 secret\n"
        "and the next the standard base64 of the key's 32-byte seed; blank lines and lines\n"
        "starting with # may follow. Anyone who has it can sign updates: keep it off the\n"
        "web server, readable only by you.\n"
        "\n"
        "A public key is the standard base64 of its 32 bytes (44 characters), a signature\n"
        "the standard base64 of its 64 bytes (88 characters).\n"
        "\n"
        "Exit status: 0 on success, 1 on an error (or a signature that does not verify),\n"
        "2 on wrong usage.\n",
        out);
}

QByteArray describeErrno(int err)
{
    return QByteArray(std::strerror(err));
}

// Overwrites a buffer that held secret bytes before it is released.
void wipe(QByteArray& bytes)
{
    if (!bytes.isEmpty())
        OPENSSL_cleanse(bytes.data(), size_t(bytes.size()));
    bytes.clear();
}

// The bytes of text, which must be the one canonical standard base64 spelling of exactly
// `size` bytes; empty otherwise.
QByteArray decodeExactBase64(const QByteArray& text, int size)
{
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(text, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size || decoded.decoded.toBase64() != text)
        return QByteArray();
    return decoded.decoded;
}

QByteArray trimmedLine(QByteArray line)
{
    while (!line.isEmpty() && (line.endsWith(' ') || line.endsWith('\t') || line.endsWith('\r')))
        line.chop(1);
    return line;
}

// Reads everything from fd, at most `limit` bytes; what is more is an error.
QByteArray readAll(int fd, qint64 limit, const QByteArray& what)
{
    QByteArray data;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw Failure(what + ": cannot read: " + describeErrno(errno));
        }
        if (n == 0)
            return data;
        if (qint64(data.size()) + qint64(n) > limit)
            throw Failure(what + ": more than " + QByteArray::number(limit) + " bytes");
        data.append(buffer, int(n));
    }
}

// The text of the secret file at path: a regular file, no larger than a secret file can be.
QByteArray readSecretFile(const QByteArray& path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw Failure(path + ": cannot open the secret key: " + describeErrno(errno));
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw Failure(path + ": not a regular file, so not a secret key file");
    }
    if (st.st_mode & 0077)
        std::fprintf(stderr,
                     "moravel-key: warning: %s can be read or changed by others than its owner "
                     "(chmod 600 it)\n",
                     path.constData());
    if (st.st_size > MaxSecretFileBytes) {
        ::close(fd);
        throw Failure(path + ": too large to be a secret key file");
    }
    QByteArray text;
    try {
        text = readAll(fd, MaxSecretFileBytes, path);
    } catch (const Failure&) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return text;
}

// The seed of a secret file's text, which is wiped whatever happens.
QByteArray seedOf(QByteArray& text, const QByteArray& path)
{
    const QList<QByteArray> lines = text.split('\n');
    QByteArray seed;
    bool header = false;
    bool seenKey = false;
    int number = 0;
    for (const QByteArray& raw : lines) {
        ++number;
        const QByteArray line = trimmedLine(raw);
        if (!header) {
            if (line != SecretHeader) {
                wipe(text);
                throw Failure(path + ": not a secret key file (its first line must be \"" + SecretHeader + "\")");
            }
            header = true;
            continue;
        }
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (seenKey) {
            wipe(text);
            throw Failure(path + ": line " + QByteArray::number(number) + ": one key only, nothing else");
        }
        seed = decodeExactBase64(line, CEd25519::KeySize);
        if (seed.isEmpty()) {
            wipe(text);
            throw Failure(path + ": line " + QByteArray::number(number)
                          + ": the key must be the base64 of 32 bytes (44 characters)");
        }
        seenKey = true;
    }
    wipe(text);
    if (!seenKey)
        throw Failure(path + ": the secret key file holds no key");
    return seed;
}

// The 32-byte seed kept in the secret file at path.
QByteArray readSecret(const QByteArray& path)
{
    QByteArray text = readSecretFile(path);
    return seedOf(text, path);
}

void writeAll(int fd, const QByteArray& data, const QByteArray& path)
{
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw Failure(path + ": cannot write: " + describeErrno(errno));
        }
        done += n;
    }
}

void printPublicKey(const QByteArray& publicKey)
{
    std::printf("%s\n", CEd25519::toBase64(publicKey).toLatin1().constData());
}

int keygen(const QByteArray& path)
{
    // Created here and nowhere else: never over an existing file, never through a link
    // (O_EXCL refuses a link even when it dangles), readable by the owner alone.
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int err = errno;
        struct stat st;
        if (err == EEXIST && lstat(path.constData(), &st) == 0 && S_ISLNK(st.st_mode))
            throw Failure(path + ": is a symbolic link; the secret key is not written through it");
        if (err == EEXIST)
            throw Failure(path + ": exists; a key file is never overwritten (choose another name)");
        throw Failure(path + ": cannot create: " + describeErrno(err));
    }
    QByteArray secret;
    QByteArray publicKey;
    QByteArray text;
    bool stillOpen = true;
    try {
        if (fchmod(fd, 0600) != 0)
            throw Failure(path + ": cannot make it private: " + describeErrno(errno));
        if (!CEd25519::generate(&secret, &publicKey))
            throw Failure("no key could be made (libcrypto has no random source?)");
        text = SecretHeader + '\n' + secret.toBase64() + '\n';
        writeAll(fd, text, path);
        if (fsync(fd) != 0)
            throw Failure(path + ": cannot write: " + describeErrno(errno));
        stillOpen = false;
        if (::close(fd) != 0)
            throw Failure(path + ": cannot write: " + describeErrno(errno));
    } catch (const Failure&) {
        if (stillOpen)
            ::close(fd);
        ::unlink(path.constData());
        wipe(secret);
        wipe(text);
        throw;
    }
    wipe(secret);
    wipe(text);
    printPublicKey(publicKey);
    return 0;
}

int pubkey(const QByteArray& path)
{
    QByteArray seed = readSecret(path);
    const QByteArray publicKey = CEd25519::publicKeyOf(seed);
    wipe(seed);
    if (publicKey.isEmpty())
        throw Failure(path + ": libcrypto does not take this key");
    printPublicKey(publicKey);
    return 0;
}

int sign(const QByteArray& path)
{
    QByteArray seed = readSecret(path);
    const QByteArray message = readAll(STDIN_FILENO, MaxMessageBytes, "standard input");
    const QByteArray signature = CEd25519::sign(message, seed);
    wipe(seed);
    if (signature.isEmpty())
        throw Failure("libcrypto could not sign with " + path);
    std::printf("%s\n", signature.toBase64().constData());
    return 0;
}

int verify(const QByteArray& publicKeyText, const QByteArray& signatureText)
{
    const QByteArray publicKey = CEd25519::publicKeyFromBase64(QString::fromLatin1(publicKeyText));
    if (publicKey.isEmpty())
        throw Failure("not a public key (the base64 of 32 bytes, 44 characters): " + publicKeyText.left(100));
    const QByteArray signature = decodeExactBase64(signatureText.trimmed(), CEd25519::SignatureSize);
    if (signature.isEmpty())
        throw Failure("not a signature (the base64 of 64 bytes, 88 characters): " + signatureText.left(100));
    const QByteArray message = readAll(STDIN_FILENO, MaxMessageBytes, "standard input");
    if (!CEd25519::verify(message, signature, publicKey)) {
        std::fprintf(stderr, "moravel-key: the signature does not verify with this key\n");
        return 1;
    }
    std::printf("the signature is valid\n");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QList<QByteArray> args;
    for (int i = 1; i < argc; ++i)
        args.append(QByteArray(argv[i]));
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
        printUsage(stdout);
        return 0;
    }
    const QByteArray command = args.isEmpty() ? QByteArray() : args.takeFirst();
    const bool oneFile = command == "keygen" || command == "pubkey" || command == "sign";
    const bool known = oneFile || command == "verify";
    if (!known || args.size() != (oneFile ? 1 : 2)) {
        if (command.isEmpty())
            std::fprintf(stderr, "moravel-key: a command is missing\n");
        else if (!known)
            std::fprintf(stderr, "moravel-key: unknown command %s\n", command.constData());
        else
            std::fprintf(stderr, "moravel-key: %s takes %s\n", command.constData(),
                         oneFile ? "SECRET_FILE" : "PUBLIC_KEY and SIGNATURE");
        printUsage(stderr);
        return 2;
    }
    for (const QByteArray& arg : args) {
        if (arg.isEmpty()) {
            std::fprintf(stderr, "moravel-key: an empty argument\n");
            return 2;
        }
    }
    try {
        if (command == "keygen")
            return keygen(args[0]);
        if (command == "pubkey")
            return pubkey(args[0]);
        if (command == "sign")
            return sign(args[0]);
        return verify(args[0], args[1]);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "moravel-key: %s\n", failure.text.constData());
        return 1;
    }
}
