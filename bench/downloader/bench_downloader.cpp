// Download throughput: QHttpDownLoadS against curl (or wget) on the same file from the
// same local server, over http and over https, in one run; and what syncing the
// complete file to disk costs: QHttpDownLoadS as the product runs it (the file synced
// once, when complete) against QHttpDownLoadS with the sync left out.
//
//   cmake --build <build> --target bench_downloader
//   <build>/bench/downloader/bench_downloader [--size-mib N] [--rounds N] [--tool curl|wget]
//                                              [--scheme http|https|both]
//
// A generated file (default 256 MiB) is served by TestHttpServer in a child process on
// 127.0.0.1, streamed from disk: once plain, once over TLS with a certificate of a
// throw-away authority (tests/support/testpki) that this process trusts and the tool
// is given (curl --cacert, wget --ca-certificate). For each scheme, each round
// downloads the file once with the tool (a child, timed and measured with wait4), once
// with QHttpDownLoadS (in this process, debug output off) and once more with
// QHttpDownLoadS without the sync, checks each copy byte for byte, and deletes it; the
// file system is synced before each download (outside the time measured), so that no
// download pays for the dirty pages of the one before. Printed per scheme: input size,
// the best throughput of each, the ratios (ours / tool, synced / not synced, as times),
// the syncs per download and the peak memory of each (ours: VmHWM of this process,
// which holds nothing else large, reset before each scheme; tool: ru_maxrss).

#include "qhttpdownloads.h"
#include "safefiles.h"
#include "testcertificates.h"
#include "testhttpserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Options
{
    long long sizeMiB = 256;
    int rounds = 3;
    std::string tool = "curl";
    std::string scheme = "both";
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
        else if (a == "--scheme" && i + 1 < argc)
            o->scheme = argv[++i];
        else
            return false;
    }
    return o->sizeMiB > 0 && o->rounds > 0 && (o->tool == "curl" || o->tool == "wget")
        && (o->scheme == "http" || o->scheme == "https" || o->scheme == "both");
}

// Pseudo-random contents, so nothing on the way can shortcut them.
bool generateInput(const std::string& path, long long bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    std::vector<unsigned long long> block(1 << 17); // 1 MiB
    unsigned long long x = 0x9E3779B97F4A7C15ull;
    long long left = bytes;
    while (left > 0) {
        for (auto& w : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        const size_t n = static_cast<size_t>(std::min<long long>(left, 1 << 20));
        if (std::fwrite(block.data(), 1, n, f) != n) {
            std::fclose(f);
            return false;
        }
        left -= static_cast<long long>(n);
    }
    return std::fclose(f) == 0;
}

bool sameContents(const std::string& a, const std::string& b)
{
    FILE* fa = std::fopen(a.c_str(), "rb");
    FILE* fb = std::fopen(b.c_str(), "rb");
    bool same = fa && fb;
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (same) {
        const size_t na = std::fread(ba.data(), 1, ba.size(), fa);
        const size_t nb = std::fread(bb.data(), 1, bb.size(), fb);
        if (na != nb || std::memcmp(ba.data(), bb.data(), na) != 0)
            same = false;
        if (na == 0)
            break;
    }
    if (fa)
        std::fclose(fa);
    if (fb)
        std::fclose(fb);
    return same;
}

long long vmHwmKiB()
{
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long long kib = -1;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "VmHWM:", 6) == 0)
            kib = std::atoll(line + 6);
    }
    std::fclose(f);
    return kib;
}

// Starts VmHWM afresh at the current size.
void resetPeakMemory()
{
    FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (!f)
        return;
    std::fputs("5", f);
    std::fclose(f);
}

// Child: makes the test authority in pkiDir and serves the file over http and https
// until killed; reports both ports through the pipe (0 when something failed).
[[noreturn]] void runServer(const std::string& file, const std::string& pkiDir, int portPipe)
{
    int argc = 1;
    char name[] = "bench_server";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const TestHttpServer::Reply reply = TestHttpServer::Reply::file(QString::fromStdString(file));
    TestHttpServer plain;
    plain.route(QStringLiteral("/big.bin"), reply);
    TestHttpServer secure;
    secure.route(QStringLiteral("/big.bin"), reply);
    TestCertificates pki(QString::fromStdString(pkiDir));
    if (pki.isValid())
        secure.setTls(pki.certificate(QStringLiteral("server")), pki.key(QStringLiteral("server")));
    else
        std::fprintf(stderr, "%s\n", qPrintable(pki.errorString()));
    const unsigned ports[2] = {plain.port(), pki.isValid() ? secure.port() : 0u};
    if (::write(portPipe, ports, sizeof ports) != static_cast<ssize_t>(sizeof ports))
        ::_exit(1);
    ::close(portPipe);
    ::_exit(app.exec());
}

struct Result
{
    double seconds = 0;
    double cpuSeconds = 0;   // user + system, all threads
    bool ok = false;
    long long peakKiB = 0;
};

