// mkpackage: writes an update package from a directory tree.
//
// The package layout is that of src/package/packageformat.h. mkpackage writes the real
// unpacked size into the LZMA part's header, separates the folders of a name with
// backslashes and ends a directory's name with one, and writes 0 into every header
// byte that is not read. Directories come before the entries inside them; the entries
// of a directory are sorted by their names' bytes, so the same tree always gives the
// same package.
//
// It also makes and checks deltas between two releases of a package (src/delta/):
// --delta, --apply-delta and --content-sha256.
#include "cbasecontent.h"
#include "cdeltaapplier.h"
#include "cdeltamaker.h"
#include "packageformat.h"
#include "zrcrc32.h"

#include <QByteArray>
#include <QFile>
#include <QSaveFile>
#include <QString>
#include <QVector>

#include <lzma.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using PackageFormat::HeaderSize;
using PackageFormat::LzmaHeaderSize;
const int MaxNameLength = 255;
const int MaxEntries = 65535;
const quint64 MaxSize32 = 0xFFFFFFFFu;
const qint64 ChunkSize = 1 << 20;
const quint64 ProgressThreshold = 32u << 20; // show a progress bar from 32 MiB on

volatile sig_atomic_t interrupted = 0;

void onSignal(int)
{
    interrupted = 1;
}

struct Entry
{
    QByteArray name;     // as stored in the package
    QByteArray diskPath; // as given to the file system
    quint64 size = 0;
    bool isDir = false;
};

void printUsage(FILE* out)
{
    std::fputs(
        "Usage: mkpackage [-0..-9] SOURCE_DIR OUTPUT_FILE\n"
        "       mkpackage --delta [-0..-9] OLD_PACKAGE NEW_PACKAGE OUTPUT_DELTA\n"
        "       mkpackage --apply-delta BASE DELTA [OUTPUT_DIR]\n"
        "       mkpackage --content-sha256 PACKAGE\n"
        "\n"
        "Writes the files and directories below SOURCE_DIR into the update package\n"
        "OUTPUT_FILE (replaced if it exists; never left half-written).\n"
        "\n"
        "--delta writes the delta that turns the content of OLD_PACKAGE into that of\n"
        "NEW_PACKAGE (each a package, or a base an updater keeps) to OUTPUT_DELTA: each\n"
        "file of the new release copied, patched with zstd from the old file of the same\n"
        "name (or of the same name but its digits), or stored whole with LZMA, whichever\n"
        "is smallest. The delta is checked by applying it before it replaces OUTPUT_DELTA.\n"
        "It prints the delta's size, what it holds and the two content digests.\n"
        "--apply-delta applies DELTA to BASE as an updater does, writes the files below\n"
        "OUTPUT_DIR when it is given, and prints the content digest it produced.\n"
        "--content-sha256 prints the content digest of a package (or kept base): the\n"
        "SHA-256 of its file table and its unpacked files, the same for every package of\n"
        "the same tree and for the content a delta rebuilt.\n"
        "\n"
        "Options:\n"
        "  -0 .. -9    LZMA compression preset (default 6; higher is smaller and slower;\n"
        "              with --delta, of the files stored whole: default 9)\n"
        "  -h, --help  show this help and exit\n"
        "\n"
        "Limits of the package format, refused with an error:\n"
        "  a path of more than 255 bytes (relative, with backslash separators),\n"
        "  more than 65535 files and directories, a file of 4 GiB or more,\n"
        "  more than 4 GiB - 1 bytes in all, names that are not UTF-8 or contain a\n"
        "  backslash, symbolic links and special files (devices, pipes, sockets).\n"
        "\n"
        "Exit status: 0 on success, 1 on an error, 2 on wrong usage.\n",
        out);
}

class Failure
{
public:
    explicit Failure(QByteArray message) : text(std::move(message)) {}
    QByteArray text;
};

QByteArray describeErrno(int err)
{
    return QByteArray(std::strerror(err));
}

// Qt's message for a failed write is often just "Unknown error"; the system's is better.
QByteArray describeWriteError(const QFileDevice& file)
{
    const int err = errno;
    return err ? describeErrno(err) : file.errorString().toLocal8Bit();
}

