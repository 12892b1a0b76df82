// Package CRC and unpacking speed, each measured against a system tool on the same input:
//  - the CRC: carry-less folding, slicing-by-16 and the byte-at-a-time table, against
//    `cksum` (coreutils; a different 32-bit CRC, the nearest tool at hand) on the same data;
//  - unpacking: Unzip2 of a package of mixed data (200 MiB unpacked by default) and the
//    bare LZMA decoding (UnzipFileToFile), against `xz --format=lzma -d` decoding the same
//    LZMA part into a file on the same file system;
//  - what syncing to disk costs: Unzip2 as the product runs it (each file synced once,
//    then each folder a name was made in) against Unzip2 with the syncs left out, in
//    the same run; the file system is synced before each unpacking (outside the time
//    measured), so that neither pays for the dirty pages of the one before.
// Prints throughput (per wall-clock second and per processor second: the machine may be
// shared), the ratio to the tool, the cost of the syncs, the input size and peak memory.
//
//   package_bench [--crc-mib=N] [--unpacked-mib=N] [--preset=N] [Google Benchmark options]
#include "safefiles.h"
#include "updatedefine.h"
#include "zrcrc32.h"
#include "zrfzip.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <ctime>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

struct Measurement
{
    double seconds = 0;    // wall-clock time per run
    double cpuSeconds = 0; // processor time (user and system) per run
    double peakMiB = 0;    // peak resident memory of whoever did the work
    bool available = true; // false when the tool could not be run
};

std::map<std::string, Measurement> results;

// The syncs of the last unpacking, by what was synced.
struct SyncCount
{
    int files = 0;
    int folders = 0;
};
SyncCount syncCount;

void countSync(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
        ++syncCount.folders;
    else
        ++syncCount.files;
}

// The product's sync, counted.
int countedSync(int fd)
{
    countSync(fd);
    return ::fsync(fd);
}

// No sync at all, counted all the same.
int skippedSync(int fd)
{
    countSync(fd);
    return 0;
}

// Writes out what is dirty on the file system of path, so that the next measurement
// starts from a clean page cache.
void syncFileSystem(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
}

struct Setup
{
    int crcMiB = 128;
    int unpackedMiB = 200;
    int preset = 6;
    QString work;          // scratch directory, removed at the end
    QString crcFile;       // the CRC input as a file, for cksum
    QString package;       // the package
    QString lzmaPart;      // its LZMA part alone, for xz
    QString dest;          // the unpack directory
    qint64 packageBytes = 0;
    qint64 lzmaBytes = 0;
    qint64 unpackedBytes = 0;
    int files = 0;         // files in the package
    QByteArray crcData;
};

