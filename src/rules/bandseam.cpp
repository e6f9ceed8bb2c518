#include "bandseam.h"

#include "unionfind.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>
#include <map>
#include <numeric>

namespace {

using u128 = unsigned __int128;

QString tr(const char *text)
{
    return QCoreApplication::translate("BandSeam", text);
}

using UnionFind::findRoot;

qint64 bitCount(quint64 x)
{
    return __builtin_popcountll(x);
}

// The habitat of a cover row, a bit per cell, from its runs.
std::vector<quint64> habitatBits(const BandSeam::Row &row, size_t words)
{
    std::vector<quint64> bits(words, 0);
    for (size_t k = 0; k < row.begin.size(); ++k)
        for (qint64 c = row.begin[k]; c < row.end[k]; ++c)
            bits[size_t(c) / 64] |= quint64(1) << (c % 64);
    return bits;
}

// ---- bytes: LEB128 integers, 128-bit ones as two halves.

class Writer
{
public:
    void number(quint64 v)
    {
        do {
            const char byte = char((v & 0x7F) | (v >= 0x80 ? 0x80 : 0));
            bytes.append(byte);
            v >>= 7;
        } while (v);
    }
    void wide(u128 v)
    {
        number(quint64(v));
        number(quint64(v >> 64));
    }
    void signedNumber(qint64 v) { number((quint64(v) << 1) ^ quint64(v >> 63)); }
    template <typename T>
    void numbers(const std::vector<T> &values)
    {
        number(values.size());
        for (const T v : values) {
            if constexpr (std::is_signed_v<T>)
                signedNumber(v);
            else
                number(v);
        }
    }
    QByteArray bytes;
};

class Reader
{
public:
    explicit Reader(const QByteArray &b)
        : at(b.constData())
        , end(b.constData() + b.size())
    {
    }
    quint64 number()
    {
        quint64 v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (at == end) {
                failed = true;
                return 0;
            }
            const quint8 byte = quint8(*at++);
            v |= quint64(byte & 0x7F) << shift;
            if (!(byte & 0x80))
                return v;
        }
        failed = true;
        return 0;
    }
    u128 wide()
    {
        const quint64 low = number();
        return u128(low) | (u128(number()) << 64);
    }
    qint64 signedNumber()
    {
        const quint64 v = number();
        return qint64(v >> 1) ^ -qint64(v & 1);
    }
    // A count of things that each take at least a byte: never more than the
    // bytes left, so a damaged count cannot ask for memory it has not.
    size_t count()
    {
        const quint64 n = number();
        if (n > quint64(end - at)) {
            failed = true;
            return 0;
        }
        return size_t(n);
    }
    template <typename T>
    void numbers(std::vector<T> &values)
    {
        values.resize(count());
        for (T &v : values) {
            if constexpr (std::is_signed_v<T>)
                v = T(signedNumber());
            else
                v = T(number());
        }
    }
    const char *at;
    const char *end;
    bool failed = false;
};

// Version 2 keeps the open clusters' first cells (for their patches);
// version 1's seams are still read, without them.
constexpr char Magic[] = "vantrix band seam 2\n";
constexpr char FirstMagic[] = "vantrix band seam 1\n";

void writeRow(Writer &w, const BandSeam::Row &row)
{
    w.numbers(row.begin);
    w.numbers(row.end);
    w.numbers(row.value);
    w.numbers(row.label);
    w.numbers(row.matrix);
}

void readRow(Reader &r, BandSeam::Row &row)
{
    r.numbers(row.begin);
    r.numbers(row.end);
    r.numbers(row.value);
    r.numbers(row.label);
    r.numbers(row.matrix);
}

// Whether a row read is one the band's search could have written: runs
// ordered within the width, a label each (into open) and a value each for
// classes, matrix words for the width.
bool rowIsSound(const BandSeam &seam, const BandSeam::Row &row)
{
    const size_t n = row.begin.size();
    if (row.end.size() != n || row.label.size() != n || (seam.classes && row.value.size() != n))
        return false;
    qint32 last = 0;
    for (size_t k = 0; k < n; ++k) {
        if (row.begin[k] < last || row.end[k] <= row.begin[k] || row.end[k] > seam.columns
            || row.label[k] >= seam.open.size())
            return false;
        last = row.end[k];
    }
    return row.matrix.empty() || row.matrix.size() == size_t((seam.columns + 63) / 64);
}

// Whether an open cluster read could be one: a run at least, no more runs
// or vertical pairs than cells, and no more cells than the landscape has.
bool clusterIsSound(const BandSeam &seam, const Cluster &c)
{
    const long double most = (long double)seam.rows * (long double)seam.columns;
    return c.cells >= 1 && (long double)c.cells <= most && c.runs >= 1 && c.runs <= c.cells && c.overlaps >= 0
            && c.overlaps < c.cells && c.otherSidesVertical >= 0
            && (!seam.classes || c.otherSidesVertical <= 2 * c.runs);
}

