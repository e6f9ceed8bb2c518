#include "rowsparts.h"

#include "batchoutputs.h"
#include "percolationreport.h"
#include "splitparts.h"
#include "workerpool.h"

#include <QCoreApplication>

#include <memory>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("RowsParts", text);
}

constexpr const char *Prefix = "# vantrix rows part ";
// Base64 lines stay well below what a line reader takes.
constexpr qsizetype SeamLine = 48000;
// Patches per line of a part's patches (a few kB of base64).
constexpr size_t PatchesPerLine = 64;

const SplitParts::Kind &kind()
{
    static const SplitParts::Kind k{tr("rows parts"), tr("rows part"), Prefix};
    return k;
}

QByteArray b64(const QByteArray &bytes)
{
    return bytes.toBase64();
}

QByteArray real(double v)
{
    return QByteArray::number(v, 'g', 17);
}

QByteArray sidesText(const std::vector<qint64> &sides)
{
    QByteArrayList texts;
    for (const qint64 side : sides)
        texts << QByteArray::number(side);
    return texts.join(',');
}

// The options a merge needs to write the table as the run would: the fields
// of the options line (and with patches, the least cells of a patch kept).
QByteArrayList optionFields(const PercolationBatch::Options &batch)
{
    QByteArrayList fields{"cover=" + b64(batch.cover.asked()), "rule=" + SpanningRule::name(batch.rule.kind).toLatin1(),
                          "direction=" + SpanningRule::name(batch.rule.direction).toLatin1(),
                          "band=" + QByteArray::number(batch.band),
                          QByteArray("extent=") + (batch.extent == PercolationBatch::Full ? "full" : "square"),
                          QByteArray("statistics=") + (batch.statistics ? "1" : "0"),
                          "lacunarity=" + sidesText(batch.lacunarity)};
    if (batch.patches)
        fields << "patches=" + QByteArray::number(batch.minCells);
    return fields;
}

std::optional<PercolationBatch::Options> optionsOf(const QByteArray &line)
{
    const QByteArrayList fields = line.split('\t');
    if ((fields.size() != 8 && fields.size() != 9) || fields[0] != "options")
        return std::nullopt;
    auto value = [&](int i, const char *name) {
        const QByteArray prefix = QByteArray(name) + '=';
        return fields[i].startsWith(prefix) ? fields[i].mid(prefix.size()) : QByteArray("\n");
    };
    PercolationBatch::Options batch;
    QString ignored;
    const auto cover = CoverSet::parse(QString::fromLatin1(QByteArray::fromBase64(value(1, "cover"))), &ignored);
    const auto kind = SpanningRule::kindNamed(QString::fromLatin1(value(2, "rule")));
    const auto direction = SpanningRule::directionNamed(QString::fromLatin1(value(3, "direction")));
    bool ok = false;
    batch.band = value(4, "band").toInt(&ok);
    if (!cover || !kind || !direction || !ok)
        return std::nullopt;
    batch.cover = *cover;
    batch.rule = SpanningRule(*kind, *direction);
    batch.extent = value(5, "extent") == "full" ? PercolationBatch::Full : PercolationBatch::Square;
    batch.statistics = value(6, "statistics") == "1";
    const QByteArray sides = value(7, "lacunarity");
    for (const QByteArray &side : sides.isEmpty() ? QByteArrayList() : sides.split(',')) {
        const qint64 n = side.toLongLong(&ok);
        if (!ok || n < 1)
            return std::nullopt;
        batch.lacunarity.push_back(n);
    }
    if (fields.size() == 9) {
        batch.patches = true;
        batch.minCells = value(8, "patches").toLongLong(&ok);
        if (!ok || batch.minCells < 1)
            return std::nullopt;
    }
    return batch;
}

// A map's line: what was read of the file besides its seams.
QByteArray mapLine(qsizetype index, const QByteArray &path, const PercolationBatch::Result &r)
{
    QByteArrayList f{"map",
                     QByteArray::number(index),
                     b64(path),
                     QByteArray::number(r.fileRows),
                     QByteArray::number(r.fileColumns),
                     QByteArray::number(int(r.isRaster)),
                     QByteArray::number(r.cellsLeftOut),
                     QByteArray::number(r.edgeCells),
                     QByteArray::number(r.edgeCellsWithoutValue),
                     QByteArray::number(r.skippedFields.count),
                     b64(r.skippedFields.example),
                     QByteArray::number(int(r.geo.hasTransform)),
                     QByteArray::number(int(r.geo.geographic))};
    for (const double t : r.geo.transform)
        f << real(t);
    f << b64(r.geo.projection) << b64(r.geo.units);
    return f.join('\t') + '\n';
}

