#include "cskippedversions.h"

#include "statefiles.h"

#include <QByteArray>
#include <QUrl>

namespace {

const QString kName = QStringLiteral("skipped-versions");
// Room for a few hundred modules; the oldest lines go first beyond it.
const qint64 kMaxBytes = 64 * 1024;

using Entries = QList<QPair<QString, QString>>;   // (name, version), oldest first

Entries readEntries()
{
    Entries entries;
    QByteArray text;
    if (!Comm::readStateFile(kName, kMaxBytes, &text))
        return entries;
    for (const QByteArray& line : text.split('\n')) {
        const int tab = line.indexOf('\t');
        if (tab <= 0)
            continue;
        entries.append(qMakePair(QUrl::fromPercentEncoding(line.mid(tab + 1)), QUrl::fromPercentEncoding(line.left(tab))));
    }
    return entries;
}

QByteArray lineOf(const QPair<QString, QString>& entry)
{
    return QUrl::toPercentEncoding(entry.second) + '\t' + QUrl::toPercentEncoding(entry.first) + '\n';
}

} // namespace

QString CSkippedVersions::path()
{
    return Comm::stateFilePath(kName);
}

QHash<QString, QString> CSkippedVersions::versions()
{
    QHash<QString, QString> skipped;
    for (const auto& entry : readEntries())
        skipped.insert(entry.first, entry.second);
    return skipped;
}

bool CSkippedVersions::skip(const QList<QPair<QString, QString>>& modules)
{
    Entries entries;
    for (const auto& entry : readEntries()) {
        bool replaced = false;
        for (const auto& module : modules)
            replaced = replaced || module.first == entry.first;
        if (!replaced)
            entries.append(entry);
    }
    entries.append(modules);

    QList<QByteArray> lines;
    qint64 size = 0;
    for (const auto& entry : entries) {
        lines.append(lineOf(entry));
        size += lines.last().size();
    }
    while (size > kMaxBytes && !lines.isEmpty())
        size -= lines.takeFirst().size();
    QByteArray text;
    for (const QByteArray& line : qAsConst(lines))
        text += line;
    return Comm::writeStateFile(kName, text, "the skipped versions");
}
