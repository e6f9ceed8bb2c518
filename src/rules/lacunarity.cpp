#include "lacunarity.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

namespace {

using u128 = unsigned __int128;

} // namespace

double GlidingBoxes::Sums::lacunarity() const
{
    if (boxes == 0 || sum == 0)
        return std::numeric_limits<double>::quiet_NaN();
    const long double total = (long double)sum;
    return double((long double)boxes * (long double)sumSquares / (total * total));
}

struct GlidingBoxes::Private
{
    std::vector<qint64> sides;
    qint64 rows = 0;
    qint64 columns = 0;
    qint64 row = 0;      // the next row, counted from the first given
    qint64 firstRow = 0; // the landscape's row of the first row given
    qint64 countFrom = 0; // the first last row of a box counted
    qint64 deepest = 0;  // the largest side that fits
    // The last `deepest` rows, a cell each: habitat (0/1) or, for classes,
    // the class index + 1 (0 for none).
    std::vector<std::vector<qint32>> ring;
    std::vector<qint32> now; // the row being added
    qint32 lastValue = 0;    // classes: the value looked up last, and its index
    qint32 lastIndex = -1;

    // One cover: per side, the habitat of each column in the side's last rows.
    std::vector<std::vector<qint32>> columnSums;
    std::vector<Sums> sums;

    // Classes: an index per class value, and per class and side the same.
    std::map<qint32, qint32> classIndex;
    std::vector<qint32> classValues;
    std::vector<std::vector<std::vector<qint32>>> classColumnSums;
    std::vector<std::vector<Sums>> classSums;

    // Boxes of the side whose last row is this one: every column window.
    static void slide(const std::vector<qint32> &column, qint64 side, qint64 columns, Sums &into)
    {
        if (side > columns)
            return;
        qint64 box = 0;
        for (qint64 c = 0; c < side; ++c)
            box += column[size_t(c)];
        u128 sum = 0;
        u128 squares = 0;
        for (qint64 c = 0;; ++c) {
            sum += u128(box);
            squares += u128(box) * u128(box);
            if (c + side >= columns)
                break;
            box += column[size_t(c + side)] - column[size_t(c)];
        }
        into.boxes += quint64(columns - side + 1);
        into.sum += sum;
        into.sumSquares += squares;
    }

    qint32 indexOf(qint32 value)
    {
        if (lastIndex >= 0 && value == lastValue)
            return lastIndex;
        lastValue = value;
        lastIndex = lookUp(value);
        return lastIndex;
    }
    qint32 lookUp(qint32 value)
    {
        const auto found = classIndex.find(value);
        if (found != classIndex.end())
            return found->second;
        const qint32 index = qint32(classValues.size());
        classIndex.emplace(value, index);
        classValues.push_back(value);
        classColumnSums.emplace_back(sides.size(), std::vector<qint32>(size_t(columns), 0));
        classSums.emplace_back();
        for (const qint64 side : sides)
            classSums.back().push_back(Sums{side, 0, 0, 0});
        // Boxes counted before this class was seen held none of it: only
        // their count.
        for (size_t k = 0; k < sides.size(); ++k) {
            const qint64 side = sides[k];
            const qint64 counted = firstRow + row - std::max(countFrom, side - 1);
            if (side <= columns && counted > 0)
                classSums.back()[k].boxes = quint64(counted) * quint64(columns - side + 1);
        }
        return index;
    }

    // Takes this row (its cells in ring[row % deepest]) into every side.
    // Takes a row: indexOf(column) for each cell, then the boxes ending there.
    template <typename IndexOf, typename ColumnsOf, typename Slide>
    void takeRow(qint64 length, IndexOf indexOf, ColumnsOf columnsOf, Slide slideAll, bool classes);
    template <typename Columns, typename Into>
    void addBoxes(const std::vector<qint32> &cells, Columns &&columnsOf, Into &&into, bool classes)
    {
        for (size_t k = 0; k < sides.size(); ++k) {
            const qint64 side = sides[k];
            if (side > deepest)
                continue;
            const std::vector<qint32> *leaving = row >= side ? &ring[size_t((row - side) % deepest)] : nullptr;
            for (qint64 c = 0; c < columns; ++c) {
                if (classes) {
                    if (const qint32 entering = cells[size_t(c)])
                        columnsOf(entering - 1, k)[size_t(c)] += 1;
                    if (leaving && (*leaving)[size_t(c)])
                        columnsOf((*leaving)[size_t(c)] - 1, k)[size_t(c)] -= 1;
                } else {
                    columnsOf(0, k)[size_t(c)] += cells[size_t(c)] - (leaving ? (*leaving)[size_t(c)] : 0);
                }
            }
            if (firstRow + row + 1 >= side && firstRow + row >= countFrom)
                into(k, side);
        }
    }
};

