#include "splitparts.h"

#include "outputfile.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <set>

#include <sys/stat.h>

namespace SplitParts {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("SplitParts", text);
}

} // namespace

QByteArray shardLine(const char *prefix, const Shard &shard, const QByteArray &description)
{
    return prefix + QByteArray::number(shard.index) + '/' + QByteArray::number(shard.count) + ": " + description + '\n';
}

bool parseShardLine(const char *prefix, const QByteArray &line, Shard &shard, QByteArray &description)
{
    if (!line.startsWith(prefix))
        return false;
    const QByteArray rest = line.mid(qsizetype(std::strlen(prefix)));
    const qsizetype colon = rest.indexOf(": ");
    if (colon < 0)
        return false;
    const auto parsed = Shard::parse(QString::fromLatin1(rest.left(colon)), nullptr);
    if (!parsed)
        return false;
    shard = *parsed;
    description = rest.mid(colon + 2);
    return shardLine(prefix, shard, description) == line + '\n';
}

bool joinOrder(const std::vector<Head> &heads, const QString &kind, std::vector<size_t> &order, QString *errorString)
{
    auto refuse = [errorString](const QByteArray &path, const QString &why) {
        if (errorString)
            *errorString = QString::fromLocal8Bit(path) + QStringLiteral(": ") + why;
        return false;
    };
    order.resize(heads.size());
    std::iota(order.begin(), order.end(), size_t(0));
    const auto withShard = std::count_if(heads.begin(), heads.end(), [](const Head &h) { return bool(h.shard); });
    if (withShard == 0)
        return true;
    if (withShard < qsizetype(heads.size())) {
        const auto without = std::find_if(heads.begin(), heads.end(), [](const Head &h) { return !h.shard; });
        return refuse(without->path,
                      tr("is not a part of a split run (it has no shard line), but the other %1 are").arg(kind));
    }
    std::stable_sort(order.begin(), order.end(),
                     [&heads](size_t a, size_t b) { return heads[a].shard->index < heads[b].shard->index; });
    const Head &first = heads[order.front()];
    for (size_t i = 0; i < order.size(); ++i) {
        const Head &head = heads[order[i]];
        if (head.shard->count != first.shard->count || head.description != first.description)
            return refuse(head.path, tr("is shard %1 of %2 of another run than %3 (another list, split or test)")
                                             .arg(head.shard->index)
                                             .arg(head.shard->count)
                                             .arg(QString::fromLocal8Bit(first.path)));
        if (i > 0 && head.shard->index == heads[order[i - 1]].shard->index)
            return refuse(head.path,
                          tr("holds shard %1 of %2, which is given twice").arg(head.shard->index).arg(first.shard->count));
    }
    for (qint64 k = 1; k <= first.shard->count; ++k) {
        if (k > qint64(order.size()) || heads[order[size_t(k - 1)]].shard->index != k)
            return refuse(first.path, tr("is shard %1 of %2, but shard %3 of %2 is missing")
                                              .arg(first.shard->index)
                                              .arg(first.shard->count)
                                              .arg(k));
    }
    return true;
}

bool open(Part &part, const Kind &kind, QString *errorString)
{
    auto refuse = [&](const QString &why) {
        if (errorString)
            *errorString = QString::fromLocal8Bit(part.path) + QStringLiteral(": ") + why;
        part.reader.reset();
        return false;
    };
    const bool again = part.reader == nullptr && (part.hasHead || part.shard);
    const std::optional<Shard> shardBefore = part.shard;
    const QByteArray headBefore = part.head;
    part.reader = std::make_unique<LineReader>();
    if (!part.reader->open(part.path))
        return refuse(part.reader->errorString());
    QByteArray line;
    LineReader::Status status = part.reader->next(line);
    part.shard.reset();
    Shard shard;
    if (status == LineReader::Line && parseShardLine(kind.shardPrefix, line, shard, part.description)) {
        part.shard = shard;
        status = part.reader->next(line);
    }
    if (status == LineReader::Error)
        return refuse(tr("not a %1: %2").arg(kind.one, part.reader->errorString()));
    part.hasHead = status == LineReader::Line;
    part.head = part.hasHead ? line : QByteArray();
    part.headEnded = part.hasHead && part.reader->lineEnded();
    if (!part.hasHead && !part.shard)
        return refuse(tr("not a %1: it is empty").arg(kind.one));
    if (again && (part.head != headBefore || part.shard.has_value() != shardBefore.has_value()))
        return refuse(tr("changed while it was merged"));
    return true;
}

QByteArray firstLineOfFirstFile(const QByteArrayList &paths)
{
    for (const QByteArray &path : paths) {
        struct stat info;
        if (path == "-" || ::stat(path.constData(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        LineReader reader;
        QByteArray line;
        return reader.open(path) && reader.next(line) == LineReader::Line ? line : QByteArray();
    }
    return QByteArray();
}

bool openAll(const QByteArrayList &paths, const Kind &kind, bool keepOpen, std::vector<Part> &parts,
             QString *errorString)
{
    parts.clear();
    if (paths.isEmpty()) {
        if (errorString)
            *errorString = tr("no %1 to merge").arg(kind.name);
        return false;
    }
    std::set<std::pair<dev_t, ino_t>> seen;
    for (const QByteArray &path : paths) {
        Part part;
        part.path = path;
        struct stat info;
        part.isFile = path != "-" && ::stat(path.constData(), &info) == 0 && S_ISREG(info.st_mode);
        if (part.isFile && !seen.insert({info.st_dev, info.st_ino}).second) {
            if (errorString)
                *errorString = QString::fromLocal8Bit(path) + QStringLiteral(": ") + tr("is given twice");
            return false;
        }
        if (!open(part, kind, errorString))
            return false;
        if (part.isFile && !keepOpen)
            part.reader.reset();
        parts.push_back(std::move(part));
    }
    return putInJoinOrder(parts, kind.name, errorString);
}

int writeMerge(const QByteArray &output, const char *program, const char *what,
               const std::function<bool(const std::function<void(const QByteArray &)> &, QString *)> &merge,
               std::FILE *err)
{
    const QByteArray shown = output.isEmpty() || output == "-" ? QByteArray("on standard output") : output;
    OutputFile target;
    if (!target.open(output)) {
        std::fprintf(err, "%s: cannot write the %s %s: %s\n", program, what, shown.constData(),
                     target.errorString().toLocal8Bit().constData());
        return 1;
    }
    bool written = true;
    QString error;
    if (!merge([&](const QByteArray &line) { written = written && target.write(line) == line.size(); }, &error)) {
        target.cancel();
        std::fprintf(err, "%s: the %ss cannot be merged: %s\n", program, what, error.toLocal8Bit().constData());
        return 1;
    }
    if (!written || !target.commit()) {
        const QString why = target.errorString();
        target.cancel();
        std::fprintf(err, "%s: the %s %s could not be written: %s\n", program, what, shown.constData(),
                     why.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}

} // namespace SplitParts
