// Deltas on a real release pair nobody here wrote: two versions of one Debian package
// from this machine's apt sources (by default the two newest versions of libpoppler126
// the sources have: a point release and its security update), fetched with
// `apt-get download` into a cache folder at run time and unpacked with dpkg-deb; the
// data's regular files are the package's files (symbolic links have no place in a
// package and are left out). Printed, as ratios:
//
//  - size: the delta (mkpackage --delta) against the full new package (mkpackage at its
//    default preset -6 and at the highest, -9), against zstd's own patches of the same
//    files (`zstd --patch-from=OLD -19 --long`, each file from the old file of the same
//    path; `zstd -19 --long` for a file without one) and against bsdiff's (from an
//    empty file for a new one), summed over the files;
//  - applying the delta (the base's decoding included) in this process, from the old
//    package and from the old release kept as a base (zstd), against unpacking the full
//    new package with Unzip2: the median wall-clock time of the rounds and the peak
//    memory (VmHWM after a reset, and what it adds to the process before the step);
//  - making the delta: wall-clock time and peak memory of mkpackage --delta.
//
// With --synthetic-mib N it also makes a release pair of N MiB of its own (mixed text,
// records and random bytes in 5 MiB files; the next release with a 16-byte run changed
// every 64 KiB and some bytes inserted, two files unchanged, one added, one removed) and
// prints the time and peak memory of making and applying its delta.
//
//   delta_bench [--package NAME] [--versions OLD,NEW] [--cache DIR] [--rounds N]
//               [--synthetic-mib N]
//
// The cache folder (default $XDG_CACHE_HOME/moravel-bench/delta) keeps the downloaded
// .deb files; everything else goes to a temporary folder, removed at the end. The goals
// shown: the delta at most 10% of the full package and no larger than zstd's patches;
// applying it no slower than 1.5 times unpacking the full package. Exit status 0 when
// they hold, 1 when not, 2 when the run cannot be made (no such versions, no network,
// a tool missing).
#include "cbasearchive.h"
#include "cbasecontent.h"
#include "cdeltaapplier.h"
#include "safefiles.h"
#include "updatedefine.h"
#include "zrfzip.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Options
{
    QString package = QStringLiteral("libpoppler126");
    QString oldVersion;
    QString newVersion;
    QString cache;
    int rounds = 9;
    int syntheticMiB = 0;
};

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double statusMiB(const QString& path, const char* field)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return 0;
}

void resetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

struct Run
{
    bool ok = false;
    double seconds = 0;
    double peakMiB = 0;
    QByteArray out;
};

// Runs a program, its peak memory sampled from /proc every few milliseconds.
Run runTool(const QString& program, const QStringList& args, const QString& stdoutFile = QString())
{
    Run run;
    QProcess p;
    if (!stdoutFile.isEmpty())
        p.setStandardOutputFile(stdoutFile);
    const double t0 = now();
    p.start(program, args);
    if (!p.waitForStarted(-1))
        return run;
    const QString status = QStringLiteral("/proc/%1/status").arg(p.processId());
    while (!p.waitForFinished(5))
        run.peakMiB = std::max(run.peakMiB, statusMiB(status, "VmHWM:"));
    run.seconds = now() - t0;
    run.out = p.readAllStandardOutput();
    run.ok = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (!run.ok)
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), p.readAllStandardError().constData());
    return run;
}

struct Step
{
    double medianSeconds = 0;
    double medianCpuSeconds = 0;
    double peakMiB = 0;  // VmHWM of the process during the first round
    double addedMiB = 0; // ... less its resident memory before it
};