bool isValidUtf8(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

// Walks the tree below `dir`, appending its entries in package order.
void scan(const QByteArray& dir, const QByteArray& prefix, QVector<Entry>& entries, quint64& total)
{
    DIR* d = opendir(dir.constData());
    if (!d)
        throw Failure(dir + ": cannot read the directory: " + describeErrno(errno));
    QVector<QByteArray> names;
    errno = 0;
    while (dirent* e = readdir(d)) {
        const QByteArray name(e->d_name);
        if (name != "." && name != "..")
            names.append(name);
        errno = 0;
    }
    const int readError = errno;
    closedir(d);
    if (readError)
        throw Failure(dir + ": cannot read the directory: " + describeErrno(readError));
    std::sort(names.begin(), names.end());

    for (const QByteArray& name : names) {
        const QByteArray diskPath = dir + '/' + name;
        if (name.contains('\\'))
            throw Failure(diskPath + ": the name contains a backslash, which packages use as the directory separator");
        if (!isValidUtf8(name))
            throw Failure(diskPath + ": the name is not valid UTF-8");
        struct stat st;
        if (lstat(diskPath.constData(), &st) != 0)
            throw Failure(diskPath + ": " + describeErrno(errno));

        Entry entry;
        entry.diskPath = diskPath;
        if (S_ISDIR(st.st_mode)) {
            entry.isDir = true;
            entry.name = prefix + name + '\\';
        } else if (S_ISREG(st.st_mode)) {
            entry.name = prefix + name;
            entry.size = quint64(st.st_size);
            if (entry.size > MaxSize32)
                throw Failure(diskPath + ": the file is 4 GiB or larger, more than a package entry can hold");
        } else if (S_ISLNK(st.st_mode)) {
            throw Failure(diskPath + ": symbolic links cannot be packed");
        } else {
            throw Failure(diskPath + ": special files (devices, pipes, sockets) cannot be packed");
        }
        if (entry.name.size() > MaxNameLength)
            throw Failure(diskPath + ": the path in the package would be " + QByteArray::number(entry.name.size())
                          + " bytes long; at most 255 are possible");
        if (entries.size() >= MaxEntries)
            throw Failure(dir + ": more than 65535 files and directories; a package holds at most 65535");
        total += entry.size;
        if (total > MaxSize32)
            throw Failure("the files add up to more than 4 GiB - 1 bytes, more than a package can describe");
        entries.append(entry);
        if (entry.isDir)
            scan(diskPath, entry.name, entries, total);
    }
}

QByteArray canonical(const QByteArray& path)
{
    char* resolved = realpath(path.constData(), nullptr);
    if (!resolved)
        return QByteArray();
    QByteArray result(resolved);
    std::free(resolved);
    return result;
}

QByteArray parentOf(const QByteArray& path)
{
    const int slash = path.lastIndexOf('/');
    if (slash < 0)
        return ".";
    if (slash == 0)
        return "/";
    return path.left(slash);
}

void appendLe32(QByteArray& out, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        out.append(char(v >> (8 * i)));
}

class ProgressBar
{
public:
    explicit ProgressBar(quint64 total)
        : m_total(total), m_enabled(total >= ProgressThreshold && isatty(STDERR_FILENO))
    {
    }
    ~ProgressBar() { finish(); }

    void advance(quint64 bytes)
    {
        m_done += bytes;
        if (!m_enabled)
            return;
        const int percent = int(m_done * 100 / m_total);
        if (percent == m_shown)
            return;
        m_shown = percent;
        char bar[41];
        const int filled = percent * 40 / 100;
        for (int i = 0; i < 40; ++i)
            bar[i] = i < filled ? '#' : '.';
        bar[40] = 0;
        std::fprintf(stderr, "\r[%s] %3d%%  %llu / %llu MiB", bar, percent,
                     static_cast<unsigned long long>(m_done >> 20), static_cast<unsigned long long>(m_total >> 20));
        std::fflush(stderr);
    }

    void finish()
    {
        if (m_enabled && m_shown >= 0)
            std::fputc('\n', stderr);
        m_enabled = false;
    }

private:
    quint64 m_total;
    quint64 m_done = 0;
    bool m_enabled;
    int m_shown = -1;
};

// Writes the package payload: everything after the header goes through here so that
// the CRC covers it; the unpacked size is set in the LZMA header on the way.
class PayloadWriter
{
public:
    PayloadWriter(QSaveFile& out, quint64 unpackedSize) : m_out(out), m_unpackedSize(unpackedSize) {}

    void writeLzma(uint8_t* data, size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            const quint64 at = m_lzmaBytes + i;
            if (at >= PackageFormat::LzmaUnpackedSizeOffset && at < LzmaHeaderSize)
                data[i] = uint8_t(m_unpackedSize >> (8 * (at - PackageFormat::LzmaUnpackedSizeOffset)));
        }
        m_lzmaBytes += n;
        write(reinterpret_cast<const char*>(data), n);
    }

    void write(const char* data, size_t n)
    {
        m_crc = CZR_Crc32::Update(m_crc, reinterpret_cast<const unsigned char*>(data), n, PackageFormat::CrcPolynomial);
        errno = 0;
        if (m_out.write(data, qint64(n)) != qint64(n))
            throw Failure(QFile::encodeName(m_out.fileName()) + ": cannot write: " + describeWriteError(m_out));
    }

    quint64 lzmaBytes() const { return m_lzmaBytes; }
    quint32 crc() const { return m_crc; }

private:
    QSaveFile& m_out;
    quint64 m_unpackedSize;
    quint64 m_lzmaBytes = 0;
    quint32 m_crc = 0;
};

