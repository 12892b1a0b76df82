// SHA-256 of a file: CSha256::fileHex against sha256sum (coreutils) on the same input,
// in one run.
//
//   cmake --build <build> --target sha256_bench
//   <build>/bench/sha256/sha256_bench [--size-mib N] [--rounds N] [--tool PROGRAM]
//
// A pseudo-random file (default 256 MiB) is written to a private temporary folder
// (mkdtemp, mode 0700, below $TMPDIR or /tmp), flushed to disk and read once, so that
// both sides find it in the page cache; the share of its pages in the cache is printed
// before the first round and after the last. Each round (default 5) hashes it with
// CSha256::fileHex in this process and with the tool in a child process, alternating
// which goes first, and the two digests must agree. The folder is removed at the end,
// also when the run is interrupted.
//
// Printed for the best round (by wall-clock time) of each side: wall-clock and
// processor time, throughput in MB/s (10^6 bytes) and MiB/s, the ratio ours/tool, the
// input size and peak memory: ours is this process's ru_maxrss (it holds nothing large:
// the file is written and read in 1 MiB pieces), the tool's the ru_maxrss wait4 reports
// for it. The tool is started by a helper process forked before anything else, as
// /usr/bin/time would: a child reports at least the memory of the process it was forked
// from, and the helper is as small as this process ever is.
//
// The requirement shown: CSha256::fileHex hashes at least 1 GB/s and at least twice as
// fast as the tool. Exit status: 0 when the digests agree and both hold, 1 otherwise,
// 2 for bad arguments.

#include "csha256.h"

#include <QByteArray>
#include <QString>

#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const long long kMiB = 1024 * 1024;

struct Options
{
    long long sizeMiB = 256;
    int rounds = 5;
    std::string tool = "sha256sum";
};

bool parseOptions(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--size-mib" && i + 1 < argc)
            o->sizeMiB = std::atoll(argv[++i]);
        else if (a == "--rounds" && i + 1 < argc)
            o->rounds = std::atoi(argv[++i]);
        else if (a == "--tool" && i + 1 < argc)
            o->tool = argv[++i];
        else
            return false;
    }
    return o->sizeMiB > 0 && o->rounds > 0 && !o->tool.empty();
}

// ---- the private folder, removed however the run ends ----

char g_dir[4096];
char g_input[4096];
char g_toolOut[4096];

void removeScratch()
{
    ::unlink(g_input);
    ::unlink(g_toolOut);
    ::rmdir(g_dir);
}

extern "C" void onSignal(int sig)
{
    removeScratch(); // unlink and rmdir are safe in a signal handler
    ::_exit(128 + sig);
}

bool makeScratch()
{
    const char* tmp = std::getenv("TMPDIR");
    const std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/sha256_bench.XXXXXX";
    if (pattern.size() + 16 >= sizeof g_dir)
        return false;
    std::strcpy(g_dir, pattern.c_str());
    if (!::mkdtemp(g_dir))
        return false;
    std::strcpy(g_input, (std::string(g_dir) + "/input.bin").c_str());
    std::strcpy(g_toolOut, (std::string(g_dir) + "/tool.out").c_str());
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        std::signal(sig, onSignal);
    return true;
}

// ---- clocks and memory ----

double wallNow()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpuNow()
{
    timespec ts;
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double seconds(const timeval& tv)
{
    return double(tv.tv_sec) + double(tv.tv_usec) * 1e-6;
}

long long selfMaxRssKiB()
{
    rusage usage;
    std::memset(&usage, 0, sizeof usage);
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// ---- the input ----

// Pseudo-random contents (xorshift64), written and flushed to disk so that no write-back
// runs during the measurements.
bool generateInput(const char* path, long long bytes)
{
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        return false;
    std::vector<unsigned long long> block(kMiB / 8);
    unsigned long long x = 0x9E3779B97F4A7C15ull;
    long long left = bytes;
    bool ok = true;
    while (ok && left > 0) {
        for (auto& w : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        const size_t n = size_t(std::min(left, kMiB));
        const char* p = reinterpret_cast<const char*>(block.data());
        size_t done = 0;
        while (ok && done < n) {
            const ssize_t w = ::write(fd, p + done, n - done);
            if (w < 0 && errno == EINTR)
                continue;
            ok = w > 0;
            if (ok)
                done += size_t(w);
        }
        left -= (long long)(n);
    }
    ok = ok && ::fdatasync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

// Reads the whole file once, which brings it into the page cache.
bool readThrough(const char* path, long long expected)
{
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0)
        return false;
    std::vector<char> buffer(static_cast<size_t>(kMiB));
    long long total = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        total += n;
    }
    ::close(fd);
    return total == expected;
}

// Percentage of the file's pages in the page cache; negative when it cannot be told.
// The file is mapped in windows and never touched, so this costs no resident memory.
double cachedPercent(const char* path, long long size)
{
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0)
        return -1;
    const long long page = ::sysconf(_SC_PAGESIZE);
    const long long window = 64 * kMiB;
    long long resident = 0;
    long long pages = 0;
    std::vector<unsigned char> state;
    for (long long offset = 0; offset < size; offset += window) {
        const size_t length = size_t(std::min(window, size - offset));
        void* map = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, off_t(offset));
        if (map == MAP_FAILED) {
            ::close(fd);
            return -1;
        }
        state.resize((length + size_t(page) - 1) / size_t(page));
        const bool ok = ::mincore(map, length, state.data()) == 0;
        ::munmap(map, length);
        if (!ok) {
            ::close(fd);
            return -1;
        }
        for (unsigned char s : state)
            resident += s & 1;
        pages += (long long)(state.size());
    }
    ::close(fd);
    return pages > 0 ? 100.0 * double(resident) / double(pages) : 100.0;
}