// Reads a map's line into result; false when it is not one.
bool readMapLine(const QByteArray &line, qsizetype index, QByteArray &path, PercolationBatch::Result &r)
{
    const QByteArrayList f = line.split('\t');
    if (f.size() != 21 || f[0] != "map" || f[1] != QByteArray::number(index))
        return false;
    bool ok = true;
    auto number = [&](int i) {
        bool good = false;
        const qint64 v = f[i].toLongLong(&good);
        ok = ok && good && v >= 0;
        return v;
    };
    path = QByteArray::fromBase64(f[2]);
    r.fileRows = number(3);
    r.fileColumns = number(4);
    r.isRaster = number(5) != 0;
    r.cellsLeftOut = number(6);
    r.edgeCells = number(7);
    r.edgeCellsWithoutValue = number(8);
    r.skippedFields.count = number(9);
    r.skippedFields.example = QByteArray::fromBase64(f[10]);
    r.geo.hasTransform = number(11) != 0;
    r.geo.geographic = number(12) != 0;
    for (int t = 0; t < 6; ++t) {
        bool good = false;
        r.geo.transform[t] = f[13 + t].toDouble(&good);
        ok = ok && good;
    }
    r.geo.projection = QByteArray::fromBase64(f[19]);
    r.geo.units = QByteArray::fromBase64(f[20]);
    return ok;
}

QString partError(const SplitParts::Part &part, const QString &why)
{
    return QString::fromLocal8Bit(part.path) + QStringLiteral(": ") + why;
}

// Whether patches read could be a band's, first first after previous (then
// the last of them): each a plausible record, by their first cells.
bool patchesAreSound(const std::vector<PatchSpool::Patch> &patches, std::optional<Cluster> &previous)
{
    for (const PatchSpool::Patch &patch : patches) {
        const Cluster &c = patch.record;
        const bool plausible = c.cells >= 1 && c.runs >= 1 && c.runs <= c.cells && c.overlaps >= 0
                && c.overlaps < c.cells && c.rowMin >= 0 && c.rowMin <= c.rowMax && c.columnMin >= 0
                && c.columnMin <= c.startColumn && c.startColumn <= c.columnMax;
        const bool after = !previous || previous->beginsBefore(c);
        if (!plausible || !after)
            return false;
        previous = c;
    }
    return true;
}

// The next map of a part: its line, then its seams (and patches, into
// result.patches when it is not null) or why it could not be read; false,
// with the reason, for a part that does not hold it whole.
bool readMap(SplitParts::Part &part, qsizetype index, QByteArray &line, QByteArray &path,
             PercolationBatch::Result &result, QString *errorString)
{
    std::vector<PatchSpool::Patch> patches;
    std::optional<Cluster> previous;
    if (line.isEmpty() && part.reader->next(line) != LineReader::Line) {
        *errorString = partError(part, tr("it ends before the map %1 (cut?)").arg(index + 1));
        return false;
    }
    if (!readMapLine(line, index, path, result)) {
        *errorString = partError(part, tr("the map %1 is not where it should be, or its line is damaged").arg(index + 1));
        return false;
    }
    QByteArray seam;
    line.clear();
    LineReader::Status status;
    while ((status = part.reader->next(line)) == LineReader::Line) {
        if (line.startsWith("seam\t")) {
            seam += QByteArray::fromBase64(line.mid(5));
        } else if (line.startsWith("patches\t")) {
            patches.clear();
            const auto bytes = QByteArray::fromBase64Encoding(line.mid(8), QByteArray::AbortOnBase64DecodingErrors);
            if (!bytes || !PatchSpool::fromBytes(*bytes, patches) || !patchesAreSound(patches, previous)) {
                *errorString = partError(part, tr("the patches of map %1 are damaged").arg(index + 1));
                return false;
            }
            for (const PatchSpool::Patch &patch : patches) {
                if (result.patches)
                    result.patches->addFirstFirst(patch);
            }
        } else if (line.startsWith("error\t")) {
            result.errorString = QString::fromUtf8(QByteArray::fromBase64(line.mid(6)));
        } else {
            break;
        }
        line.clear();
    }
    if (status == LineReader::Error) {
        *errorString = part.reader->errorString();
        return false;
    }
    if (status == LineReader::End)
        line.clear();
    result.seam = seam;
    return true;
}