Setup setup;

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpuNow()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Peak resident memory of this process since the last reset, in MiB.
void resetPeakMemory()
{
    QFile f("/proc/self/clear_refs");
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

double hwmMiB(const QString& statusPath);

double peakMemoryMiB()
{
    return hwmMiB(QStringLiteral("/proc/self/status"));
}

struct ToolRun
{
    bool ok = false;
    double seconds = 0;
    double cpuSeconds = 0;
    double maxRssMiB = 0;
};

double hwmMiB(const QString& statusPath)
{
    QFile f(statusPath);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return 0;
}

// Runs a program with its standard output sent to `stdoutPath`. Its peak memory is
// sampled from /proc every millisecond: the rusage of a child started by posix_spawn
// carries the parent's high-water mark from before the exec and is useless here.
ToolRun runTool(const std::vector<std::string>& args, const std::string& stdoutPath)
{
    ToolRun run;
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const double t0 = now();
    pid_t pid;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return run;
    const QString status = QString("/proc/%1/status").arg(pid);
    int exitStatus = 0;
    rusage usage;
    for (;;) {
        run.maxRssMiB = std::max(run.maxRssMiB, hwmMiB(status));
        const pid_t done = wait4(pid, &exitStatus, WNOHANG, &usage);
        if (done == pid)
            break;
        if (done < 0)
            return run;
        usleep(1000);
    }
    run.seconds = now() - t0;
    run.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    run.ok = WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 0;
    return run;
}

// ---- input data ----

// Mixed content: text-like lines, structured records, random bytes and zero runs.
QByteArray mixedBlock(int index, int size, QRandomGenerator& rng)
{
    static const char* const words[] = {"update", "module", "reader", "package", "version", "install", "server",
                                        "the", "of", "and", "a", "to", "in", "is", "file", "page", "font",
                                        "document", "annotation", "signature", "form", "field", "stream", "object"};
    const int wordCount = int(sizeof words / sizeof words[0]);
    QByteArray out;
    out.reserve(size);
    switch (index % 5) {
    case 0:
    case 1: // text
        while (out.size() < size) {
            const int n = 3 + int(rng.bounded(12));
            for (int i = 0; i < n; ++i) {
                out.append(words[rng.bounded(wordCount) * rng.bounded(wordCount) / wordCount]);
                out.append(' ');
            }
            out.append(QByteArray::number(rng.bounded(100000)));
            out.append('\n');
        }
        break;
    case 2: // binary records with counters
        for (quint32 record = 0; out.size() < size; ++record) {
            char r[32] = {};
            std::memcpy(r, &record, 4);
            const quint32 value = rng.bounded(256u);
            std::memcpy(r + 8, &value, 4);
            out.append(r, sizeof r);
        }
        break;
    case 3: // incompressible
        out.resize(size);
        for (int i = 0; i < size; i += 4) {
            const quint32 v = rng.generate();
            std::memcpy(out.data() + i, &v, qMin(4, size - i));
        }
        break;
    default: // zeros and text
        out = QByteArray(size / 2, '\0');
        out.append(mixedBlock(0, size - size / 2, rng));
        break;
    }
    out.resize(size);
    return out;
}

bool prepare()
{
    static QTemporaryDir dir(QDir::tempPath() + "/package_bench-XXXXXX");
    if (!dir.isValid())
        return false;
    setup.work = dir.path();
    // The unpacker works in the working folder below the temporary directory: give it
    // one of its own. Unpacking needs the unpacked size plus the unpacker's reserve free.
    const QString tmp = setup.work + "/tmp";
    qputenv("TMPDIR", QFile::encodeName(tmp));
    QDir().mkpath(tmp);
    const QString working = Comm::workingDir();
    if (working.isEmpty())
        return false;
    setup.dest = working + "/uncompress/";
    QDir().mkpath(setup.dest);

    QRandomGenerator rng(20240601);
    setup.crcData = mixedBlock(3, setup.crcMiB << 20, rng);
    setup.crcFile = setup.work + "/crc-input";
    QFile crcFile(setup.crcFile);
    if (!crcFile.open(QIODevice::WriteOnly) || crcFile.write(setup.crcData) != setup.crcData.size())
        return false;
    crcFile.close();

    const QString source = setup.work + "/source";
    const int fileMiB = 5;
    const int files = qMax(1, setup.unpackedMiB / fileMiB);
    setup.files = files;
    for (int i = 0; i < files; ++i) {
        const QString path = source + QString("/dir%1/file%2.bin").arg(i / 10).arg(i);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        const QByteArray block = mixedBlock(i, fileMiB << 20, rng);
        if (!f.open(QIODevice::WriteOnly) || f.write(block) != block.size())
            return false;
        setup.unpackedBytes += block.size();
    }
    setup.package = setup.work + "/bench.pkg";
    std::fprintf(stderr, "making a package of %.0f MiB with mkpackage -%d ...\n", setup.unpackedBytes / 1048576.0,
                 setup.preset);
    const double t0 = now();
    const ToolRun made = runTool({MKPACKAGE_PATH, "-" + std::to_string(setup.preset), source.toStdString(),
                                  setup.package.toStdString()},
                                 "/dev/null");
    if (!made.ok)
        return false;
    std::fprintf(stderr, "mkpackage took %.1f s\n", now() - t0);
    QDir(source).removeRecursively();

    QFile pkg(setup.package);
    if (!pkg.open(QIODevice::ReadOnly))
        return false;
    setup.packageBytes = pkg.size();
    const QByteArray header = pkg.read(CZR_Fzip::HeaderSize);
    const quint32 lzmaLength = quint32(quint8(header[16])) | quint32(quint8(header[17])) << 8
        | quint32(quint8(header[18])) << 16 | quint32(quint8(header[19])) << 24;
    setup.lzmaBytes = lzmaLength;
    setup.lzmaPart = setup.work + "/part.lzma";
    QFile part(setup.lzmaPart);
    if (!part.open(QIODevice::WriteOnly))
        return false;
    qint64 left = lzmaLength;
    while (left > 0) {
        const QByteArray chunk = pkg.read(qMin<qint64>(left, 1 << 20));
        if (chunk.isEmpty() || part.write(chunk) != chunk.size())
            return false;
        left -= chunk.size();
    }
    return true;
}

// ---- benchmarks ----

template <typename Fn>
void measureInProcess(benchmark::State& state, const std::string& name, qint64 bytes, Fn fn)
{
    resetPeakMemory();
    double total = 0;
    double cpu = 0;
    for (auto _ : state) {
        const double t0 = now();
        const double c0 = cpuNow();
        fn();
        const double t = now() - t0;
        cpu += cpuNow() - c0;
        state.SetIterationTime(t);
        total += t;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes);
    const double runs = double(state.iterations());
    results[name] = {total / runs, cpu / runs, peakMemoryMiB(), true};
}

void measureTool(benchmark::State& state, const std::string& name, qint64 bytes,
                 const std::vector<std::string>& args, const std::string& out)
{
    double total = 0;
    double cpu = 0;
    double peak = 0;
    for (auto _ : state) {
        const ToolRun run = runTool(args, out);
        if (!run.ok) {
            results[name].available = false;
            state.SkipWithError("the tool did not run");
            return;
        }
        state.SetIterationTime(run.seconds);
        total += run.seconds;
        cpu += run.cpuSeconds;
        peak = std::max(peak, run.maxRssMiB);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes);
    const double runs = double(state.iterations());
    results[name] = {total / runs, cpu / runs, peak, true};
}

const unsigned char* crcBytes()
{
    return reinterpret_cast<const unsigned char*>(setup.crcData.constData());
}

void BM_CrcCarryless(benchmark::State& state)
{
    quint32 crc = 0;
    measureInProcess(state, "crc carry-less", setup.crcData.size(), [&] {
        crc = CZR_Crc32::UpdateCarryless(0, crcBytes(), size_t(setup.crcData.size()));
        benchmark::DoNotOptimize(crc);
    });
}

void BM_CrcSlicing16(benchmark::State& state)
{
    measureInProcess(state, "crc slicing-by-16", setup.crcData.size(), [&] {
        benchmark::DoNotOptimize(CZR_Crc32::UpdateSlicing16(0, crcBytes(), size_t(setup.crcData.size())));
    });
}

void BM_CrcBytewise(benchmark::State& state)
{
    measureInProcess(state, "crc byte table", setup.crcData.size(), [&] {
        benchmark::DoNotOptimize(
            CZR_Crc32::UpdateBytewise(0, crcBytes(), size_t(setup.crcData.size()), CZR_Crc32::PackagePolynomial));
    });
}

void BM_CrcCksumTool(benchmark::State& state)
{
    measureTool(state, "crc cksum", setup.crcData.size(), {"cksum", setup.crcFile.toStdString()}, "/dev/null");
}

// The unpacking measurements should not count the CRC input.
void releaseCrcInput()
{
    setup.crcData = QByteArray();
}

// Unzip2 of the package, with the product's syncs or without any; the result goes to key.
void unzip2(benchmark::State& state, Comm::SyncCall call, const std::string& key)
{
    releaseCrcInput();
    resetPeakMemory();
    Comm::setSyncCall(call);
    double total = 0;
    double cpu = 0;
    for (auto _ : state) {
        QDir(setup.dest).removeRecursively();
        QDir().mkpath(setup.dest);
        syncFileSystem(setup.work);
        syncCount = SyncCount();
        CZR_Fzip fzip;
        const double t0 = now();
        const double c0 = cpuNow();
        const int result = fzip.Unzip2(setup.package, setup.dest);
        const double t = now() - t0;
        cpu += cpuNow() - c0;
        if (result != CZR_Fzip::Unpacked) {
            Comm::setSyncCall(nullptr);
            state.SkipWithError(result == CZR_Fzip::NotEnoughSpace ? "Unzip2: not enough free space" : "Unzip2 failed");
            return;
        }
        state.SetIterationTime(t);
        total += t;
    }
    Comm::setSyncCall(nullptr);
    state.SetBytesProcessed(int64_t(state.iterations()) * setup.unpackedBytes);
    const double runs = double(state.iterations());
    results[key] = {total / runs, cpu / runs, peakMemoryMiB(), true};
    QDir(setup.dest).removeRecursively();
    QDir().mkpath(setup.dest);
}

void BM_Unzip2(benchmark::State& state)
{
    unzip2(state, countedSync, "unzip2");
}

void BM_Unzip2WithoutSyncs(benchmark::State& state)
{
    unzip2(state, skippedSync, "unzip2 without syncs");
}

void BM_UnzipFileToFile(benchmark::State& state)
{
    releaseCrcInput();
    const QString out = setup.work + "/ours.out";
    measureInProcess(state, "lzma ours", setup.unpackedBytes, [&] {
        CZR_Fzip fzip;
        if (fzip.UnzipFileToFile(setup.lzmaPart, out) != 1)
            state.SkipWithError("UnzipFileToFile failed");
    });
    QFile::remove(out);
}

void BM_XzTool(benchmark::State& state)
{
    const std::string out = (setup.work + "/xz.out").toStdString();
    measureTool(state, "lzma xz", setup.unpackedBytes, {"xz", "--format=lzma", "-d", "-c", setup.lzmaPart.toStdString()},
                out);
    std::remove(out.c_str());
}

double mibPerSecond(qint64 bytes, const Measurement& m)
{
    return m.seconds > 0 ? bytes / 1048576.0 / m.seconds : 0;
}

void printRow(const char* label, qint64 bytes, const std::string& key)
{
    const Measurement& m = results[key];
    if (!m.available || m.seconds <= 0) {
        std::printf("  %-36s %12s\n", label, "not available");
        return;
    }
    const double perCpuSecond = m.cpuSeconds > 0 ? bytes / 1048576.0 / m.cpuSeconds : 0;
    std::printf("  %-36s %9.0f MiB/s %9.0f MiB/cpu-s %9.1f MiB peak\n", label, mibPerSecond(bytes, m), perCpuSecond,
                m.peakMiB);
}

void printRatio(const char* label, const std::string& ours, const std::string& theirs)
{
    const Measurement& a = results[ours];
    const Measurement& b = results[theirs];
    if (a.seconds > 0 && b.seconds > 0 && b.available)
        std::printf("  %-36s %9.2fx wall-clock, %.2fx processor time\n", label, b.seconds / a.seconds,
                    a.cpuSeconds > 0 ? b.cpuSeconds / a.cpuSeconds : 0.0);
}

void printSummary()
{
    const qint64 crcBytes = qint64(setup.crcMiB) << 20;
    std::printf("\n== package CRC: %.0f MiB input (peak memory includes the input buffer) ==\n", crcBytes / 1048576.0);
    std::printf("  carry-less multiplication on this processor: %s\n",
                CZR_Crc32::HasCarrylessMultiply() ? "yes" : "no (folding path falls back to slicing)");
    printRow("carry-less folding", crcBytes, "crc carry-less");
    printRow("slicing-by-16", crcBytes, "crc slicing-by-16");
    printRow("byte-at-a-time table", crcBytes, "crc byte table");
    printRow("cksum (reference tool)", crcBytes, "crc cksum");
    printRatio("speed ratio folding : cksum", "crc carry-less", "crc cksum");
    printRatio("speed ratio folding : byte table", "crc carry-less", "crc byte table");
    printRatio("speed ratio slicing : byte table", "crc slicing-by-16", "crc byte table");

    std::printf("\n== unpacking: %.1f MiB unpacked, package %.1f MiB (LZMA part %.1f MiB, preset %d) ==\n",
                setup.unpackedBytes / 1048576.0, setup.packageBytes / 1048576.0, setup.lzmaBytes / 1048576.0,
                setup.preset);
    std::printf("  (throughput in unpacked bytes)\n");
    printRow("Unzip2, whole package (synced)", setup.unpackedBytes, "unzip2");
    printRow("Unzip2, whole package, no syncs", setup.unpackedBytes, "unzip2 without syncs");
    printRow("UnzipFileToFile, LZMA part only", setup.unpackedBytes, "lzma ours");
    printRow("xz --format=lzma -d (reference tool)", setup.unpackedBytes, "lzma xz");
    printRatio("speed ratio UnzipFileToFile : xz", "lzma ours", "lzma xz");
    printRatio("speed ratio Unzip2 : xz", "unzip2", "lzma xz");
    printRatio("time with syncs : without", "unzip2 without syncs", "unzip2");
    std::printf("  syncs per unpacking: %d of files (the package holds %d), %d of folders\n", syncCount.files,
                setup.files, syncCount.folders);
}

bool takeOption(const char* arg, const char* name, int& value)
{
    const size_t n = std::strlen(name);
    if (std::strncmp(arg, name, n) != 0)
        return false;
    value = std::atoi(arg + n);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i)
        if (!takeOption(argv[i], "--crc-mib=", setup.crcMiB) && !takeOption(argv[i], "--unpacked-mib=", setup.unpackedMiB)
            && !takeOption(argv[i], "--preset=", setup.preset))
            rest.push_back(argv[i]);
    int restCount = int(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    if (benchmark::ReportUnrecognizedArguments(restCount, rest.data()))
        return 2;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    if (!prepare()) {
        std::fprintf(stderr, "cannot prepare the benchmark input\n");
        return 1;
    }

    benchmark::RegisterBenchmark("crc/carry-less", BM_CrcCarryless)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("crc/slicing-by-16", BM_CrcSlicing16)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("crc/byte-table", BM_CrcBytewise)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("crc/cksum-tool", BM_CrcCksumTool)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("unpack/Unzip2", BM_Unzip2)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("unpack/Unzip2-without-syncs", BM_Unzip2WithoutSyncs)
        ->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("unpack/UnzipFileToFile", BM_UnzipFileToFile)
        ->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("unpack/xz-tool", BM_XzTool)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printSummary();
    return 0;
}