double cpuNow()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Runs fn 1 + rounds times, each after prepare(): the memory of the first round (what a
// step adds is then still new to the process), the median times of the others.
Step measure(int rounds, const std::function<void()>& prepare, const std::function<bool()>& fn)
{
    Step step;
    std::vector<double> times;
    std::vector<double> cpu;
    for (int i = 0; i <= rounds; ++i) {
        prepare();
        const double before = statusMiB(QStringLiteral("/proc/self/status"), "VmRSS:");
        resetPeak();
        const double t0 = now();
        const double c0 = cpuNow();
        if (!fn())
            return Step();
        const double t = now() - t0;
        const double c = cpuNow() - c0;
        if (i == 0) {
            step.peakMiB = statusMiB(QStringLiteral("/proc/self/status"), "VmHWM:");
            step.addedMiB = step.peakMiB - before;
            continue;
        }
        times.push_back(t);
        cpu.push_back(c);
    }
    std::sort(times.begin(), times.end());
    std::sort(cpu.begin(), cpu.end());
    step.medianSeconds = times[times.size() / 2];
    step.medianCpuSeconds = cpu[cpu.size() / 2];
    return step;
}

// The regular files below dir, by relative path.
QStringList filesBelow(const QString& dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(dir).relativeFilePath(it.next());
    files.sort();
    return files;
}

int removeLinks(const QString& dir)
{
    int removed = 0;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    QStringList links;
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileInfo().isSymLink())
            links << path;
    }
    for (const QString& link : links)
        removed += QFile::remove(link) ? 1 : 0;
    return removed;
}

// The two newest versions of the package in the apt sources, newest last.
bool findVersions(Options& o)
{
    if (!o.oldVersion.isEmpty())
        return true;
    QProcess p;
    p.start(QStringLiteral("apt-cache"), {QStringLiteral("madison"), o.package});
    p.waitForFinished(-1);
    QStringList versions;
    for (const QByteArray& line : p.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> parts = line.split('|');
        if (parts.size() >= 3 && parts[2].contains("Packages")) {
            const QString v = QString::fromUtf8(parts[1].trimmed());
            if (!versions.contains(v))
                versions << v;
        }
    }
    if (versions.size() < 2) {
        std::fprintf(stderr, "the apt sources have fewer than two versions of %s (apt-get update?)\n", qPrintable(o.package));
        return false;
    }
    o.newVersion = versions[0];
    o.oldVersion = versions[1];
    return true;
}

// Downloads (once, into the cache) and unpacks one version; its files' folder.
QString fetch(const Options& o, const QString& version, const QString& work)
{
    QDir().mkpath(o.cache);
    const QString pattern = o.package + QStringLiteral("_") + QString(version).replace(QLatin1Char(':'), QStringLiteral("%3a"))
        + QStringLiteral("_*.deb");
    QStringList debs = QDir(o.cache).entryList({pattern}, QDir::Files);
    if (debs.isEmpty()) {
        QProcess p;
        p.setWorkingDirectory(o.cache);
        p.start(QStringLiteral("apt-get"), {QStringLiteral("download"), o.package + QStringLiteral("=") + version});
        p.waitForFinished(-1);
        debs = QDir(o.cache).entryList({pattern}, QDir::Files);
        if (debs.isEmpty()) {
            std::fprintf(stderr, "apt-get download %s=%s failed: %s\n", qPrintable(o.package), qPrintable(version),
                         p.readAllStandardError().constData());
            return QString();
        }
    }
    const QString tree = work + QStringLiteral("/") + version;
    QDir().mkpath(tree);
    if (QProcess::execute(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), o.cache + QStringLiteral("/") + debs[0], tree}) != 0)
        return QString();
    const int links = removeLinks(tree);
    std::printf("%s %s: %s, %d files%s\n", qPrintable(o.package), qPrintable(version), qPrintable(debs[0]),
                int(filesBelow(tree).size()), links ? qPrintable(QStringLiteral(" (%1 symbolic links left out)").arg(links)) : "");
    return tree;
}

qint64 fileSize(const QString& path)
{
    return QFileInfo(path).size();
}

// zstd's and bsdiff's patches of each file of the new release, summed.
bool toolPatches(const QString& oldTree, const QString& newTree, const QString& work, qint64* zstdBytes, qint64* bsdiffBytes)
{
    *zstdBytes = *bsdiffBytes = 0;
    const QString empty = work + QStringLiteral("/empty");
    QFile emptyFile(empty);
    if (!emptyFile.open(QIODevice::WriteOnly))
        return false;
    const QString out = work + QStringLiteral("/patch");
    for (const QString& rel : filesBelow(newTree)) {
        const QString from = oldTree + QStringLiteral("/") + rel;
        const QString to = newTree + QStringLiteral("/") + rel;
        const bool hasOld = QFileInfo(from).isFile();
        QStringList zstdArgs = {QStringLiteral("-q"), QStringLiteral("-f"), QStringLiteral("-19"), QStringLiteral("--long"),
                                QStringLiteral("--single-thread")};
        if (hasOld)
            zstdArgs << QStringLiteral("--patch-from=") + from;
        zstdArgs << to << QStringLiteral("-o") << out;
        if (!runTool(QStringLiteral("zstd"), zstdArgs).ok)
            return false;
        *zstdBytes += fileSize(out);
        if (!runTool(QStringLiteral("bsdiff"), {hasOld ? from : empty, to, out}).ok)
            return false;
        *bsdiffBytes += fileSize(out);
    }
    return true;
}