// A map's patches from its parts: each part's own (its band's, own[k]),
// and those that cross the parts' seams, joined (seams), whose cells'
// distances from their centroids need the bands that hold their parts read
// again, on jobs threads; into whole.patches.
bool mergePatches(const QByteArray &path, const PercolationBatch::Options &batch,
                  const std::vector<SplitParts::Part> &parts, PatchSeams &seams,
                  const std::vector<std::shared_ptr<PatchSpool>> &own, int jobs, PercolationBatch::Result &whole,
                  QString *errorString)
{
    seams.finish();
    std::vector<std::vector<unsigned __int128>> shares(parts.size());
    std::vector<QString> errors(parts.size());
    WorkerPool::run(
            qint64(parts.size()), jobs,
            [&](qint64 k) {
                auto given = std::make_shared<PatchSeams::Given>(seams.given(size_t(k)));
                if (given->patches.empty())
                    return WorkerPool::Done;
                PercolationBatch::Options again = batch;
                again.rows = parts[size_t(k)].shard;
                again.partPatches = given;
                PercolationBatch::Result result = PercolationBatch::test(path, again);
                if (!result.errorString.isEmpty())
                    errors[size_t(k)] = tr("the patches that cross the parts' seams need their bands read again, "
                                           "and %1 cannot be: %2")
                                                .arg(QString::fromLocal8Bit(path), result.errorString);
                shares[size_t(k)] = std::move(result.partDistances);
                return WorkerPool::Done;
            },
            [](qint64) {});
    for (const QString &error : errors) {
        if (!error.isEmpty()) {
            *errorString = error;
            return false;
        }
    }
    whole.patches = std::make_shared<PatchSpool>();
    const auto ownOf = [&own](size_t band, const std::function<void(const PatchSpool::Patch &)> &onPatch,
                              QString *error) {
        return own[band]->read(
                [&onPatch](const PatchSpool::Patch &patch) {
                    onPatch(patch);
                    return true;
                },
                error);
    };
    return whole.patches->open(errorString) && seams.gather(ownOf, shares, batch.minCells, *whole.patches, errorString)
            && whole.patches->close(errorString);
}

} // namespace