void checkInterrupted()
{
    if (interrupted)
        throw Failure("interrupted");
}

void encode(lzma_stream& strm, lzma_action action, PayloadWriter& writer, QByteArray& outBuffer)
{
    for (;;) {
        checkInterrupted();
        strm.next_out = reinterpret_cast<uint8_t*>(outBuffer.data());
        strm.avail_out = size_t(outBuffer.size());
        const lzma_ret ret = lzma_code(&strm, action);
        const size_t produced = size_t(outBuffer.size()) - strm.avail_out;
        if (produced)
            writer.writeLzma(reinterpret_cast<uint8_t*>(outBuffer.data()), produced);
        if (ret == LZMA_STREAM_END)
            return;
        if (ret != LZMA_OK)
            throw Failure("LZMA compression failed (liblzma code " + QByteArray::number(int(ret)) + ")");
        if (action == LZMA_RUN && strm.avail_in == 0)
            return;
    }
}

// Feeds the file of entry through the encoder; it must keep the size it was scanned with.
void compressFile(const Entry& entry, lzma_stream& strm, PayloadWriter& writer, ProgressBar& progress,
                  QByteArray& inBuffer, QByteArray& outBuffer)
{
    QFile file(QFile::decodeName(entry.diskPath));
    if (!file.open(QIODevice::ReadOnly))
        throw Failure(entry.diskPath + ": cannot open: " + file.errorString().toLocal8Bit());
    quint64 remaining = entry.size;
    for (;;) {
        checkInterrupted();
        const qint64 n = file.read(inBuffer.data(), inBuffer.size());
        if (n < 0)
            throw Failure(entry.diskPath + ": cannot read: " + file.errorString().toLocal8Bit());
        if (n == 0)
            break;
        if (quint64(n) > remaining)
            throw Failure(entry.diskPath + ": the file grew while it was being packed");
        remaining -= quint64(n);
        strm.next_in = reinterpret_cast<const uint8_t*>(inBuffer.constData());
        strm.avail_in = size_t(n);
        encode(strm, LZMA_RUN, writer, outBuffer);
        progress.advance(quint64(n));
    }
    if (remaining != 0)
        throw Failure(entry.diskPath + ": the file shrank while it was being packed");
}

// The package's file table: the count, then per entry its name and size.
QByteArray fileTable(const QVector<Entry>& entries)
{
    QByteArray table;
    table.append(char(entries.size() & 0xff));
    table.append(char(entries.size() >> 8));
    for (const Entry& entry : entries) {
        table.append(char(entry.name.size()));
        table.append('\0');
        table.append(entry.name);
        appendLe32(table, quint32(entry.size));
    }
    return table;
}