// ---- the two sides ----

struct Run
{
    bool ok = false;
    double seconds = 0;    // wall-clock
    double cpuSeconds = 0; // user and system
    long long peakKiB = 0;
};

Run runOurs(const char* path, QString* digest)
{
    Run r;
    const double t0 = wallNow();
    const double c0 = cpuNow();
    *digest = CSha256::fileHex(QString::fromLocal8Bit(path));
    r.seconds = wallNow() - t0;
    r.cpuSeconds = cpuNow() - c0;
    r.peakKiB = selfMaxRssKiB();
    r.ok = digest->size() == 64;
    return r;
}

// In the helper: runs the tool on the input with its output in g_toolOut.
Run runTool(const std::string& tool)
{
    Run r;
    const double t0 = wallNow();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(g_toolOut, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ::dup2(fd, 1) < 0)
            ::_exit(126);
        ::close(fd);
        char* argv[] = {const_cast<char*>(tool.c_str()), g_input, nullptr};
        ::execvp(argv[0], argv);
        ::_exit(127);
    }
    if (pid < 0)
        return r;
    int status = 0;
    rusage usage;
    std::memset(&usage, 0, sizeof usage);
    pid_t done;
    do
        done = ::wait4(pid, &status, 0, &usage);
    while (done < 0 && errno == EINTR);
    if (done != pid)
        return r;
    r.seconds = wallNow() - t0;
    r.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    r.peakKiB = usage.ru_maxrss;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

// The helper: runs the tool once per byte read from cmdPipe, answers with the Run.
[[noreturn]] void runHelper(const std::string& tool, int cmdPipe, int resultPipe)
{
    char cmd = 0;
    while (::read(cmdPipe, &cmd, 1) == 1) {
        const Run r = runTool(tool);
        if (::write(resultPipe, &r, sizeof r) != ssize_t(sizeof r))
            break;
    }
    ::_exit(0);
}

// The first 64 characters of the tool's output ("<digest>  <path>").
std::string toolDigest()
{
    FILE* f = std::fopen(g_toolOut, "rb");
    if (!f)
        return std::string();
    char text[65] = {};
    const size_t n = std::fread(text, 1, 64, f);
    std::fclose(f);
    return std::string(text, n);
}

// ---- the report ----

std::string processorName()
{
    FILE* f = std::fopen("/proc/cpuinfo", "r");
    if (!f)
        return "unknown processor";
    char line[4096];
    std::string name = "unknown processor";
    bool sha = false;
    bool named = false;
    while (std::fgets(line, sizeof line, f)) {
        if (!named && std::strncmp(line, "model name", 10) == 0) {
            const char* colon = std::strchr(line, ':');
            if (colon) {
                name = colon + 2;
                name.erase(name.find_last_not_of("\n") + 1);
                named = true;
            }
        } else if (std::strncmp(line, "flags", 5) == 0 && std::strstr(line, " sha_ni")) {
            sha = true;
        }
    }
    std::fclose(f);
    return name + (sha ? " (SHA instructions: yes)" : " (SHA instructions: no)");
}