namespace RowsParts {

Writer::Writer(const PercolationBatch::Options &batch, const QByteArrayList &paths)
    : m_batch(batch)
    , m_paths(paths)
{
}

bool Writer::open(const QByteArray &path, QString *errorString)
{
    if (!m_file.open(path == "-" ? QByteArray() : path)) {
        *errorString = m_file.errorString();
        return false;
    }
    const QByteArrayList fields = optionFields(m_batch);
    const QByteArray description = PercolationReport::partDescription(m_paths, fields);
    m_written = m_file.write(SplitParts::shardLine(Prefix, *m_batch.rows, description)) >= 0
            && m_file.write("options\t" + fields.join('\t') + '\n') >= 0;
    return true;
}

void Writer::add(const PercolationBatch::Result &result)
{
    QByteArray out = mapLine(result.index, m_paths[result.index], result);
    if (!result.errorString.isEmpty()) {
        out += "error\t" + b64(result.errorString.toUtf8()) + '\n';
    } else {
        const QByteArray seam = b64(result.seam);
        for (qsizetype at = 0; at < seam.size(); at += SeamLine)
            out += "seam\t" + seam.mid(at, SeamLine) + '\n';
    }
    m_written = m_written && m_file.write(out) == out.size();
    // The band's own patches, first first, a line per few dozen.
    if (result.patches && result.errorString.isEmpty()) {
        std::vector<PatchSpool::Patch> line;
        const auto flush = [&] {
            const QByteArray text = "patches\t" + b64(PatchSpool::toBytes(line)) + '\n';
            m_written = m_written && m_file.write(text) == text.size();
            line.clear();
        };
        QString why;
        m_written = m_written && result.patches->read(
                                         [&](const PatchSpool::Patch &patch) {
                                             line.push_back(patch);
                                             if (line.size() == PatchesPerLine)
                                                 flush();
                                             return m_written;
                                         },
                                         &why);
        if (!line.empty())
            flush();
    }
    ++m_maps;
}

bool Writer::finish(QString *errorString)
{
    const QByteArray end = "end\t" + QByteArray::number(m_maps) + '\n';
    m_written = m_written && m_file.write(end) == end.size();
    if (!m_written || !m_file.commit()) {
        *errorString = m_file.errorString();
        m_file.cancel();
        return false;
    }
    return true;
}

bool isPart(const QByteArray &firstLine)
{
    return firstLine.startsWith(Prefix);
}

int merge(const QByteArrayList &paths, const QByteArray &output, const QByteArray &patchesOutput, int jobs,
          const char *program, std::FILE *err)
{
    const auto fail = [&](const QString &why) {
        std::fprintf(err, "%s: the rows parts cannot be merged: %s\n", program, why.toLocal8Bit().constData());
        return 1;
    };
    std::vector<SplitParts::Part> parts;
    QString why;
    if (!SplitParts::openAll(paths, kind(), true, parts, &why))
        return fail(why);
    const std::optional<PercolationBatch::Options> batch = optionsOf(parts.front().head);
    for (const SplitParts::Part &part : parts) {
        if (!part.shard)
            return fail(partError(part, tr("is not a rows part")));
        if (!batch || part.head != parts.front().head)
            return fail(partError(part, tr("its options line is damaged")));
    }
    const bool patches = !patchesOutput.isEmpty();
    if (patches && !batch->patches)
        return fail(tr("the parts hold no patches: give the runs of --rows --patches, naming their part"));

    // The maps, one at a time through every part: each part's band of a map
    // joined to the bands above it, as the parts come in order of rows.
    QByteArrayList names;
    std::vector<QByteArray> lines(parts.size());
    std::vector<PercolationBatch::Result> results;
    for (qsizetype index = 0;; ++index) {
        // The end of every part, or the next map of each.
        if (lines[0].isEmpty() && parts[0].reader->next(lines[0]) != LineReader::Line)
            return fail(partError(parts[0], tr("it ends without its end line (cut?)")));
        if (lines[0].startsWith("end\t")) {
            for (size_t k = 0; k < parts.size(); ++k) {
                if (lines[k].isEmpty() && parts[k].reader->next(lines[k]) != LineReader::Line)
                    lines[k] = "(nothing)";
                if (lines[k] != "end\t" + QByteArray::number(index))
                    return fail(partError(parts[k], tr("it does not end after the %1 maps of the others (cut?)").arg(index)));
                QByteArray after;
                if (parts[k].reader->next(after) != LineReader::End)
                    return fail(partError(parts[k], tr("something follows its end line")));
            }
            break;
        }
        PercolationBatch::Result whole;
        PercolationBatch::BandJoin joined;
        PatchSeams seams;
        std::vector<std::shared_ptr<PatchSpool>> own(parts.size());
        QByteArray path;
        for (size_t k = 0; k < parts.size(); ++k) {
            PercolationBatch::Result part;
            QByteArray partPath;
            if (patches) {
                part.patches = own[k] = std::make_shared<PatchSpool>();
                if (!own[k]->open(&why))
                    return fail(why);
            }
            if (!readMap(parts[k], index, lines[k], partPath, part, &why) || (own[k] && !own[k]->close(&why)))
                return fail(why);
            part.patches.reset();
            if (k == 0) {
                whole = part;
                whole.seam.clear();
                path = partPath;
            } else if (partPath != path) {
                return fail(partError(parts[k], tr("its map %1 is another file").arg(index + 1)));
            } else {
                whole.cellsLeftOut += part.cellsLeftOut;
                whole.edgeCells += part.edgeCells;
                whole.edgeCellsWithoutValue += part.edgeCellsWithoutValue;
                whole.skippedFields.count += part.skippedFields.count;
                if (whole.skippedFields.example.isEmpty())
                    whole.skippedFields.example = part.skippedFields.example;
            }
            if (whole.errorString.isEmpty() && !part.errorString.isEmpty())
                whole.errorString = part.errorString;
            if (!whole.errorString.isEmpty())
                continue;
            std::optional<BandSeam> band = BandSeam::read(part.seam, &why);
            // The second round knows the parts of patches by their indices in
            // the seam, numbered in row order since parts were searched in
            // bands (parts written before number them as their search ended).
            const bool earlier = band && patches && !band->inRowOrder();
            if (earlier)
                why = tr("its seam numbers its parts of patches as an earlier vantrix-percolate did: write the "
                         "parts again");
            if (!band || earlier || (patches && !seams.addSeam(*band, &why)) || !joined.add(std::move(*band), &why))
                return fail(partError(parts[k], tr("map %1: %2").arg(index + 1).arg(why)));
        }
        if (whole.errorString.isEmpty() && !joined.finish(*batch, whole))
            return fail(tr("the parts' bands of map %1 do not make the whole map").arg(index + 1));
        if (patches && whole.errorString.isEmpty() && !mergePatches(path, *batch, parts, seams, own, jobs, whole, &why))
            return fail(tr("map %1: %2").arg(index + 1).arg(why));
        whole.index = index;
        names << path;
        results.push_back(std::move(whole));
    }

    // The tables, written as the run over the whole maps writes them.
    BatchOutputs::Options outputs;
    outputs.program = program;
    outputs.report = "/dev/null";
    outputs.table = output.isEmpty() ? QByteArray("-") : output;
    outputs.patches = patchesOutput;
    PercolationBatch::Options written = *batch;
    written.patches = patches;
    BatchOutputs writer(outputs, written, names, err);
    if (!writer.open())
        return 1;
    for (const PercolationBatch::Result &result : results)
        writer.add(result);
    return writer.finish();
}

} // namespace RowsParts