// The package's header once everything after it is written.
QByteArray packageHeader(const PayloadWriter& writer)
{
    QByteArray header(HeaderSize, '\0');
    const auto putField = [&header](int offset, quint32 value) {
        QByteArray field;
        appendLe32(field, value);
        header.replace(offset, field.size(), field);
    };
    putField(PackageFormat::MagicOffset, PackageFormat::Magic);
    putField(PackageFormat::CrcOffset, writer.crc());
    putField(PackageFormat::LzmaSizeOffset, quint32(writer.lzmaBytes()));
    return header;
}

void writePackage(const QVector<Entry>& entries, quint64 total, const QByteArray& outputPath, uint32_t preset)
{
    QSaveFile out(QFile::decodeName(outputPath));
    if (!out.open(QIODevice::WriteOnly))
        throw Failure(outputPath + ": cannot create: " + out.errorString().toLocal8Bit());
    const QByteArray zeros(HeaderSize, '\0');
    errno = 0;
    if (out.write(zeros) != HeaderSize)
        throw Failure(outputPath + ": cannot write: " + describeWriteError(out));

    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, preset))
        throw Failure("unsupported compression preset");
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_alone_encoder(&strm, &options) != LZMA_OK)
        throw Failure("cannot start the LZMA encoder (out of memory?)");
    struct EncoderGuard
    {
        lzma_stream& s;
        ~EncoderGuard() { lzma_end(&s); }
    } guard{strm};

    PayloadWriter writer(out, total);
    ProgressBar progress(total);
    QByteArray inBuffer(int(ChunkSize), Qt::Uninitialized);
    QByteArray outBuffer(int(ChunkSize), Qt::Uninitialized);
    for (const Entry& entry : entries) {
        if (!entry.isDir)
            compressFile(entry, strm, writer, progress, inBuffer, outBuffer);
    }
    strm.next_in = nullptr;
    strm.avail_in = 0;
    encode(strm, LZMA_FINISH, writer, outBuffer);
    progress.finish();
    if (writer.lzmaBytes() > MaxSize32)
        throw Failure("the compressed data is 4 GiB or larger, more than a package can describe");

    const QByteArray table = fileTable(entries);
    writer.write(table.constData(), size_t(table.size()));

    const QByteArray header = packageHeader(writer);
    errno = 0;
    if (!out.seek(0) || out.write(header) != HeaderSize)
        throw Failure(outputPath + ": cannot write: " + describeWriteError(out));
    checkInterrupted();
    errno = 0;
    if (!out.commit())
        throw Failure(outputPath + ": cannot save: " + describeWriteError(out));
}

// The updater's debug lines of the delta code are not for the publisher: its reasons
// are printed instead.
void quietDebug(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "mkpackage: %s\n", message.toLocal8Bit().constData());
}

QByteArray hex(const QByteArray& digest)
{
    return digest.toHex();
}

int makeDelta(const QVector<QByteArray>& paths, uint32_t preset)
{
    CDeltaMaker maker;
    maker.setLzmaPreset(preset);
    maker.setCancelCheck([] { return interrupted != 0; });
    if (!maker.make(QFile::decodeName(paths[0]), QFile::decodeName(paths[1]), QFile::decodeName(paths[2]))) {
        std::fprintf(stderr, "mkpackage: %s\n", maker.error().toLocal8Bit().constData());
        return 1;
    }
    const CDeltaMaker::Figures f = maker.figures();
    std::printf("%s: %lld bytes; %d copied, %d patched, %d whole, %d empty\nfrom content %s\nto content   %s\n",
                paths[2].constData(), static_cast<long long>(f.deltaBytes), f.copied, f.patched, f.whole, f.empty,
                hex(maker.baseDigest()).constData(), hex(maker.resultDigest()).constData());
    return 0;
}

int applyDelta(const QVector<QByteArray>& paths)
{
    CDeltaApplier applier;
    const int result = applier.apply(QFile::decodeName(paths[0]), QFile::decodeName(paths[1]),
                                     paths.size() > 2 ? QFile::decodeName(paths[2]) : QString(), QString());
    if (result != CDeltaApplier::Applied) {
        std::fprintf(stderr, "mkpackage: the delta does not apply (%d): %s\n", result,
                     applier.reason().toLocal8Bit().constData());
        return 1;
    }
    std::printf("%s\n", hex(applier.contentSha256()).constData());
    return 0;
}