double cpuSecondsOf(const struct rusage& usage)
{
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double processCpuSeconds()
{
    struct rusage usage;
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? cpuSecondsOf(usage) : 0.0;
}

// The syncs of the last download of ours.
int syncCount = 0;

// The product's sync, counted.
int countedSync(int fd)
{
    ++syncCount;
    return ::fsync(fd);
}

// No sync at all, counted all the same.
int skippedSync(int)
{
    ++syncCount;
    return 0;
}

// Writes out what is dirty on the file system of path.
void syncFileSystem(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
}

// synced: as the product does it; otherwise with the sync left out.
Result runOurs(const QUrl& url, const std::string& out, long long size, bool synced)
{
    Result r;
    Comm::setSyncCall(synced ? countedSync : skippedSync);
    syncCount = 0;
    QHttpDownLoadS downloader(nullptr, nullptr, nullptr, nullptr);
    bool finished = false;
    bool failed = false;
    QObject::connect(&downloader, &QHttpDownLoadS::oneDownLoadFinish, [&]() { finished = true; });
    QObject::connect(&downloader, &QHttpDownLoadS::errorfinish, [&]() { failed = true; });
    if (!downloader.setUrlAndFilePath(url, QString::fromStdString(out)))
        return r;
    QElapsedTimer clock;
    const double cpuBefore = processCpuSeconds();
    clock.start();
    const bool started = downloader.startDownLoads(true);
    Comm::setSyncCall(nullptr);
    if (!started)
        return r;
    r.seconds = clock.nsecsElapsed() / 1e9;
    r.cpuSeconds = processCpuSeconds() - cpuBefore;
    r.ok = finished && !failed && QFile(QString::fromStdString(out)).size() == size;
    r.peakKiB = vmHwmKiB();
    return r;
}

// caFile: the authority to trust for an https url.
Result runTool(const std::string& tool, const std::string& url, const std::string& caFile, const std::string& out)
{
    Result r;
    std::vector<std::string> args;
    if (tool == "curl")
        args = {"curl", "-s", "-f", "--cacert", caFile, "-o", out, url};
    else
        args = {"wget", "-q", "--ca-certificate=" + caFile, "-O", out, url};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    QElapsedTimer clock;
    clock.start();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    if (pid < 0)
        return r;
    int status = 0;
    struct rusage usage;
    std::memset(&usage, 0, sizeof usage);
    if (::wait4(pid, &status, 0, &usage) != pid)
        return r;
    r.seconds = clock.nsecsElapsed() / 1e9;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    r.peakKiB = usage.ru_maxrss;
    r.cpuSeconds = cpuSecondsOf(usage);
    return r;
}

// Child forked while this process is still small: runs the tool once per byte read
// from cmdPipe (0: the first url, 1: the second) and answers with its Result. (A tool
// forked from this process later would report this process's own peak memory as part
// of its ru_maxrss.)
[[noreturn]] void runSpawner(const std::string& tool, const std::string urls[2], const std::string& caFile,
                             const std::string& out, int cmdPipe, int resultPipe)
{
    char cmd = 0;
    while (::read(cmdPipe, &cmd, 1) == 1) {
        const Result r = runTool(tool, urls[cmd ? 1 : 0], caFile, out);
        if (::write(resultPipe, &r, sizeof r) != static_cast<ssize_t>(sizeof r))
            break;
    }
    ::_exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    Options opt;
    if (!parseOptions(argc, argv, &opt)) {
        std::fprintf(stderr, "usage: %s [--size-mib N] [--rounds N] [--tool curl|wget]\n", argv[0]);
        return 2;
    }
    const long long size = opt.sizeMiB * 1024 * 1024;

    const char* tmp = std::getenv("TMPDIR");
    std::string dirTemplate = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_downloader.XXXXXX";
    std::vector<char> dirBuf(dirTemplate.begin(), dirTemplate.end());
    dirBuf.push_back('\0');
    if (!::mkdtemp(dirBuf.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirBuf.data();
    const std::string input = dir + "/input.bin";
    const std::string outOurs = dir + "/ours.bin";
    const std::string outTool = dir + "/tool.bin";
    const std::string pkiDir = dir + "/pki";
    const std::string caFile = pkiDir + "/ca.pem";

    std::printf("generating %lld MiB input...\n", opt.sizeMiB);
    std::fflush(stdout);
    if (!generateInput(input, size)) {
        std::fprintf(stderr, "cannot write %s\n", input.c_str());
        return 1;
    }

    // The server process is forked before this process starts Qt.
    int fds[2];
    if (::pipe(fds) != 0)
        return 1;
    const pid_t server = ::fork();
    if (server == 0) {
        ::close(fds[0]);
        runServer(input, pkiDir, fds[1]);
    }
    ::close(fds[1]);
    unsigned ports[2] = {0, 0};
    if (server < 0 || ::read(fds[0], ports, sizeof ports) != static_cast<ssize_t>(sizeof ports) || ports[0] == 0
        || ports[1] == 0) {
        std::fprintf(stderr, "test server did not start\n");
        return 1;
    }
    ::close(fds[0]);
    const std::string urls[2] = {"http://127.0.0.1:" + std::to_string(ports[0]) + "/big.bin",
                                 "https://127.0.0.1:" + std::to_string(ports[1]) + "/big.bin"};

    int cmdFds[2];
    int resultFds[2];
    if (::pipe(cmdFds) != 0 || ::pipe(resultFds) != 0)
        return 1;
    const pid_t spawner = ::fork();
    if (spawner == 0) {
        ::close(cmdFds[1]);
        ::close(resultFds[0]);
        runSpawner(opt.tool, urls, caFile, outTool, cmdFds[0], resultFds[1]);
    }
    ::close(cmdFds[0]);
    ::close(resultFds[1]);
    auto runToolViaSpawner = [&](int scheme) {
        Result r;
        const char cmd = static_cast<char>(scheme);
        if (spawner < 0 || ::write(cmdFds[1], &cmd, 1) != 1
            || ::read(resultFds[0], &r, sizeof r) != static_cast<ssize_t>(sizeof r))
            return Result();
        return r;
    };

    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const long long baseKiB = vmHwmKiB();
    // The authority is trusted like one of the system's (the product has no such switch).
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(QSslCertificate::fromPath(QString::fromStdString(caFile)));
    QSslConfiguration::setDefaultConfiguration(tls);

    struct Row
    {
        const char* scheme = "";
        double bestOurs = 0, bestTool = 0, bestUnsynced = 0;
        long long peakOurs = 0, peakTool = 0;
        int syncs = 0; // of one download of ours
    };
    std::vector<Row> rows;
    bool allOk = true;
    for (int scheme = 0; scheme < 2; ++scheme) {
        Row row;
        row.scheme = scheme == 0 ? "http" : "https";
        if (opt.scheme != "both" && opt.scheme != row.scheme)
            continue;
        resetPeakMemory();
        for (int round = 1; round <= opt.rounds; ++round) {
            syncFileSystem(dir);
            const Result t = runToolViaSpawner(scheme);
            const bool toolSame = t.ok && sameContents(input, outTool);
            std::remove(outTool.c_str());
            syncFileSystem(dir);
            const Result o = runOurs(QUrl(QString::fromStdString(urls[scheme])), outOurs, size, true);
            const bool oursSame = o.ok && sameContents(input, outOurs);
            std::remove(outOurs.c_str());
            row.syncs = syncCount;
            syncFileSystem(dir);
            const Result u = runOurs(QUrl(QString::fromStdString(urls[scheme])), outOurs, size, false);
            const bool unsyncedSame = u.ok && sameContents(input, outOurs);
            std::remove(outOurs.c_str());

            const double mib = static_cast<double>(size) / (1024.0 * 1024.0);
            std::printf("%s round %d: QHttpDownLoadS %.3f s (%.1f MiB/s, %.2f s CPU)%s, %s %.3f s (%.1f MiB/s, "
                        "%.2f s CPU)%s\n",
                        row.scheme, round, o.seconds, mib / o.seconds, o.cpuSeconds, oursSame ? "" : " FAILED",
                        opt.tool.c_str(), t.seconds, mib / t.seconds, t.cpuSeconds, toolSame ? "" : " FAILED");
            std::printf("%s round %d: QHttpDownLoadS without the sync %.3f s (%.1f MiB/s, %.2f s CPU)%s\n",
                        row.scheme, round, u.seconds, mib / u.seconds, u.cpuSeconds, unsyncedSame ? "" : " FAILED");
            std::fflush(stdout);
            allOk = allOk && oursSame && toolSame && unsyncedSame;
            if (unsyncedSame)
                row.bestUnsynced = std::max(row.bestUnsynced, mib / u.seconds);
            if (oursSame)
                row.bestOurs = std::max(row.bestOurs, mib / o.seconds);
            if (toolSame)
                row.bestTool = std::max(row.bestTool, mib / t.seconds);
            row.peakOurs = std::max({row.peakOurs, o.peakKiB, u.peakKiB});
            row.peakTool = std::max(row.peakTool, t.peakKiB);
        }
        rows.push_back(row);
    }

    ::close(cmdFds[1]);
    ::waitpid(spawner, nullptr, 0);
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    QDir(QString::fromStdString(dir)).removeRecursively();

    std::printf("input size:          %lld bytes (%lld MiB)\n", size, opt.sizeMiB);
    for (const Row& row : rows) {
        std::printf("%-5s QHttpDownLoadS best %.1f MiB/s, %s best %.1f MiB/s, ratio (ours/%s) %.3f\n", row.scheme,
                    row.bestOurs, opt.tool.c_str(), row.bestTool, opt.tool.c_str(),
                    row.bestTool > 0 ? row.bestOurs / row.bestTool : 0.0);
        std::printf("%-5s without the sync best %.1f MiB/s, time with the sync / without %.3f, syncs per download %d\n",
                    row.scheme, row.bestUnsynced, row.bestOurs > 0 ? row.bestUnsynced / row.bestOurs : 0.0, row.syncs);
        std::printf("%-5s peak memory: QHttpDownLoadS process %lld KiB (before downloading %lld KiB), %s %lld KiB\n",
                    row.scheme, row.peakOurs, baseKiB, opt.tool.c_str(), row.peakTool);
    }
    return allOk ? 0 : 1;
}