using Boxes = std::vector<GlidingBoxes::Sums>;

// Two bands' sums of boxes of the same sides added; false when the sides
// differ.
bool addBoxes(Boxes &into, const Boxes &from)
{
    if (into.empty()) {
        into = from;
        return true;
    }
    if (from.empty())
        return true;
    if (into.size() != from.size())
        return false;
    for (size_t k = 0; k < into.size(); ++k) {
        if (into[k].side != from[k].side)
            return false;
        into[k].boxes += from[k].boxes;
        into[k].sum += from[k].sum;
        into[k].sumSquares += from[k].sumSquares;
    }
    return true;
}

void writeBoxes(Writer &w, const Boxes &boxes)
{
    w.number(boxes.size());
    for (const GlidingBoxes::Sums &b : boxes) {
        w.signedNumber(b.side);
        w.number(b.boxes);
        w.wide(b.sum);
        w.wide(b.sumSquares);
    }
}

void readBoxes(Reader &r, Boxes &boxes)
{
    boxes.resize(r.count());
    for (GlidingBoxes::Sums &b : boxes) {
        b.side = r.signedNumber();
        b.boxes = r.number();
        b.sum = r.wide();
        b.sumSquares = r.wide();
    }
}

// A cluster the band no longer holds open, into its statistics.
void complete(BandSeam &band, const Cluster &cluster, std::map<qint32, ClusterStatistics> &perClass)
{
    ClusterStatistics &into = band.classes ? perClass[cluster.value] : band.cover;
    if (band.statistics) {
        into.add(cluster);
    } else {
        into.spansLeftRight |= ClusterRecord::spansLeftRight(cluster.edges);
        into.spansTopBottom |= ClusterRecord::spansTopBottom(cluster.edges);
    }
}

} // namespace

bool BandSeam::join(const BandSeam &above, const BandSeam &below, BandSeam &joined, QString *errorString)
{
    if (above.endRow != below.firstRow || above.rows != below.rows || above.columns != below.columns
        || above.classes != below.classes || above.connectivity != below.connectivity
        || above.statistics != below.statistics) {
        *errorString = tr("the bands of rows %1-%2 and %3-%4 are not adjacent bands of one landscape and search")
                               .arg(above.firstRow)
                               .arg(above.endRow - 1)
                               .arg(below.firstRow)
                               .arg(below.endRow - 1);
        return false;
    }
    // A band without rows (a part of a map of fewer rows than parts) joins
    // nothing: its neighbour's seams stay as they are.
    if (below.firstRow == below.endRow || above.firstRow == above.endRow) {
        const bool belowEmpty = below.firstRow == below.endRow;
        joined = belowEmpty ? above : below;
        joined.firstRow = above.firstRow;
        joined.endRow = below.endRow;
        return true;
    }
    BandSeam out;
    out.connectivity = above.connectivity;
    out.classes = above.classes;
    out.statistics = above.statistics;
    out.rows = above.rows;
    out.columns = above.columns;
    out.firstRow = above.firstRow;
    out.endRow = below.endRow;
    out.cells = above.cells + below.cells;
    out.habitat = above.habitat + below.habitat;
    out.cover = above.cover;
    out.cover.add(below.cover);
    std::map<qint32, ClusterStatistics> perClass(above.perClass.begin(), above.perClass.end());
    for (const auto &[value, found] : below.perClass)
        perClass[value].add(found);
    std::map<qint32, Boxes> classBoxes(above.classBoxes.begin(), above.classBoxes.end());
    out.boxes = above.boxes;
    bool sameSides = addBoxes(out.boxes, below.boxes);
    for (const auto &[value, sums] : below.classBoxes)
        sameSides = addBoxes(classBoxes[value], sums) && sameSides;
    if (!sameSides) {
        *errorString = tr("the bands of rows %1-%2 and %3-%4 have boxes of other sides")
                               .arg(above.firstRow)
                               .arg(above.endRow - 1)
                               .arg(below.firstRow)
                               .arg(below.endRow - 1);
        return false;
    }
    out.classBoxes.assign(classBoxes.begin(), classBoxes.end());

    // Union-find over both bands' open clusters, below's after above's.
    const quint32 offset = quint32(above.open.size());
    std::vector<Cluster> records;
    records.reserve(above.open.size() + below.open.size());
    records.assign(above.open.begin(), above.open.end());
    records.insert(records.end(), below.open.begin(), below.open.end());
    std::vector<quint32> parent(records.size());
    std::iota(parent.begin(), parent.end(), 0u);

    // Equal classes that meet across the seam join; what they share is a
    // vertical pair of the cluster's, and under classes what runs of other
    // classes share is a side of each.
    const BandSeam::Row &a = above.bottom;
    const BandSeam::Row &b = below.top;
    meet(a, b, above.connectivity, [&](size_t k, size_t j, qint32 shared) {
        const quint32 upper = a.label[k];
        const quint32 lower = offset + b.label[j];
        if (!above.classes || a.value[k] == b.value[j]) {
            if (shared > 0)
                records[upper].overlaps += shared;
            UnionFind::unite(parent, upper, lower);
        } else if (shared > 0 && above.statistics) {
            perClass[a.value[k]].edgeSidesHorizontal += shared;
            perClass[b.value[j]].edgeSidesHorizontal += shared;
        }
    });
    if (!above.classes && above.statistics && !a.matrix.empty() && !b.matrix.empty()) {
        const size_t words = a.matrix.size();
        const std::vector<quint64> habitatA = habitatBits(a, words);
        const std::vector<quint64> habitatB = habitatBits(b, words);
        for (size_t w = 0; w < words; ++w)
            out.cover.edgeSidesHorizontal += bitCount(habitatA[w] & b.matrix[w]) + bitCount(a.matrix[w] & habitatB[w]);
    }

    // Each joined cluster's record at its root; those the joined band's outer
    // rows still touch stay open, the others are complete.
    for (quint32 i = 0; i < records.size(); ++i) {
        const quint32 root = findRoot(parent, i);
        if (root != i)
            records[root].add(records[i]);
    }
    std::vector<quint32> index(records.size(), quint32(-1));
    auto keep = [&](quint32 label) {
        const quint32 root = findRoot(parent, label);
        if (index[root] == quint32(-1)) {
            index[root] = quint32(out.open.size());
            out.open.push_back(records[root]);
        }
        return index[root];
    };
    out.top = above.top;
    for (quint32 &label : out.top.label)
        label = keep(label);
    out.bottom = below.bottom;
    for (quint32 &label : out.bottom.label)
        label = keep(offset + label);
    for (quint32 i = 0; i < records.size(); ++i) {
        if (findRoot(parent, i) == i && index[i] == quint32(-1))
            complete(out, records[i], perClass);
    }
    out.perClass.assign(perClass.begin(), perClass.end());
    joined = std::move(out);
    return true;
}