int contentDigest(const QByteArray& path)
{
    QByteArray digest;
    QString reason;
    if (!CBaseContent::digestOf(QFile::decodeName(path), &digest, &reason)) {
        std::fprintf(stderr, "mkpackage: %s: %s\n", path.constData(), reason.toLocal8Bit().constData());
        return 1;
    }
    std::printf("%s\n", hex(digest).constData());
    return 0;
}

// The command line: the mode (none, --delta, --apply-delta or --content-sha256), its
// paths and the compression preset.
struct Arguments
{
    uint32_t preset = 6;
    bool presetGiven = false;
    QByteArray mode;
    QVector<QByteArray> paths;
};

// Reads the command line into args: -1 when it is one to carry out, otherwise the exit
// status (0 after the help, 2 after a usage error).
int parseArguments(int argc, char** argv, Arguments& args)
{
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (!optionsDone && (arg == "-h" || arg == "--help")) {
            printUsage(stdout);
            return 0;
        }
        if (!optionsDone && arg == "--") {
            optionsDone = true;
        } else if (!optionsDone && arg.size() == 2 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9') {
            args.preset = uint32_t(arg[1] - '0');
            args.presetGiven = true;
        } else if (!optionsDone && args.mode.isEmpty()
                   && (arg == "--delta" || arg == "--apply-delta" || arg == "--content-sha256")) {
            args.mode = arg;
        } else if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "mkpackage: unknown option %s\n", argv[i]);
            printUsage(stderr);
            return 2;
        } else {
            args.paths.append(arg);
        }
    }
    const QByteArray& mode = args.mode;
    if (mode == "--apply-delta" || mode == "--content-sha256") {
        const int least = mode == "--apply-delta" ? 2 : 1;
        const int most = mode == "--apply-delta" ? 3 : 1;
        if (args.presetGiven || args.paths.size() < least || args.paths.size() > most) {
            std::fprintf(stderr, "mkpackage: %s takes %s\n", mode.constData(),
                         least == 1 ? "one PACKAGE" : "BASE, DELTA and optionally OUTPUT_DIR");
            printUsage(stderr);
            return 2;
        }
    } else if (args.paths.size() != (mode == "--delta" ? 3 : 2)) {
        std::fprintf(stderr, "mkpackage: expected %s\n",
                     mode == "--delta" ? "OLD_PACKAGE, NEW_PACKAGE and OUTPUT_DELTA" : "SOURCE_DIR and OUTPUT_FILE");
        printUsage(stderr);
        return 2;
    }
    return -1;
}

void catchStopSignals()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

// Packs the folder source into the package file output.
int packFolder(QByteArray source, const QByteArray& output, uint32_t preset)
{
    while (source.size() > 1 && source.endsWith('/'))
        source.chop(1);
    try {
        struct stat st;
        if (stat(source.constData(), &st) != 0)
            throw Failure(source + ": " + describeErrno(errno));
        if (!S_ISDIR(st.st_mode))
            throw Failure(source + ": not a directory");

        const QByteArray sourceReal = canonical(source);
        const QByteArray outputDirReal = canonical(parentOf(output));
        if (outputDirReal.isEmpty())
            throw Failure(parentOf(output) + ": the output directory does not exist");
        if (outputDirReal == sourceReal || outputDirReal.startsWith(sourceReal + '/') || sourceReal == "/")
            throw Failure(output + ": the output file must not lie inside the source directory");
        struct stat outSt;
        if (stat(output.constData(), &outSt) == 0 && !S_ISREG(outSt.st_mode))
            throw Failure(output + ": exists and is not a regular file");

        QVector<Entry> entries;
        quint64 total = 0;
        scan(source, QByteArray(), entries, total);
        writePackage(entries, total, output, preset);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "mkpackage: %s\n", failure.text.constData());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Arguments args;
    const int status = parseArguments(argc, argv, args);
    if (status >= 0)
        return status;
    catchStopSignals();

    if (!args.mode.isEmpty()) {
        qInstallMessageHandler(quietDebug);
        if (args.mode == "--delta")
            return makeDelta(args.paths, args.presetGiven ? args.preset : 9);
        if (args.mode == "--apply-delta")
            return applyDelta(args.paths);
        return contentDigest(args.paths[0]);
    }
    return packFolder(args.paths[0], args.paths[1], args.preset);
}