// The old release kept as a base (what the updater keeps after a delta), from its package.
bool keepBase(const QString& package, const QString& path)
{
    CBaseContent content;
    QString reason;
    QByteArray digest;
    if (!content.open(package, &reason)
        || !content.decode(QVector<bool>(content.table().count(), true), QFileInfo(path).absolutePath(), &digest, &reason))
        return false;
    CBaseArchive archive;
    if (!archive.create(path, content.table(), &reason))
        return false;
    for (int i = 0; i < content.table().count(); ++i) {
        const char* bytes = content.map(i, &reason);
        if (!bytes || !archive.write(bytes, content.table().entries().at(i).size))
            return false;
    }
    return archive.finish(digest, &reason);
}

struct ApplyFigures
{
    Step unzip;
    Step fromPackage;
    Step fromKeptBase;
};

bool measureApplying(const QString& oldPackage, const QString& keptBase, const QString& newPackage, const QString& delta,
                     const QString& work, int rounds, ApplyFigures* f)
{
    const QString dest = Comm::workingDir() + QStringLiteral("/uncompress");
    const auto clean = [&] {
        Comm::deleteDir(dest);
        QDir().mkpath(dest);
    };
    f->unzip = measure(rounds, clean, [&] {
        CZR_Fzip fzip;
        return fzip.Unzip2(newPackage, dest) == CZR_Fzip::Unpacked;
    });
    f->fromPackage = measure(rounds, clean, [&] {
        CDeltaApplier applier;
        applier.setScratchDir(work);
        return applier.apply(oldPackage, delta, dest, QString()) == CDeltaApplier::Applied;
    });
    f->fromKeptBase = measure(rounds, clean, [&] {
        CDeltaApplier applier;
        applier.setScratchDir(work);
        return applier.apply(keptBase, delta, dest, QString()) == CDeltaApplier::Applied;
    });
    return f->unzip.medianSeconds > 0 && f->fromPackage.medianSeconds > 0 && f->fromKeptBase.medianSeconds > 0;
}

void printStep(const char* label, const Step& s, const Step& reference)
{
    std::printf("  %-38s %7.1f ms %5.2fx  cpu %7.1f ms %5.2fx  peak %6.1f MiB (+%5.1f)\n", label,
                s.medianSeconds * 1000, s.medianSeconds / reference.medianSeconds, s.medianCpuSeconds * 1000,
                s.medianCpuSeconds / reference.medianCpuSeconds, s.peakMiB, s.addedMiB);
}

// ---- the synthetic pair ----

QByteArray mixedBlock(int kind, int size, QRandomGenerator& rng)
{
    static const char* const words[] = {"page", "font", "stream", "object", "annotation", "render", "glyph",
                                        "the", "of", "and", "to", "in", "is", "matrix", "path", "clip"};
    QByteArray out;
    out.reserve(size);
    while (out.size() < size) {
        switch (kind % 3) {
        case 0:
            out.append(words[rng.bounded(16)]);
            out.append(rng.bounded(8) ? ' ' : '\n');
            break;
        case 1: {
            const quint32 record[4] = {quint32(out.size()), rng.bounded(256u), 0, rng.bounded(4096u)};
            out.append(reinterpret_cast<const char*>(record), sizeof record);
            break;
        }
        default: {
            const quint64 v = rng.generate64();
            out.append(reinterpret_cast<const char*>(&v), sizeof v);
        }
        }
    }
    out.resize(size);
    return out;
}

