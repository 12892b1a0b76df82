// Fuzzes the package unpacker with whole package files.
//
// The input is written as a package and unpacked into the usual unpack directory.
// Unless the fifth byte (an unread header byte) is odd, the magic and the CRC are
// set right first, so that mutations reach the LZMA part and the file table instead
// of stopping at the CRC check. After each run nothing may exist below the temporary
// directory except the package file and the unpack directory's contents.
//
// Every run creates and deletes a handful of files; on a disk file system that churn
// costs more than the unpacking, so the temporary directory is moved to a private
// directory in memory (/dev/shm) when there is one with room to spare. The unpacker
// checks the real free space there: packages that declare more are refused (-5).
#include "packageformat.h"
#include "updatedefine.h"
#include "zrcrc32.h"
#include "zrfzip.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

struct Paths
{
    QString base;    // the working folder (Comm::workingDir())
    QString package; // the input, written as a package file
    QString dest;    // the unpack directory, also the unpacker's scratch directory
};

const Paths& paths()
{
    static QTemporaryDir inMemory(QStringLiteral("/dev/shm/package_unzip_fuzzer-XXXXXX"));
    static const Paths p = [] {
        const qint64 enoughRoom = qint64(1) << 30;
        if (inMemory.isValid() && QStorageInfo(inMemory.path()).bytesAvailable() >= enoughRoom)
            qputenv("TMPDIR", QFile::encodeName(inMemory.path()));
        // the unpacker's debug lines would only slow the fuzzer down
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        Paths made;
        made.base = Comm::workingDir();
        if (made.base.isEmpty()) {
            std::fprintf(stderr, "no private working folder below %s\n", qPrintable(QDir::tempPath()));
            std::abort();
        }
        made.package = made.base + QStringLiteral("/fuzz-package.bin");
        made.dest = made.base + QStringLiteral("/uncompress/");
        if (!QDir().mkpath(made.dest)) {
            std::fprintf(stderr, "cannot create %s\n", qPrintable(made.dest));
            std::abort();
        }
        return made;
    }();
    return p;
}

void putLe32(QByteArray& data, int offset, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        data[offset + i] = char(value >> (8 * i));
}

void checkNothingWrittenOutside(const Paths& p)
{
    QDirIterator it(QDir::tempPath(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path == p.base || path == p.package || path + QLatin1Char('/') == p.dest || path.startsWith(p.dest))
            continue;
        std::fprintf(stderr, "written outside the unpack directory: %s\n", qPrintable(path));
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Paths& p = paths();
    QByteArray package(reinterpret_cast<const char*>(data), int(size));
    if (size >= PackageFormat::HeaderSize && (data[4] & 1) == 0) {
        putLe32(package, PackageFormat::MagicOffset, PackageFormat::Magic);
        putLe32(package, PackageFormat::CrcOffset,
                CZR_Crc32::Update(0, data + PackageFormat::HeaderSize, size - PackageFormat::HeaderSize,
                                  PackageFormat::CrcPolynomial));
    }
    {
        QFile f(p.package);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(package) != package.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(p.package));
            std::abort();
        }
    }

    CZR_Fzip fzip;
    const int result = fzip.Unzip2(p.package, p.dest);
    if (result != CZR_Fzip::Unpacked && result != CZR_Fzip::EntryNotWritten && result != CZR_Fzip::NotAPackage
        && result != CZR_Fzip::CrcMismatch && result != CZR_Fzip::DecodeFailed && result != CZR_Fzip::NotEnoughSpace) {
        std::fprintf(stderr, "unexpected result %d for a readable package\n", result);
        std::abort();
    }

    checkNothingWrittenOutside(p);
    QFile::remove(p.package);
    QDir(p.dest).removeRecursively();
    QDir().mkpath(p.dest);
    return 0;
}