GlidingBoxes::GlidingBoxes()
    : d(std::make_unique<Private>())
{
}

GlidingBoxes::~GlidingBoxes() = default;

void GlidingBoxes::begin(const std::vector<qint64> &sides, qint64 rows, qint64 columns, qint64 firstRow,
                         qint64 countFrom)
{
    Private &p = *d;
    p.sides = sides;
    p.rows = std::max<qint64>(0, rows);
    p.columns = std::max<qint64>(0, columns);
    p.row = 0;
    p.firstRow = std::max<qint64>(0, firstRow);
    p.countFrom = std::max(p.firstRow, countFrom);
    p.deepest = 0;
    for (const qint64 side : sides) {
        if (side >= 1 && side <= p.rows && side <= p.columns)
            p.deepest = std::max(p.deepest, side);
    }
    p.ring.assign(size_t(p.deepest), std::vector<qint32>(size_t(p.deepest > 0 ? p.columns : 0), 0));
    p.columnSums.assign(sides.size(), std::vector<qint32>(size_t(p.deepest > 0 ? p.columns : 0), 0));
    p.sums.clear();
    for (const qint64 side : sides)
        p.sums.push_back(Sums{side, 0, 0, 0});
    p.classIndex.clear();
    p.classValues.clear();
    p.classColumnSums.clear();
    p.classSums.clear();
    p.lastIndex = -1;
}

template <typename IndexOf, typename ColumnsOf, typename Slide>
void GlidingBoxes::Private::takeRow(qint64 length, IndexOf indexOf, ColumnsOf columnsOf, Slide slideAll, bool classes)
{
    if (deepest == 0 || firstRow + row >= rows)
        return;
    // The row leaving the deepest window is read before it is overwritten:
    // this row is kept apart until the boxes are counted.
    now.assign(size_t(columns), 0);
    const qint64 n = std::min(length, columns);
    for (qint64 c = 0; c < n; ++c)
        now[size_t(c)] = indexOf(c); // 0: not habitat; else the class's index + 1
    addBoxes(now, columnsOf, slideAll, classes);
    ring[size_t(row % deepest)].swap(now);
    ++row;
}

void GlidingBoxes::addRow(const qint8 *cells, qint64 length)
{
    Private &p = *d;
    p.takeRow(
            length, [cells](qint64 c) { return cells[c] > 0 ? 1 : 0; },
            [&p](qint32, size_t k) -> std::vector<qint32> & { return p.columnSums[k]; },
            [&p](size_t k, qint64 side) { Private::slide(p.columnSums[k], side, p.columns, p.sums[k]); }, false);
}

void GlidingBoxes::addClassRow(const qint32 *values, const quint8 *present, qint64 length)
{
    Private &p = *d;
    p.takeRow(
            length, [&p, values, present](qint64 c) { return present[c] ? p.indexOf(values[c]) + 1 : 0; },
            [&p](qint32 index, size_t k) -> std::vector<qint32> & { return p.classColumnSums[size_t(index)][k]; },
            [&p](size_t k, qint64 side) {
                for (size_t index = 0; index < p.classValues.size(); ++index)
                    Private::slide(p.classColumnSums[index][k], side, p.columns, p.classSums[index][k]);
            },
            true);
}

qint64 GlidingBoxes::reachAbove(const std::vector<qint64> &sides)
{
    const auto largest = std::max_element(sides.begin(), sides.end());
    return largest == sides.end() ? 0 : std::max<qint64>(0, *largest - 1);
}

quint64 GlidingBoxes::boxesOf(qint64 side, qint64 rows, qint64 columns)
{
    return side >= 1 && side <= rows && side <= columns ? quint64(rows - side + 1) * quint64(columns - side + 1) : 0;
}

std::vector<GlidingBoxes::Sums> GlidingBoxes::finish()
{
    return d->sums;
}

std::vector<std::pair<qint32, std::vector<GlidingBoxes::Sums>>> GlidingBoxes::finishClasses()
{
    Private &p = *d;
    std::vector<std::pair<qint32, std::vector<Sums>>> out;
    for (const auto &[value, index] : p.classIndex)
        out.emplace_back(value, p.classSums[size_t(index)]);
    return out;
}