void BandSeam::numberOpenInRowOrder()
{
    std::vector<quint32> index(open.size(), quint32(-1));
    std::vector<Cluster> ordered;
    ordered.reserve(open.size());
    const auto renumber = [&](quint32 &label) {
        if (index[label] == quint32(-1)) {
            index[label] = quint32(ordered.size());
            ordered.push_back(open[label]);
        }
        label = index[label];
    };
    for (quint32 &label : top.label)
        renumber(label);
    for (quint32 &label : bottom.label)
        renumber(label);
    // An open cluster touches an outer row; should one not, it keeps its
    // place after them.
    for (size_t i = 0; i < open.size(); ++i) {
        if (index[i] == quint32(-1))
            ordered.push_back(open[i]);
    }
    open = std::move(ordered);
}

bool BandSeam::inRowOrder() const
{
    quint32 next = 0;
    for (const Row *row : {&top, &bottom}) {
        for (const quint32 label : row->label) {
            if (label > next)
                return false;
            next += label == next ? 1 : 0;
        }
    }
    return true;
}

BandSeam BandSeam::asLandscape() const
{
    BandSeam landscape;
    landscape.connectivity = connectivity;
    landscape.classes = classes;
    landscape.statistics = statistics;
    landscape.rows = landscape.endRow = endRow - firstRow;
    landscape.columns = columns;
    landscape.cells = cells;
    landscape.habitat = habitat;
    landscape.cover = cover;
    landscape.boxes = boxes;
    landscape.classBoxes = classBoxes;
    std::vector<quint8> edges(open.size(), 0);
    for (const quint32 label : top.label)
        edges[label] |= ClusterRecord::Top;
    for (const quint32 label : bottom.label)
        edges[label] |= ClusterRecord::Bottom;
    std::map<qint32, ClusterStatistics> perClassOf(perClass.begin(), perClass.end());
    for (size_t i = 0; i < open.size(); ++i) {
        if (edges[i] == 0) {
            complete(landscape, open[i], perClassOf);
            continue;
        }
        Cluster cluster = open[i];
        cluster.edges |= edges[i];
        complete(landscape, cluster, perClassOf);
    }
    landscape.perClass.assign(perClassOf.begin(), perClassOf.end());
    return landscape;
}

ClusterStatistics BandSeam::coverStatistics() const
{
    ClusterStatistics result = cover;
    result.cells = cells;
    if (!statistics)
        result.habitat = habitat;
    return result;
}