bool writeTreeFile(const QString& tree, int index, const QByteArray& data)
{
    const QString path = tree + QStringLiteral("/part%1/file%2.bin").arg(index / 8).arg(index);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

bool writeSynthetic(const QString& oldTree, const QString& newTree, int mib)
{
    QRandomGenerator rng(20260601);
    const int files = std::max(4, mib / 5);
    for (int i = 0; i < files; ++i) {
        QByteArray data;
        for (int part = 0; part < 5 * 4; ++part)
            data += mixedBlock(i + part, 256 << 10, rng);
        if (i != files - 1 && !writeTreeFile(oldTree, i, data))
            return false;
        if (i == 0)
            continue; // removed in the new release
        if (i > 2) { // two files unchanged
            for (int at = 4096; at + 64 < data.size(); at += 64 << 10) {
                data.replace(at, 16, mixedBlock(2, 16, rng));
                if (at % (1 << 20) == 4096)
                    data.insert(at + 100, mixedBlock(0, int(rng.bounded(64u)) + 1, rng));
            }
        }
        if (!writeTreeFile(newTree, i, data))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    Options o;
    const QString cacheHome = qEnvironmentVariable("XDG_CACHE_HOME", QDir::homePath() + QStringLiteral("/.cache"));
    o.cache = cacheHome + QStringLiteral("/moravel-bench/delta");
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString value = args.value(i + 1);
        if (args[i] == QLatin1String("--package") && i + 1 < args.size())
            o.package = value;
        else if (args[i] == QLatin1String("--versions") && value.count(QLatin1Char(',')) == 1) {
            o.oldVersion = value.section(QLatin1Char(','), 0, 0);
            o.newVersion = value.section(QLatin1Char(','), 1, 1);
        } else if (args[i] == QLatin1String("--cache") && i + 1 < args.size())
            o.cache = value;
        else if (args[i] == QLatin1String("--rounds") && value.toInt() > 0)
            o.rounds = value.toInt();
        else if (args[i] == QLatin1String("--synthetic-mib") && value.toInt() >= 0)
            o.syntheticMiB = value.toInt();
        else {
            std::fprintf(stderr, "usage: delta_bench [--package NAME] [--versions OLD,NEW] [--cache DIR] [--rounds N] "
                                 "[--synthetic-mib N]\n");
            return 2;
        }
        ++i;
    }

    QTemporaryDir tmp(QDir::tempPath() + QStringLiteral("/delta_bench-XXXXXX"));
    if (!tmp.isValid())
        return 2;
    const QString work = tmp.path();
    // The unpacker works in the working folder below the temporary directory: one of its own.
    qputenv("TMPDIR", QFile::encodeName(work + QStringLiteral("/tmp")));
    QDir().mkpath(work + QStringLiteral("/tmp"));
    if (Comm::workingDir().isEmpty())
        return 2;
    const QString mkpackage = QStringLiteral(MKPACKAGE_PATH);

    if (!findVersions(o))
        return 2;
    const QString oldTree = fetch(o, o.oldVersion, work + QStringLiteral("/trees"));
    const QString newTree = fetch(o, o.newVersion, work + QStringLiteral("/trees"));
    if (oldTree.isEmpty() || newTree.isEmpty())
        return 2;
    const QString old6 = work + QStringLiteral("/old-6.pkg"), new6 = work + QStringLiteral("/new-6.pkg"),
                  new9 = work + QStringLiteral("/new-9.pkg"), delta = work + QStringLiteral("/new.delta"),
                  kept = work + QStringLiteral("/old.base");
    if (!runTool(mkpackage, {QStringLiteral("-6"), oldTree, old6}).ok || !runTool(mkpackage, {QStringLiteral("-6"), newTree, new6}).ok
        || !runTool(mkpackage, {QStringLiteral("-9"), newTree, new9}).ok)
        return 2;
    const Run made = runTool(mkpackage, {QStringLiteral("--delta"), old6, new6, delta});
    if (!made.ok || !keepBase(old6, kept))
        return 2;
    qint64 zstdBytes = 0, bsdiffBytes = 0;
    if (!toolPatches(oldTree, newTree, work, &zstdBytes, &bsdiffBytes))
        return 2;
    const qint64 deltaBytes = fileSize(delta), full6 = fileSize(new6), full9 = fileSize(new9);
    ApplyFigures a;
    if (!measureApplying(old6, kept, new6, delta, work, o.rounds, &a))
        return 2;

    std::printf("\n%s %s -> %s (%.2f MiB of files)\n", qPrintable(o.package), qPrintable(o.oldVersion),
                qPrintable(o.newVersion), double(QFileInfo(new6).size()) / 1048576.0);
    std::printf("%s", made.out.constData());
    std::printf("size\n");
    std::printf("  %-40s %10lld bytes\n", "delta (mkpackage --delta)", static_cast<long long>(deltaBytes));
    std::printf("  %-40s %10lld bytes   delta %5.1f%%\n", "full package, mkpackage -6", static_cast<long long>(full6), 100.0 * deltaBytes / full6);
    std::printf("  %-40s %10lld bytes   delta %5.1f%%\n", "full package, mkpackage -9", static_cast<long long>(full9), 100.0 * deltaBytes / full9);
    std::printf("  %-40s %10lld bytes   delta %5.1f%%\n", "zstd --patch-from -19 --long, per file", static_cast<long long>(zstdBytes),
                100.0 * deltaBytes / zstdBytes);
    std::printf("  %-40s %10lld bytes   delta %5.1f%%\n", "bsdiff, per file", static_cast<long long>(bsdiffBytes), 100.0 * deltaBytes / bsdiffBytes);
    std::printf("applying (median of %d rounds, wall-clock and processor time, ratio to unpacking the full\n"
                "package; peak memory of this process, and what the step added to it)\n", o.rounds);
    printStep("Unzip2 of the full package (-6)", a.unzip, a.unzip);
    printStep("the delta, from the old package", a.fromPackage, a.unzip);
    printStep("the delta, from the old release kept", a.fromKeptBase, a.unzip);
    std::printf("making\n  %-40s %8.1f s   peak %6.1f MiB\n", "mkpackage --delta", made.seconds, made.peakMiB);

    const bool small = deltaBytes * 10 <= std::min(full6, full9) && deltaBytes <= zstdBytes;
    const bool fast = a.fromPackage.medianSeconds <= 1.5 * a.unzip.medianSeconds;
    std::printf("goals: delta <= 10%% of the full package and <= zstd's patches: %s; applying <= 1.5x unpacking: %s\n",
                small ? "yes" : "NO", fast ? "yes" : "NO");

    if (o.syntheticMiB > 0) {
        const QString sOld = work + QStringLiteral("/synthetic-old"), sNew = work + QStringLiteral("/synthetic-new");
        if (!writeSynthetic(sOld, sNew, o.syntheticMiB))
            return 2;
        const QString sOldPkg = work + QStringLiteral("/s-old.pkg"), sNewPkg = work + QStringLiteral("/s-new.pkg"),
                      sDelta = work + QStringLiteral("/s.delta"), sKept = work + QStringLiteral("/s-old.base");
        if (!runTool(mkpackage, {QStringLiteral("-6"), sOld, sOldPkg}).ok || !runTool(mkpackage, {QStringLiteral("-6"), sNew, sNewPkg}).ok)
            return 2;
        Comm::deleteDir(sOld);
        const Run sMade = runTool(mkpackage, {QStringLiteral("--delta"), sOldPkg, sNewPkg, sDelta});
        if (!sMade.ok || !keepBase(sOldPkg, sKept))
            return 2;
        ApplyFigures s;
        if (!measureApplying(sOldPkg, sKept, sNewPkg, sDelta, work, std::max(1, o.rounds / 3), &s))
            return 2;
        std::printf("\nsynthetic release of %d MiB: package %lld bytes, delta %lld bytes (%.2f%%)\n", o.syntheticMiB,
                    static_cast<long long>(fileSize(sNewPkg)), static_cast<long long>(fileSize(sDelta)),
                    100.0 * fileSize(sDelta) / fileSize(sNewPkg));
        std::printf("%s", sMade.out.constData());
        std::printf("  %-40s %8.1f s   peak %6.1f MiB\n", "making: mkpackage --delta", sMade.seconds, sMade.peakMiB);
        printStep("Unzip2 of the full package (-6)", s.unzip, s.unzip);
        printStep("the delta, from the old package", s.fromPackage, s.unzip);
        printStep("the delta, from the old release kept", s.fromKeptBase, s.unzip);
    }
    return small && fast ? 0 : 1;
}