void printSide(const char* label, const Run& r, long long bytes, const std::string& memoryNote)
{
    const double mb = double(bytes) / 1e6;
    const double mib = double(bytes) / double(kMiB);
    std::printf("  %-18s %8.3f s wall %8.3f s cpu %9.1f MB/s %9.1f MiB/s   peak RSS %lld KiB%s\n", label,
                r.seconds, r.cpuSeconds, mb / r.seconds, mib / r.seconds, r.peakKiB, memoryNote.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    Options opt;
    if (!parseOptions(argc, argv, &opt)) {
        std::fprintf(stderr, "usage: %s [--size-mib N] [--rounds N] [--tool PROGRAM]\n", argv[0]);
        return 2;
    }
    const long long size = opt.sizeMiB * kMiB;
    if (!makeScratch()) {
        std::perror("mkdtemp");
        return 1;
    }

    // The helper is forked while this process is at its smallest.
    int cmdFds[2];
    int resultFds[2];
    if (::pipe(cmdFds) != 0 || ::pipe(resultFds) != 0) {
        removeScratch();
        return 1;
    }
    const pid_t helper = ::fork();
    if (helper == 0) {
        ::close(cmdFds[1]);
        ::close(resultFds[0]);
        runHelper(opt.tool, cmdFds[0], resultFds[1]);
    }
    ::close(cmdFds[0]);
    ::close(resultFds[1]);
    auto runToolInHelper = [&]() {
        Run r;
        const char cmd = 1;
        if (helper < 0 || ::write(cmdFds[1], &cmd, 1) != 1
            || ::read(resultFds[0], &r, sizeof r) != ssize_t(sizeof r))
            return Run();
        return r;
    };
    auto finish = [&](int status) {
        ::close(cmdFds[1]);
        if (helper > 0)
            ::waitpid(helper, nullptr, 0);
        removeScratch();
        return status;
    };

    std::printf("sha256_bench: CSha256::fileHex against %s\n", opt.tool.c_str());
    std::printf("processor:     %s, %ld online\n", processorName().c_str(), ::sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("libcrypto:     %s\n", OpenSSL_version(OPENSSL_VERSION));
    std::printf("input:         %lld bytes (%lld MiB, %.1f MB) of pseudo-random data in %s\n", size, opt.sizeMiB,
                double(size) / 1e6, g_dir);
    std::fflush(stdout);
    if (!generateInput(g_input, size)) {
        std::fprintf(stderr, "cannot write %s\n", g_input);
        return finish(1);
    }
    if (!readThrough(g_input, size)) {
        std::fprintf(stderr, "cannot read %s back\n", g_input);
        return finish(1);
    }
    const double cachedBefore = cachedPercent(g_input, size);
    const long long baseKiB = selfMaxRssKiB();

    Run bestOurs;
    Run bestTool;
    long long peakTool = 0;
    std::string digest;
    bool allAgree = true;
    for (int round = 1; round <= opt.rounds; ++round) {
        QString ours;
        Run o;
        Run t;
        if (round % 2) {
            o = runOurs(g_input, &ours);
            t = runToolInHelper();
        } else {
            t = runToolInHelper();
            o = runOurs(g_input, &ours);
        }
        const std::string theirs = t.ok ? toolDigest() : std::string();
        const bool agree = o.ok && t.ok && ours.toStdString() == theirs && CSha256::isHex(ours);
        allAgree = allAgree && agree;
        if (agree)
            digest = theirs;
        std::printf("round %d (%s first): fileHex %.3f s (%.1f MB/s), %s %.3f s (%.1f MB/s), %s\n", round,
                    round % 2 ? "ours" : opt.tool.c_str(), o.seconds, double(size) / 1e6 / o.seconds,
                    opt.tool.c_str(), t.seconds, double(size) / 1e6 / t.seconds,
                    agree ? "digests agree"
                          : (o.ok && t.ok ? "DIGESTS DIFFER" : (o.ok ? "TOOL FAILED" : "fileHex FAILED")));
        std::fflush(stdout);
        if (o.ok && (bestOurs.seconds == 0 || o.seconds < bestOurs.seconds))
            bestOurs = o;
        if (t.ok && (bestTool.seconds == 0 || t.seconds < bestTool.seconds))
            bestTool = t;
        peakTool = std::max(peakTool, t.peakKiB);
    }
    const double cachedAfter = cachedPercent(g_input, size);
    bestOurs.peakKiB = selfMaxRssKiB();
    bestTool.peakKiB = peakTool;
    const int status = finish(0);

    std::printf("\ninput size:    %lld bytes (%lld MiB); page cache held %.1f%% of it before the rounds, %.1f%% "
                "after\n",
                size, opt.sizeMiB, cachedBefore, cachedAfter);
    if (!allAgree || bestOurs.seconds <= 0 || bestTool.seconds <= 0) {
        std::printf("FAILED: the digests did not agree in every round or a side did not run\n");
        return 1;
    }
    std::printf("digest:        %s (both, every round)\n", digest.c_str());
    std::printf("best of %d rounds:\n", opt.rounds);
    printSide("CSha256::fileHex", bestOurs, size,
              " (" + std::to_string(baseKiB) + " KiB before hashing)");
    printSide(opt.tool.c_str(), bestTool, size, std::string());
    const double ratio = bestTool.seconds / bestOurs.seconds;
    const double cpuRatio = bestOurs.cpuSeconds > 0 ? bestTool.cpuSeconds / bestOurs.cpuSeconds : 0.0;
    std::printf("ratio ours/%s: %.2fx throughput (wall-clock), %.2fx per processor second\n", opt.tool.c_str(),
                ratio, cpuRatio);
    const double gbPerSecond = double(size) / 1e9 / bestOurs.seconds;
    const bool fastEnough = gbPerSecond >= 1.0;
    const bool fasterThanTool = ratio >= 2.0;
    std::printf("requirement:   at least 1 GB/s: %s (%.2f GB/s)\n", fastEnough ? "holds" : "DOES NOT HOLD",
                gbPerSecond);
    std::printf("requirement:   at least 2x %s: %s (%.2fx)\n", opt.tool.c_str(),
                fasterThanTool ? "holds" : "DOES NOT HOLD", ratio);
    return status == 0 && fastEnough && fasterThanTool ? 0 : 1;
}