std::vector<std::pair<qint32, ClusterStatistics>> BandSeam::classStatistics() const
{
    std::vector<std::pair<qint32, ClusterStatistics>> result = perClass;
    for (auto &[value, found] : result)
        found.cells = cells;
    return result;
}

std::vector<std::pair<qint32, std::vector<GlidingBoxes::Sums>>> BandSeam::wholeClassBoxes() const
{
    auto result = classBoxes;
    for (auto &[value, sums] : result) {
        for (GlidingBoxes::Sums &b : sums)
            b.boxes = GlidingBoxes::boxesOf(b.side, rows, columns);
    }
    return result;
}

QByteArray BandSeam::write() const
{
    Writer w;
    w.bytes.append(Magic);
    w.number(connectivity);
    w.number(quint64(classes) | quint64(statistics) << 1);
    for (const qint64 v : {rows, columns, firstRow, endRow, cells, habitat})
        w.signedNumber(v);
    writeRow(w, top);
    writeRow(w, bottom);
    w.number(open.size());
    for (const Cluster &c : open) {
        w.signedNumber(c.value);
        w.number(c.edges);
        for (const qint64 v : {c.cells, c.runs, c.overlaps, c.otherSidesVertical, c.rowMin,
                               c.rowMax, c.columnMin, c.columnMax})
            w.signedNumber(v);
        w.wide(c.sumX);
        w.wide(c.sumY);
        w.wide(c.sumSquares);
        w.signedNumber(c.startColumn);
        w.number(c.firstCellIndex(columns));
    }
    cover.writeTo(w);
    w.number(perClass.size());
    for (const auto &[value, found] : perClass) {
        w.signedNumber(value);
        found.writeTo(w);
    }
    writeBoxes(w, boxes);
    w.number(classBoxes.size());
    for (const auto &[value, sums] : classBoxes) {
        w.signedNumber(value);
        writeBoxes(w, sums);
    }
    w.bytes.append("end\n");
    return w.bytes;
}

std::optional<BandSeam> BandSeam::read(const QByteArray &bytes, QString *errorString)
{
    const qsizetype magic = qsizetype(std::strlen(Magic));
    const bool firstCells = bytes.startsWith(Magic);
    if (!(firstCells || bytes.startsWith(FirstMagic)) || !bytes.endsWith("end\n")) {
        *errorString = tr("it holds no band's seams, or only part of them");
        return std::nullopt;
    }
    Reader r(bytes);
    r.at += magic;
    r.end -= 4;
    BandSeam seam;
    const quint64 connectivity = r.number();
    seam.connectivity = connectivity == 1 ? ClusterRecord::Eight : ClusterRecord::Four;
    const quint64 flags = r.number();
    seam.classes = flags & 1;
    seam.statistics = flags & 2;
    for (qint64 *v : {&seam.rows, &seam.columns, &seam.firstRow, &seam.endRow, &seam.cells, &seam.habitat})
        *v = r.signedNumber();
    readRow(r, seam.top);
    readRow(r, seam.bottom);
    seam.open.resize(r.count());
    for (Cluster &c : seam.open) {
        c.value = qint32(r.signedNumber());
        c.edges = quint8(r.number());
        for (qint64 *v : {&c.cells, &c.runs, &c.overlaps, &c.otherSidesVertical, &c.rowMin,
                          &c.rowMax, &c.columnMin, &c.columnMax})
            *v = r.signedNumber();
        c.sumX = r.wide();
        c.sumY = r.wide();
        c.sumSquares = r.wide();
        c.startColumn = firstCells ? r.signedNumber() : c.columnMin;
        c.start = firstCells ? r.number() : 0;
    }
    seam.cover.readFrom(r);
    seam.perClass.resize(r.count());
    for (auto &[value, found] : seam.perClass) {
        value = qint32(r.signedNumber());
        found.readFrom(r);
    }
    readBoxes(r, seam.boxes);
    seam.classBoxes.resize(r.count());
    for (auto &[value, sums] : seam.classBoxes) {
        value = qint32(r.signedNumber());
        readBoxes(r, sums);
    }
    const bool sound = !r.failed && r.at == r.end && connectivity <= 1 && seam.columns >= 0
            && seam.columns <= (qint64(1) << 30) && seam.firstRow >= 0 && seam.firstRow <= seam.endRow
            && seam.endRow <= seam.rows && rowIsSound(seam, seam.top) && rowIsSound(seam, seam.bottom)
            && (seam.firstRow > 0 || seam.top.begin.empty()) && (seam.endRow < seam.rows || seam.bottom.begin.empty())
            && std::all_of(seam.open.begin(), seam.open.end(),
                           [&seam](const Cluster &c) { return !seam.statistics || clusterIsSound(seam, c); });
    if (!sound) {
        *errorString = tr("its band's seams are damaged");
        return std::nullopt;
    }
    return seam;
}
