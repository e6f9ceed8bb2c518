#include "clusterscan.h"

#include "coverbits.h"
#include "patchnumbers.h"
#include "unionfind.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

using u128 = unsigned __int128;

// ---------------------------------------------------------------------------
// Runs of a row from its cells, 64 cells at a time.

namespace {

// Bit i set where cell i of the 64 at cells is above 0 (habitat); *noValue
// gets the bits of the cells below 0.
inline quint64 habitatMask64(const qint8 *cells, quint64 *noValue)
{
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    quint64 habitat = 0;
    quint64 negative = 0;
    for (int part = 0; part < 4; ++part) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cells + 16 * part));
        habitat |= quint64(quint32(_mm_movemask_epi8(_mm_cmpgt_epi8(bytes, zero)))) << (16 * part);
        negative |= quint64(quint32(_mm_movemask_epi8(bytes))) << (16 * part);
    }
    *noValue = negative;
    return habitat;
#else
    quint64 habitat = 0;
    quint64 negative = 0;
    for (int i = 0; i < 64; ++i) {
        habitat |= quint64(cells[i] > 0) << i;
        negative |= quint64(cells[i] < 0) << i;
    }
    *noValue = negative;
    return habitat;
#endif
}

// Bit i set where present[i] is not 0, for 64 cells.
inline quint64 presentMask64(const quint8 *present)
{
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    quint64 absent = 0;
    for (int part = 0; part < 4; ++part) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(present + 16 * part));
        absent |= quint64(quint32(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero)))) << (16 * part);
    }
    return ~absent;
#else
    quint64 mask = 0;
    for (int i = 0; i < 64; ++i)
        mask |= quint64(present[i] != 0) << i;
    return mask;
#endif
}

// Bit i set where values[i] differs from values[i - 1], for the 64 values at
// values (32-bit or bytes); values[-1] must be readable.
template <typename Value>
inline quint64 changeMask64(const Value *values)
{
    static_assert(sizeof(Value) == 4 || sizeof(Value) == 1);
#ifdef __SSE2__
    constexpr int perLoad = 16 / int(sizeof(Value));
    quint64 same = 0;
    for (int part = 0; part < 64 / perLoad; ++part) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(values + perLoad * part));
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i *>(values + perLoad * part - 1));
        quint32 equal;
        if constexpr (sizeof(Value) == 1)
            equal = quint32(_mm_movemask_epi8(_mm_cmpeq_epi8(here, before)));
        else
            equal = quint32(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(here, before))));
        same |= quint64(equal) << (perLoad * part);
    }
    return ~same;
#else
    quint64 mask = 0;
    for (int i = 0; i < 64; ++i)
        mask |= quint64(values[i] != values[i - 1]) << i;
    return mask;
#endif
}

// A row of one cover's cells as codes (ClusterScan::addRow()) ...
struct CodeRow
{
    const qint8 *cells;

    // The habitat bits of cells [base, base + width), those without a value
    // into noValue.
    quint64 habitat(qint64 base, int width, quint64 valid, quint64 &noValue) const
    {
        if (width == 64)
            return habitatMask64(cells + base, &noValue);
        quint64 there;
        packCoverBits(cells + base, width, &there, &noValue);
        return there & valid;
    }
    qint64 withValue(qint64 length) const
    {
        return std::count_if(cells, cells + length, [](qint8 cell) { return cell >= 0; });
    }
};

// ... and as bits (CoverBits' words).
struct BitRow
{
    const quint64 *habitatWords;
    const quint64 *noValueWords;

    quint64 habitat(qint64 base, int width, quint64 valid, quint64 &noValue) const
    {
        Q_UNUSED(width);
        noValue = noValueWords[base / 64] & valid;
        return habitatWords[base / 64] & valid & ~noValue;
    }
    qint64 withValue(qint64 length) const;
};

// The number of bits set, without relying on a popcount instruction (the
// build targets every x86-64).
inline qint64 bitCount(quint64 x)
{
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return qint64((x * 0x0101010101010101ull) >> 56);
}

inline qint64 BitRow::withValue(qint64 length) const
{
    qint64 none = 0;
    for (qint64 base = 0; base < length; base += 64) {
        const qint64 width = std::min<qint64>(64, length - base);
        none += bitCount(noValueWords[base / 64] & (width == 64 ? ~quint64(0) : (quint64(1) << width) - 1));
    }
    return length - none;
}

// The sum of x^2 over x in [0, n), for n <= 2^21 (narrow sums: the product
// stays below 2^64).
inline quint64 narrowSquaresBelow(quint64 n)
{
    return n * (n - 1) * (2 * n - 1) / 6;
}

// The sum of x^2 over x in [0, n).
inline u128 sumOfSquaresBelow(quint64 n)
{
    if (n < (quint64(1) << 20))
        return (n * (n - 1) * (2 * n - 1)) / 6;
    // n (n - 1) is even, and one of n - 1, n, 2n - 1 is a multiple of 3.
    quint64 a = n - 1, b = n, c = 2 * n - 1;
    if (a % 2 == 0)
        a /= 2;
    else
        b /= 2;
    if (a % 3 == 0)
        a /= 3;
    else if (b % 3 == 0)
        b /= 3;
    else
        c /= 3;
    return u128(a) * b * c;
}

constexpr quint32 NoSlot = std::numeric_limits<quint32>::max();

} // namespace

// ---------------------------------------------------------------------------
// The scan.

namespace {

// Bits of a slot's edges word besides the edges of the landscape.
constexpr quint32 Live = quint32(1) << 31;       // the slot holds a cluster, open or merged
constexpr quint32 Referenced = quint32(1) << 30; // during collect(): a run of the last row leads to it
// Bands: the cluster touches the band's first row, or is open at its end.
constexpr quint32 SeamTop = quint32(1) << 29;
constexpr quint32 SeamBottom = quint32(1) << 28;

using UnionFind::findRoot;

// The runs of a row, 64 cells at a time, from two masks per word that
// masks(base, width, valid, there, change) gives: `there` the cells that
// belong to some run, `change` those whose run cannot be the cell before's
// (another class). A run begins at a cell there after one not there (or the
// row's start) or at a change, and ends after its last cell; a run may end
// where the next begins, and its end is taken first. Each run is handed to
// onRun(begin, end) as soon as its end is found; when onRun returns true the
// row stops there and so does this, returning true.
template <typename Masks, typename OnRun>
inline bool runsOfRow(qint64 length, Masks &&masks, OnRun &&onRun)
{
    qint32 begin = 0;
    quint64 carry = 0; // 1 when the cell before the word is there
    for (qint64 base = 0; base < length; base += 64) {
        const int width = int(std::min<qint64>(64, length - base));
        const quint64 valid = width == 64 ? ~quint64(0) : (quint64(1) << width) - 1;
        quint64 there;
        quint64 change;
        masks(base, width, valid, there, change);
        const quint64 before = (there << 1) | carry;
        quint64 begins = there & (~before | change);
        quint64 ends = before & (~there | change) & valid;
        carry = (there >> (width - 1)) & 1;
        while (begins | ends) {
            const int beginBit = begins ? __builtin_ctzll(begins) : 64;
            const int endBit = ends ? __builtin_ctzll(ends) : 64;
            if (endBit <= beginBit) {
                ends &= ends - 1;
                if (onRun(begin, qint32(base + endBit)))
                    return true;
            } else {
                begins &= begins - 1;
                begin = qint32(base + beginBit);
            }
        }
    }
    return carry && onRun(begin, qint32(length));
}

} // namespace

struct ClusterScan::Private
{
    // What a slot carries besides its parent and edges: its cells, runs and
    // vertical pairs, its sides to other classes and the sums of its cells'
    // coordinates (a Cluster in the making). Wide sums are 128-bit (taken
    // modulo 2^128: the radius formula is exact whenever its result fits,
    // whatever its terms); narrow ones 64-bit, for landscapes small enough
    // that no sum can pass 2^63 (see start()), which halves the work per run.
    template <typename Sum>
    struct Record
    {
        quint64 cells;
        Sum sumX;
        Sum sumY;
        Sum sumSquares; // of x^2 + y^2
        quint64 runs;
        quint64 overlaps;
        quint64 otherVertical; // classes: sides to runs of other classes in its rows
    };
    using NarrowRecord = Record<quint64>;
    using WideRecord = Record<u128>;

    // Where a cluster lies, kept when an observer watches.
    struct Extent
    {
        qint64 rowMin;
        qint64 rowMax;
        qint64 columnMin;
        qint64 columnMax;
        qint64 startColumn;
        quint64 start;
    };

    // The runs of one row: begins, ends (exclusive), labels (slots) and, for
    // classes, values; closed by a sentinel run beyond every cell. Columns
    // are below MaxColumns, so 32 bits hold them.
    struct Runs
    {
        std::vector<qint32> begin;
        std::vector<qint32> end;
        std::vector<quint32> label;
        std::vector<qint32> value;
        qint64 count = 0;

        // Room for a row of `runs` runs at most.
        void reserve(qint64 runs, bool values)
        {
            const size_t size = size_t(runs) + 1;
            if (begin.size() < size) {
                begin.resize(size);
                end.resize(size);
                label.resize(size);
            }
            if (values && value.size() < size)
                value.resize(size);
        }
        void close()
        {
            begin[size_t(count)] = Beyond;
            end[size_t(count)] = Beyond;
        }
    };
    static constexpr qint32 Beyond = std::numeric_limits<qint32>::max() / 2;

    template <bool Classes, bool Stats, bool Observe, bool Wide>
    struct RowJoin;

    Options options;
    Observer *observer = nullptr;     // this landscape's
    Observer *nextObserver = nullptr; // the next landscapes'
    bool classes = false;
    bool stopped = false;
    qint64 row = 0; // the next row
    qint64 cellsWithValue = 0;
    qint64 habitatCells = 0; // without statistics (with them, the clusters' cells add up to it)
    qint32 reach = 0; // 1 when corners join

    Runs runs[2];
    Runs *previous = &runs[0];
    Runs *current = &runs[1];

    // Under one cover, with statistics: the habitat and matrix cells of the
    // row before and of this row, a bit per cell, for the sides between
    // habitat and matrix (the class's edges).
    std::vector<quint64> habitatWords[2];
    std::vector<quint64> matrixWords[2];
    int wordsNow = 0;

    // Union-find over slots [0, slotCount) of capacity; a smaller slot is
    // always the root, so that parent[s] <= s. A slot is free, or Live: a
    // cluster, open (a root) or merged into another. Merged slots and
    // clusters that no run continues are found and freed in one of two ways:
    //  - collect(), before a row, when the free slots may not last it: the
    //    roots the last row's runs lead to stay, every other slot is freed
    //    (retiring the roots among them). Capacity is kept at least twice
    //    the slots that stay and a row's runs, so that a collection frees
    //    many slots: time per slot, not per row. With more slots in use
    //    than Options::compactAboveSlots, the roots that stay move to the
    //    first slots in the order the row meets them, and new slots follow
    //    in increasing order: a row then finds its clusters' slots nearly
    //    in the order of its runs, not scattered over slots of rows long
    //    gone, out of the caches (land cover tens of thousands of cells
    //    wide, where patches stay open for many rows).
    //  - with an observer, which must hear of a retirement at once, after
    //    every row (retireUnjoined()): a root that no run of the row joined
    //    (its stamp is not the row) retires, and a slot merged while a row
    //    was joined is freed after the next row, when no label leads to it.
    // A row that needs more slots than there are grows the capacity as it
    // goes.
    std::vector<quint32> parent;
    std::vector<quint32> edges;
    std::vector<NarrowRecord> narrowRecords; // without statistics, only their cells are kept
    // Narrow sums of landscapes up to SquareTableColumns wide: [n] the sum
    // of x^2 over x in [0, n), looked up. Wider, they are computed: a table
    // that outgrows the caches costs a miss a run.
    static constexpr qint64 SquareTableColumns = 16384;
    std::vector<quint64> squaresBelow;
    bool squareTable = false;
    std::vector<WideRecord> wideRecords;
    bool wide = false;
    std::vector<quint32> slotClass;     // classes: the index of the slot's class
    std::vector<Extent> extents;        // with an observer
    std::vector<quint32> freeSlots;
    std::vector<quint32> staying; // collect(): the slots that stay, in their new order
    std::vector<quint32> scratchWords;
    std::vector<NarrowRecord> scratchNarrow;
    std::vector<WideRecord> scratchWide;
    std::vector<quint32> stamp;        // with an observer: the row (low 32 bits) that last joined the root
    std::vector<quint32> mergedNow;    // with an observer: merged while this row was joined
    std::vector<quint32> mergedBefore; // ... while the row before was joined
    qint64 capacity = 0;
    qint64 slotCount = 0;
    qint64 freeCount = 0;
    qint64 mergedNowCount = 0;
    qint64 mergedBeforeCount = 0;
    std::vector<qint64> observedBegins; // a row's runs as the observer sees them
    std::vector<qint64> observedEnds;
    std::vector<quint32> observedClusters;

    ClusterStatistics statistics;
    PatchNumbers numbers; // one cover's, with an observer

    // A band's seams (Options::band). Each cluster of the first row gets a
    // number of its own there (topOf[slot] for its root); when clusters
    // with numbers join, their numbers join too (topParent, a union-find
    // as small as the first row). A cluster touching the first row or open
    // at the end retires into held (heldOf: its index there) instead of the
    // statistics.
    bool seams = false;
    std::vector<quint32> topOf;
    std::vector<quint32> topParent;
    std::vector<quint32> heldOfTop;
    std::vector<quint32> heldOf;
    std::vector<Cluster> held;
    BandSeam::Row topRow;
    quint32 findTop(quint32 top)
    {
        while (topParent[top] != top)
            top = topParent[top] = topParent[topParent[top]];
        return top;
    }
    void joinTops(quint32 root, quint32 other);
    void keepTopRow();
    void keepRow(const Runs &runs, int words, BandSeam::Row &into) const;
    // Classes: the statistics (and patch numbers) per class value, found
    // through an open-addressed table of values (entries hold the index + 1,
    // 0 when empty).
    std::vector<qint32> classValues;
    std::vector<ClusterStatistics> classStatistics;
    // Per class, the sides between its cells and cells of other classes in
    // the row above or below (not kept per cluster: only their sum is asked).
    std::vector<quint64> classEdges;
    std::vector<PatchNumbers> classNumbers;
    std::vector<quint32> classTable;
    int classShift = 64;

    void start(const Options &given, bool forClasses);
    void prepareSlots(qint64 runs);
    void grow(qint64 size);
    void collect();
    template <bool Stats, bool Observe, bool Wide, typename Row>
    bool scanCover(const Row &cells, qint64 length);
    template <bool Stats, bool Observe, bool Wide, typename Value>
    void scanClasses(const Value *values, const quint8 *present, qint64 length);
    template <typename Row>
    bool coverRow(const Row &cells, qint64 length);
    template <typename Row>
    bool addCoverRow(const Row &cells, qint64 length);
    template <typename Value>
    void classRow(const Value *values, const quint8 *present, qint64 length);
    template <typename Value>
    void addClassRow(const Value *values, const quint8 *present, qint64 length);
    void countCoverEdges(qint64 length);
    template <bool Wide>
    auto recordsOf()
    {
        if constexpr (Wide)
            return wideRecords.data();
        else
            return narrowRecords.data();
    }
    void endRow();
    void retireUnjoined(quint32 mark);
    void retireAll();
    void restartKeepingNumbers();
    void retire(quint32 slot);
    Cluster clusterOf(quint32 slot) const;
    quint32 classIndexOf(qint32 value);
    void growClassTable();
    bool tracksCells() const { return options.statistics || observer; }
    PatchNumbers &numbersOf(quint32 slot) { return classes ? classNumbers[slotClass[slot]] : numbers; }
};

void ClusterScan::Private::start(const Options &given, bool forClasses)
{
    options = given;
    observer = nextObserver;
    options.rows = std::max<qint64>(0, options.rows);
    options.columns = std::clamp<qint64>(options.columns, 0, MaxColumns);
    classes = forClasses;
    stopped = false;
    seams = options.band;
    if (seams) {
        options.firstRow = std::clamp<qint64>(options.firstRow, 0, options.rows);
        options.leftRight = options.topBottom = false;
    } else {
        options.firstRow = 0;
    }
    row = options.firstRow;
    topParent.clear();
    heldOfTop.clear();
    held.clear();
    topRow = BandSeam::Row();
    cellsWithValue = 0;
    habitatCells = 0;
    reach = options.connectivity == ClusterRecord::Eight ? 1 : 0;
    previous = &runs[0];
    current = &runs[1];
    previous->reserve(0, classes);
    current->reserve(0, classes);
    previous->count = 0;
    previous->close();
    slotCount = 0;
    freeCount = 0;
    mergedNowCount = 0;
    mergedBeforeCount = 0;
    statistics = ClusterStatistics();
    numbers.clear();
    classValues.clear();
    classStatistics.clear();
    classEdges.clear();
    classNumbers.clear();
    std::fill(classTable.begin(), classTable.end(), 0);
    const size_t words = size_t((options.columns + 63) / 64);
    for (int i : {0, 1}) {
        habitatWords[i].assign(!classes && options.statistics ? words : 0, 0);
        matrixWords[i].assign(!classes && options.statistics ? words : 0, 0);
    }
    wordsNow = 0;
    // Narrow sums (narrowSums()). A band's cells are numbered from its
    // first row (records going into its seams are moved to the landscape's
    // rows), so its sums are those of its own rows.
    const qint64 height = std::min(options.rows - options.firstRow,
                                   seams && options.bandRows > 0 ? options.bandRows : options.rows);
    wide = options.statistics && !narrowSums(height, options.columns);
    squareTable = options.statistics && !wide && options.columns <= SquareTableColumns;
    while (squareTable && qint64(squaresBelow.size()) <= options.columns)
        squaresBelow.push_back(narrowSquaresBelow(squaresBelow.size()));
    grow(std::max<qint64>(capacity, 1024));
}

bool ClusterScan::narrowSums(qint64 rows, qint64 columns)
{
    const long double area = (long double)rows * (long double)columns;
    const long double farthest = (long double)rows * rows + (long double)columns * columns;
    return columns <= (qint64(1) << 21) && area * farthest < 9.0e18L;
}

void ClusterScan::Private::grow(qint64 size)
{
    capacity = size;
    const size_t n = size_t(size);
    if (parent.size() < n) {
        parent.resize(n);
        edges.resize(n);
        freeSlots.resize(n);
    }
    if (tracksCells()) {
        if (wide && wideRecords.size() < n)
            wideRecords.resize(n);
        if (!wide && narrowRecords.size() < n)
            narrowRecords.resize(n);
    }
    if (classes && slotClass.size() < n)
        slotClass.resize(n);
    if (seams && topOf.size() < n) {
        topOf.resize(n);
        heldOf.resize(n);
    }
    if (observer && stamp.size() < n) {
        stamp.resize(n);
        mergedNow.resize(n);
        mergedBefore.resize(n);
        extents.resize(n);
    }
}

// Before a row that will likely have `runs` runs (as many as the row
// before): room for a new slot per run.
void ClusterScan::Private::prepareSlots(qint64 runs)
{
    if (freeCount + capacity - slotCount >= runs)
        return;
    if (!observer)
        collect();
    // Room for twice what stays and a row's new slots, so that collections
    // come at most every few rows and free many slots each.
    const qint64 used = slotCount - freeCount;
    if (2 * (used + runs) > capacity)
        grow(std::max(2 * capacity, 2 * (used + runs)));
}

// Frees every slot but the roots the last row's runs lead to, retiring the
// roots among them; the free slots are then taken lowest first. Or, with
// many slots in use, moves those roots to slots 0, 1, ... in the order the
// row's runs lead to them, new slots following.
void ClusterScan::Private::collect()
{
    quint32 *const parentOf = parent.data();
    quint32 *const edgesOf = edges.data();
    quint32 *const labels = previous->label.data();
    const qint64 count = previous->count;
    for (qint64 k = 0; k < count; ++k) {
        const quint32 root = findRoot(parentOf, labels[k]);
        labels[k] = root;
        edgesOf[root] |= Referenced;
    }
    if (slotCount <= options.compactAboveSlots) {
        freeCount = 0;
        for (qint64 slot = slotCount - 1; slot >= 0; --slot) {
            const quint32 slotEdges = edgesOf[slot];
            if (slotEdges & Referenced) {
                edgesOf[slot] = slotEdges & ~Referenced;
                continue;
            }
            if ((slotEdges & Live) && parentOf[slot] == quint32(slot))
                retire(quint32(slot));
            edgesOf[slot] = 0;
            freeSlots[size_t(freeCount++)] = quint32(slot);
        }
        return;
    }
    for (qint64 slot = slotCount - 1; slot >= 0; --slot) {
        const quint32 slotEdges = edgesOf[slot];
        if (!(slotEdges & Referenced) && (slotEdges & Live) && parentOf[slot] == quint32(slot))
            retire(quint32(slot));
    }
    // The free list, unused until the next collection, says where each
    // root that stays goes.
    quint32 *const movedTo = freeSlots.data();
    if (qint64(staying.size()) < count)
        staying.resize(size_t(count));
    qint64 stay = 0;
    for (qint64 k = 0; k < count; ++k) {
        const quint32 root = labels[k];
        if (edgesOf[root] & Referenced) {
            edgesOf[root] &= ~Referenced;
            movedTo[root] = quint32(stay);
            staying[size_t(stay++)] = root;
        }
        labels[k] = movedTo[root];
    }
    const quint32 *const from = staying.data();
    const auto move = [&](auto &perSlot, auto &scratch) {
        if (qint64(scratch.size()) < stay)
            scratch.resize(size_t(stay));
        for (qint64 i = 0; i < stay; ++i)
            scratch[size_t(i)] = perSlot[from[i]];
        std::copy(scratch.begin(), scratch.begin() + stay, perSlot.begin());
    };
    move(edges, scratchWords);
    if (classes)
        move(slotClass, scratchWords);
    if (seams)
        move(topOf, scratchWords);
    if (tracksCells()) {
        if (wide)
            move(wideRecords, scratchWide);
        else
            move(narrowRecords, scratchNarrow);
    }
    // Slots from stay on are not read again before a new cluster fills
    // them: nothing there needs clearing.
    for (qint64 i = 0; i < stay; ++i)
        parentOf[i] = quint32(i);
    slotCount = stay;
    freeCount = 0;
}

// The joining of one row's runs, one run at a time as the row is read, to
// the runs of the row before: each run takes the cluster of the first run
// above it touches, joins the clusters of the others, or starts a cluster.
// What it uses of the scan is held in locals for the length of the row.
template <bool Classes, bool Stats, bool Observe, bool Wide>
struct ClusterScan::Private::RowJoin
{
    static constexpr bool Cells = Stats || Observe;
    using Record = std::conditional_t<Wide, WideRecord, NarrowRecord>;

    Private &scan;
    const qint32 *const previousBegin;
    const qint32 *const previousEnd;
    const quint32 *const previousLabel;
    const qint32 *const previousValue;
    qint32 *const begins;
    qint32 *const ends;
    quint32 *const labels;
    qint32 *const values;
    quint32 *parentOf;
    quint32 *edgesOf;
    Record *recordOf;
    quint32 *classOf;
    Extent *extentOf;
    quint32 *stampOf;
    quint32 *merged;
    const quint32 *freeList;
    qint64 freeTop;
    qint64 slotCount;
    qint64 mergedCount;
    const qint32 columns;
    const qint32 reachBy;
    const quint32 rowStamp;
    const quint32 rowEdges;
    const bool leftRight;
    const bool topBottom;
    const qint64 rowNow; // the landscape's row
    const quint64 y;     // ... counted from the band's first (the sums' y)
    const u128 ySquared;
    const quint64 *const squares; // narrow sums, a landscape no wider than the table
    qint64 first = 0;             // the first run above that may touch the next run
    qint64 count = 0;             // runs of this row so far

    explicit RowJoin(Private &p)
        : scan(p)
        , previousBegin(p.previous->begin.data())
        , previousEnd(p.previous->end.data())
        , previousLabel(p.previous->label.data())
        , previousValue(Classes ? p.previous->value.data() : nullptr)
        , begins(p.current->begin.data())
        , ends(p.current->end.data())
        , labels(p.current->label.data())
        , values(Classes ? p.current->value.data() : nullptr)
        , freeTop(p.freeCount)
        , slotCount(p.slotCount)
        , mergedCount(p.mergedNowCount)
        , columns(qint32(p.options.columns))
        , reachBy(p.reach)
        , rowStamp(quint32(p.row))
        , rowEdges((p.row == 0 ? ClusterRecord::Top : 0) | (p.row == p.options.rows - 1 ? ClusterRecord::Bottom : 0))
        , leftRight(p.options.leftRight)
        , topBottom(p.options.topBottom)
        , rowNow(p.row)
        , y(quint64(p.row - p.options.firstRow))
        , ySquared(u128(y) * y)
        , squares(p.squareTable ? p.squaresBelow.data() : nullptr)
    {
        slotsMoved();
    }

    void slotsMoved()
    {
        parentOf = scan.parent.data();
        edgesOf = scan.edges.data();
        recordOf = Cells ? scan.recordsOf<Wide>() : nullptr;
        classOf = Classes ? scan.slotClass.data() : nullptr;
        extentOf = Observe ? scan.extents.data() : nullptr;
        stampOf = Observe ? scan.stamp.data() : nullptr;
        merged = Observe ? scan.mergedNow.data() : nullptr;
        freeList = scan.freeSlots.data();
    }

    quint32 newSlot()
    {
        if (freeTop > 0)
            return freeList[--freeTop];
        if (slotCount == scan.capacity) {
            // More new clusters in this row than the slots prepared: grow
            // (nothing can be freed in the middle of a row).
            scan.grow(2 * scan.capacity);
            slotsMoved();
        }
        return quint32(slotCount++);
    }

    // Cluster `other` joins cluster `root`; the smaller slot stays the root.
    void unite(quint32 &root, quint32 other)
    {
        if (other < root)
            std::swap(root, other);
        parentOf[other] = root;
        const quint32 otherEdges = edgesOf[other];
        if (otherEdges & SeamTop)
            scan.joinTops(root, other);
        edgesOf[root] |= otherEdges;
        if (Cells) {
            Record &into = recordOf[root];
            const Record &from = recordOf[other];
            into.cells += from.cells;
            if (Stats) {
                into.sumX += from.sumX;
                into.sumY += from.sumY;
                into.sumSquares += from.sumSquares;
                into.runs += from.runs;
                into.overlaps += from.overlaps;
                into.otherVertical += from.otherVertical;
            }
        }
        if (Observe) {
            // The cluster begun first in row-major order keeps its start;
            // the other is no patch of its own.
            Extent &into = extentOf[root];
            const Extent &from = extentOf[other];
            scan.numbersOf(root).drop(std::max(into.start, from.start));
            if (from.start < into.start) {
                into.start = from.start;
                into.rowMin = from.rowMin;
                into.startColumn = from.startColumn;
            }
            into.rowMax = std::max(into.rowMax, from.rowMax);
            into.columnMin = std::min(into.columnMin, from.columnMin);
            into.columnMax = std::max(into.columnMax, from.columnMax);
            merged[mergedCount++] = other;
            scan.observer->clustersJoined(root, other);
        }
    }

    // The next run of the row, [begin, end) (of value `value` for classes).
    // True when, without statistics, a cluster now spans in a direction
    // asked for.
    bool run(qint32 begin, qint32 end, qint32 value)
    {
        while (previousEnd[first] + reachBy <= begin)
            ++first;
        quint32 root = NoSlot;
        qint64 k = first;
        quint64 overlap = 0;    // cells of this run below cells of its cluster
        quint64 otherAbove = 0; // classes: ... below cells of another class
        for (; previousBegin[k] < end + reachBy; ++k) {
            // For classes, runs above of another value take no part but for
            // the sides they share with this run: edges of both classes,
            // counted per class (a slot's class is its root's, so no root
            // is looked for).
            const bool match = !Classes || previousValue[k] == value;
            const qint32 shared = Stats ? std::min(end, previousEnd[k]) - std::max(begin, previousBegin[k]) : 0;
            if (match) {
                const quint32 other = findRoot(parentOf, previousLabel[k]);
                root = root == NoSlot ? other : root;
                if (other != root)
                    unite(root, other);
                if (Stats && shared > 0)
                    overlap += quint64(shared);
            } else if (Classes && Stats && shared > 0) {
                otherAbove += quint64(shared);
                scan.classEdges[classOf[previousLabel[k]]] += quint64(shared);
            }
        }
        // Of the runs above just looked at, only the last may reach the next
        // run; or, with corners, the last two, when runs of classes touch.
        first = std::max(first, k - 1 - (Classes ? reachBy : 0));
        const quint32 runEdges = rowEdges | (begin == 0 ? ClusterRecord::Left : 0)
                | (end == columns ? ClusterRecord::Right : 0);
        if (root == NoSlot) {
            root = newSlot();
            parentOf[root] = root;
            edgesOf[root] = runEdges | Live;
            if (Cells)
                recordOf[root] = Record{0, 0, 0, 0, 0, 0, 0};
            if (Classes)
                classOf[root] = scan.classIndexOf(value);
            if (Observe)
                extentOf[root] = Extent{rowNow, rowNow, begin, end - 1, begin, scan.numbersOf(root).begin()};
        } else {
            if (runEdges)
                edgesOf[root] |= runEdges;
            if (Observe) {
                Extent &extent = extentOf[root];
                extent.rowMax = rowNow;
                extent.columnMin = std::min<qint64>(extent.columnMin, begin);
                extent.columnMax = std::max<qint64>(extent.columnMax, end - 1);
            }
        }
        if (Observe)
            stampOf[root] = rowStamp;
        if (Classes && Stats && otherAbove)
            scan.classEdges[classOf[root]] += otherAbove;
        // The run before in this row, of another class, touches this one:
        // a side of each. Its label is still its root, as this run joins
        // only clusters of its own class.
        const bool touchesBefore = Classes && Stats && count > 0 && ends[count - 1] == begin;
        if (touchesBefore)
            recordOf[labels[count - 1]].otherVertical += 1;
        begins[count] = begin;
        ends[count] = end;
        labels[count] = root;
        if (Classes)
            values[count] = value;
        ++count;
        if (Cells) {
            Record &record = recordOf[root];
            const quint64 length = quint64(end - begin);
            record.cells += length;
            if (Stats) {
                record.runs += 1;
                record.overlaps += overlap;
                record.otherVertical += quint64(touchesBefore);
                // Columns begin .. end - 1 of row y.
                record.sumX += quint64(begin + end - 1) * length / 2;
                if (Wide) {
                    record.sumY += u128(y) * length;
                    record.sumSquares += sumOfSquaresBelow(quint64(end)) - sumOfSquaresBelow(quint64(begin))
                            + ySquared * length;
                } else {
                    record.sumY += y * length;
                    record.sumSquares += (squares ? squares[end] - squares[begin]
                                                   : narrowSquaresBelow(quint64(end)) - narrowSquaresBelow(quint64(begin)))
                            + quint64(ySquared) * length;
                }
            }
        }
        if (!Stats && !Classes) {
            const quint32 touched = edgesOf[root];
            const bool across = (touched & (ClusterRecord::Left | ClusterRecord::Right))
                    == (ClusterRecord::Left | ClusterRecord::Right);
            const bool down = (touched & (ClusterRecord::Top | ClusterRecord::Bottom))
                    == (ClusterRecord::Top | ClusterRecord::Bottom);
            if ((leftRight & across) | (topBottom & down)) {
                scan.statistics.spansLeftRight |= across;
                scan.statistics.spansTopBottom |= down;
                return true;
            }
        }
        return false;
    }

    // After the row's last run: the counts back into the scan, the row's
    // runs closed, and the observer told.
    void finish()
    {
        scan.freeCount = freeTop;
        scan.slotCount = slotCount;
        Runs &row = *scan.current;
        row.count = count;
        row.close();
        if (Observe) {
            scan.mergedNowCount = mergedCount;
            // As long as the run lists, which depend on the width only.
            const size_t room = row.begin.size();
            if (scan.observedBegins.size() < room) {
                scan.observedBegins.resize(room);
                scan.observedEnds.resize(room);
                scan.observedClusters.resize(room);
            }
            for (qint64 j = 0; j < count; ++j) {
                scan.observedBegins[size_t(j)] = begins[j];
                scan.observedEnds[size_t(j)] = ends[j];
                labels[j] = scan.observedClusters[size_t(j)] = findRoot(parentOf, labels[j]);
            }
            scan.observer->rowJoined(scan.row, scan.observedBegins.data(), scan.observedEnds.data(),
                                     Classes ? values : nullptr, scan.observedClusters.data(), count);
        }
    }
};

// One row of one cover: runs of habitat, each joined as soon as its end is
// found. True when, without statistics, spanning is known (the row is then
// left unfinished). With statistics the row's habitat and matrix cells are
// kept a bit each, for the class's edges. The row's cells come as codes
// (CodeRow) or as bits (BitRow).
template <bool Stats, bool Observe, bool Wide, typename Row>
bool ClusterScan::Private::scanCover(const Row &cells, qint64 length)
{
    current->reserve((length + 1) / 2, false);
    RowJoin<false, Stats, Observe, Wide> join(*this);
    qint64 noValue = 0;
    quint64 *const habitatNow = Stats ? habitatWords[wordsNow].data() : nullptr;
    quint64 *const matrixNow = Stats ? matrixWords[wordsNow].data() : nullptr;
    const bool stopped = runsOfRow(
            length,
            [&](qint64 base, int width, quint64 valid, quint64 &there, quint64 &change) {
                change = 0;
                quint64 negative;
                there = cells.habitat(base, width, valid, negative);
                if (negative)
                    noValue += bitCount(negative);
                if (Stats) {
                    habitatNow[base / 64] = there;
                    matrixNow[base / 64] = ~there & ~negative & valid;
                } else if (there) {
                    habitatCells += bitCount(there);
                }
            },
            [&](qint32 begin, qint32 end) { return join.run(begin, end, 0); });
    if (stopped) {
        // Spanning is known in the middle of the row: its cells are
        // counted, the rest of the landscape is not read.
        cellsWithValue += cells.withValue(length);
        return true;
    }
    cellsWithValue += length - noValue;
    join.finish();
    if (Stats)
        countCoverEdges(length);
    return false;
}

namespace {

// The sides between habitat and matrix of a row's words: `vertical` within
// the row, `horizontal` between it and the row before (when above). With
// Popcnt, bits are counted by the instruction, in a function built for it.
template <bool Popcnt>
inline void coverEdgeSides(const quint64 *habitatNow, const quint64 *matrixNow, const quint64 *habitatBefore,
                           const quint64 *matrixBefore, qint64 used, qint64 words, bool above, qint64 &vertical,
                           qint64 &horizontal)
{
    const auto count = [](quint64 x) -> qint64 {
        if constexpr (Popcnt)
            return __builtin_popcountll(x);
        else
            return bitCount(x);
    };
    for (qint64 w = 0; w < used; ++w) {
        const quint64 h = habitatNow[w];
        // No habitat in the word, above it or just after it: no side of
        // habitat either (most words of a scarce class).
        if ((h | (w + 1 < words ? habitatNow[w + 1] & 1 : 0) | (above ? habitatBefore[w] : 0)) == 0)
            continue;
        const quint64 m = matrixNow[w];
        // A cell and the one to its right: the next word's first cell follows this word's last.
        const quint64 hNext = (h >> 1) | (w + 1 < words ? habitatNow[w + 1] << 63 : 0);
        const quint64 mNext = (m >> 1) | (w + 1 < words ? matrixNow[w + 1] << 63 : 0);
        vertical += count(h & mNext) + count(m & hNext);
        if (above)
            horizontal += count(h & matrixBefore[w]) + count(m & habitatBefore[w]);
    }
}

#if defined(__x86_64__) && !defined(__POPCNT__)
__attribute__((target("popcnt"))) void coverEdgeSidesPopcnt(const quint64 *habitatNow, const quint64 *matrixNow,
                                                            const quint64 *habitatBefore, const quint64 *matrixBefore,
                                                            qint64 used, qint64 words, bool above, qint64 &vertical,
                                                            qint64 &horizontal)
{
    coverEdgeSides<true>(habitatNow, matrixNow, habitatBefore, matrixBefore, used, words, above, vertical, horizontal);
}
const bool hasPopcnt = __builtin_cpu_supports("popcnt");
#endif

} // namespace

// The sides between habitat and matrix within this row and between it and
// the row before, from their bits; the words beyond the row's length are
// empty.
void ClusterScan::Private::countCoverEdges(qint64 length)
{
    quint64 *const habitatNow = habitatWords[wordsNow].data();
    quint64 *const matrixNow = matrixWords[wordsNow].data();
    const quint64 *const habitatBefore = habitatWords[1 - wordsNow].data();
    const quint64 *const matrixBefore = matrixWords[1 - wordsNow].data();
    const qint64 words = qint64(habitatWords[wordsNow].size());
    const qint64 used = (length + 63) / 64;
    for (qint64 w = used; w < words; ++w)
        habitatNow[w] = matrixNow[w] = 0;
    qint64 vertical = 0;
    qint64 horizontal = 0;
#if defined(__x86_64__) && !defined(__POPCNT__)
    if (hasPopcnt)
        coverEdgeSidesPopcnt(habitatNow, matrixNow, habitatBefore, matrixBefore, used, words, row > 0, vertical,
                             horizontal);
    else
#endif
        coverEdgeSides<false>(habitatNow, matrixNow, habitatBefore, matrixBefore, used, words, row > 0, vertical,
                              horizontal);
    statistics.edgeSidesVertical += vertical;
    statistics.edgeSidesHorizontal += horizontal;
    wordsNow = 1 - wordsNow;
}

// One row of classes: runs of equal value among the cells with one; the
// values 32-bit or bytes.
template <bool Stats, bool Observe, bool Wide, typename Value>
void ClusterScan::Private::scanClasses(const Value *values, const quint8 *present, qint64 length)
{
    current->reserve(length, true);
    RowJoin<true, Stats, Observe, Wide> join(*this);
    qint64 absent = 0;
    runsOfRow(
            length,
            [&](qint64 base, int width, quint64 valid, quint64 &there, quint64 &change) {
                if (width == 64 && base > 0) {
                    there = presentMask64(present + base);
                    change = changeMask64(values + base);
                } else {
                    there = 0;
                    change = 0;
                    for (int i = 0; i < width; ++i) {
                        there |= quint64(present[base + i] != 0) << i;
                        change |= quint64(base + i == 0 || values[base + i] != values[base + i - 1]) << i;
                    }
                }
                if (~there & valid)
                    absent += bitCount(~there & valid);
            },
            [&](qint32 begin, qint32 end) {
                join.run(begin, end, qint32(values[begin]));
                return false;
            });
    cellsWithValue += length - absent;
    join.finish();
}

template <typename Row>
bool ClusterScan::Private::coverRow(const Row &cells, qint64 length)
{
    prepareSlots(previous->count + 64);
    if (observer) {
        if (!options.statistics)
            return scanCover<false, true, false>(cells, length);
        return wide ? scanCover<true, true, true>(cells, length) : scanCover<true, true, false>(cells, length);
    }
    if (!options.statistics)
        return scanCover<false, false, false>(cells, length);
    return wide ? scanCover<true, false, true>(cells, length) : scanCover<true, false, false>(cells, length);
}

template <typename Value>
void ClusterScan::Private::classRow(const Value *values, const quint8 *present, qint64 length)
{
    prepareSlots(previous->count + 64);
    if (observer) {
        if (!options.statistics)
            return scanClasses<false, true, false>(values, present, length);
        return wide ? scanClasses<true, true, true>(values, present, length)
                    : scanClasses<true, true, false>(values, present, length);
    }
    if (!options.statistics)
        return scanClasses<false, false, false>(values, present, length);
    return wide ? scanClasses<true, false, true>(values, present, length)
                : scanClasses<true, false, false>(values, present, length);
}

// The cluster of a slot as it stands, as a Cluster.
Cluster ClusterScan::Private::clusterOf(quint32 slot) const
{
    // Every field given at once: a cluster retires per few runs, and
    // clearing the record first, then filling it, cost as much as the rest.
    const auto of = [&](const auto &r) {
        const Extent e = observer ? extents[slot] : Extent{0, 0, 0, 0, 0, 0};
        return Cluster{classes ? classValues[slotClass[slot]] : 0,
                       quint8(edges[slot] & 0xF),
                       qint64(r.cells),
                       qint64(r.runs),
                       qint64(r.overlaps),
                       qint64(r.otherVertical),
                       r.sumX,
                       r.sumY,
                       r.sumSquares,
                       e.rowMin,
                       e.rowMax,
                       e.columnMin,
                       e.columnMax,
                       e.startColumn,
                       e.start};
    };
    if (!tracksCells())
        return of(NarrowRecord{0, 0, 0, 0, 0, 0, 0});
    return wide ? of(wideRecords[slot]) : of(narrowRecords[slot]);
}

void ClusterScan::Private::retire(quint32 slot)
{
    const Cluster cluster = clusterOf(slot);
    const bool open = seams && (edges[slot] & (SeamTop | SeamBottom));
    if (observer || open) {
        // The sums count rows from the band's first; the observer and the
        // seams are given them from the landscape's first (y + d for each
        // cell). The statistics need no moving.
        Cluster moved = cluster;
        if (options.firstRow > 0) {
            const u128 d = u128(quint64(options.firstRow));
            moved.sumSquares += 2 * d * cluster.sumY + u128(quint64(cluster.cells)) * d * d;
            moved.sumY += u128(quint64(cluster.cells)) * d;
        }
        if (observer)
            observer->clusterRetired(slot, moved);
        if (open) {
            heldOf[slot] = quint32(held.size());
            if (edges[slot] & SeamTop)
                heldOfTop[findTop(topOf[slot])] = quint32(held.size());
            held.push_back(moved);
            return;
        }
    }
    ClusterStatistics &into = classes ? classStatistics[slotClass[slot]] : statistics;
    if (options.statistics) {
        into.add(cluster);
    } else {
        into.spansLeftRight |= ClusterRecord::spansLeftRight(cluster.edges);
        into.spansTopBottom |= ClusterRecord::spansTopBottom(cluster.edges);
    }
}

// With an observer: retires the clusters of the previous row's runs that no
// run of this row joined (their stamp is not mark), leftmost first, and
// frees their slots.
void ClusterScan::Private::retireUnjoined(quint32 mark)
{
    const quint32 *const labels = previous->label.data();
    const qint64 count = previous->count;
    quint32 *const parentOf = parent.data();
    quint32 *const stampOf = stamp.data();
    for (qint64 k = 0; k < count; ++k) {
        const quint32 root = findRoot(parentOf, labels[k]);
        if (stampOf[root] == mark)
            continue;
        stampOf[root] = mark;
        retire(root);
        edges[root] = 0;
        freeSlots[size_t(freeCount++)] = root;
    }
}

// At the end: every open cluster retires.
void ClusterScan::Private::retireAll()
{
    if (observer) {
        retireUnjoined(quint32(row));
        return;
    }
    for (qint64 slot = 0; slot < slotCount; ++slot) {
        if ((edges[size_t(slot)] & Live) && parent[size_t(slot)] == quint32(slot))
            retire(quint32(slot));
    }
}

// After a landscape or band: ready for the next, its patch numbers (and
// the class values they are of) kept until the next begins.
void ClusterScan::Private::restartKeepingNumbers()
{
    numbers.finish();
    for (PatchNumbers &n : classNumbers)
        n.finish();
    PatchNumbers kept = std::move(numbers);
    std::vector<qint32> values = std::move(classValues);
    std::vector<PatchNumbers> keptClasses = std::move(classNumbers);
    std::vector<quint32> table = classTable;
    const int shift = classShift;
    start(options, classes);
    numbers = std::move(kept);
    if (classes) {
        classValues = std::move(values);
        classNumbers = std::move(keptClasses);
        classTable = std::move(table);
        classShift = shift;
        classStatistics.assign(classValues.size(), ClusterStatistics());
        classEdges.assign(classValues.size(), 0);
    }
}

void ClusterScan::Private::endRow()
{
    if (observer) {
        retireUnjoined(quint32(row));
        // Slots merged while joining the row before are no label's any more.
        for (qint64 k = 0; k < mergedBeforeCount; ++k) {
            edges[mergedBefore[size_t(k)]] = 0;
            freeSlots[size_t(freeCount++)] = mergedBefore[size_t(k)];
        }
        std::swap(mergedBefore, mergedNow);
        mergedBeforeCount = mergedNowCount;
        mergedNowCount = 0;
    }
    if (seams && row == options.firstRow && row > 0)
        keepTopRow();
    std::swap(previous, current);
    ++row;
}

// Cluster `other`, which touches the band's first row, joins `root`.
void ClusterScan::Private::joinTops(quint32 root, quint32 other)
{
    if (!(edges[root] & SeamTop)) {
        topOf[root] = topOf[other];
        return;
    }
    const quint32 a = findTop(topOf[root]);
    const quint32 b = findTop(topOf[other]);
    topParent[std::max(a, b)] = std::min(a, b);
}

// A band's first row, just joined: its runs, each cluster numbered.
void ClusterScan::Private::keepTopRow()
{
    keepRow(*current, 1 - wordsNow, topRow);
    for (quint32 &label : topRow.label) {
        const quint32 root = findRoot(parent.data(), label);
        if (!(edges[root] & SeamTop)) {
            edges[root] |= SeamTop;
            topOf[root] = quint32(topParent.size());
            topParent.push_back(quint32(topParent.size()));
            heldOfTop.push_back(0);
        }
        label = topOf[root];
    }
}

// An outer row's runs (labels their slots) and, under one cover with
// statistics, its matrix cells from the words at index `words`.
void ClusterScan::Private::keepRow(const Runs &from, int words, BandSeam::Row &into) const
{
    const size_t n = size_t(from.count);
    into.begin.assign(from.begin.begin(), from.begin.begin() + n);
    into.end.assign(from.end.begin(), from.end.begin() + n);
    into.label.assign(from.label.begin(), from.label.begin() + n);
    if (classes)
        into.value.assign(from.value.begin(), from.value.begin() + n);
    else
        into.value.clear();
    if (!classes && options.statistics)
        into.matrix = matrixWords[words];
    else
        into.matrix.clear();
}

quint32 ClusterScan::Private::classIndexOf(qint32 value)
{
    if (classTable.empty() || 2 * (classValues.size() + 1) > classTable.size())
        growClassTable();
    const size_t mask = classTable.size() - 1;
    size_t at = size_t((quint64(quint32(value)) * 0x9E3779B97F4A7C15ull) >> classShift);
    while (classTable[at] != 0) {
        const quint32 index = classTable[at] - 1;
        if (classValues[index] == value)
            return index;
        at = (at + 1) & mask;
    }
    classTable[at] = quint32(classValues.size() + 1);
    classValues.push_back(value);
    classStatistics.emplace_back();
    classEdges.push_back(0);
    classNumbers.emplace_back();
    return quint32(classValues.size() - 1);
}

void ClusterScan::Private::growClassTable()
{
    const size_t size = std::max<size_t>(64, 2 * classTable.size());
    classTable.assign(size, 0);
    classShift = 64 - __builtin_ctzll(size);
    for (size_t index = 0; index < classValues.size(); ++index) {
        size_t at = size_t((quint64(quint32(classValues[index])) * 0x9E3779B97F4A7C15ull) >> classShift);
        while (classTable[at] != 0)
            at = (at + 1) & (size - 1);
        classTable[at] = quint32(index + 1);
    }
}

// ---------------------------------------------------------------------------

ClusterScan::ClusterScan()
    : d(std::make_unique<Private>())
{
    d->start(Options(), false);
}

ClusterScan::~ClusterScan() = default;

void ClusterScan::setObserver(Observer *observer)
{
    d->nextObserver = observer;
}

void ClusterScan::begin(const Options &options)
{
    d->start(options, false);
}

template <typename Row>
bool ClusterScan::Private::addCoverRow(const Row &cells, qint64 length)
{
    if (stopped)
        return true;
    if (classes || row >= options.rows)
        return false;
    length = std::clamp<qint64>(length, 0, options.columns);
    if (coverRow(cells, length)) {
        stopped = true;
        return true;
    }
    endRow();
    return false;
}

bool ClusterScan::addRow(const qint8 *cells, qint64 length)
{
    return d->addCoverRow(CodeRow{cells}, length);
}

bool ClusterScan::addRow(const quint64 *habitat, const quint64 *noValue, qint64 length)
{
    return d->addCoverRow(BitRow{habitat, noValue}, length);
}

ClusterStatistics ClusterScan::finish()
{
    Private &p = *d;
    if (!p.stopped)
        p.retireAll();
    ClusterStatistics result = p.statistics;
    result.cells = p.cellsWithValue;
    if (!p.options.statistics)
        result.habitat = p.habitatCells;
    p.restartKeepingNumbers();
    return result;
}

void ClusterScan::beginClasses(const Options &options)
{
    d->start(options, true);
}

template <typename Value>
void ClusterScan::Private::addClassRow(const Value *values, const quint8 *present, qint64 length)
{
    if (!classes || row >= options.rows)
        return;
    classRow(values, present, std::clamp<qint64>(length, 0, options.columns));
    endRow();
}

void ClusterScan::addClassRow(const qint32 *values, const quint8 *present, qint64 length)
{
    d->addClassRow(values, present, length);
}

void ClusterScan::addClassRow(const quint8 *values, const quint8 *present, qint64 length)
{
    d->addClassRow(values, present, length);
}

std::vector<std::pair<qint32, ClusterStatistics>> ClusterScan::finishClasses()
{
    Private &p = *d;
    std::vector<std::pair<qint32, ClusterStatistics>> result;
    if (!p.classes) {
        p.start(p.options, p.classes);
        return result;
    }
    p.retireAll();
    result.reserve(p.classValues.size());
    for (size_t index = 0; index < p.classValues.size(); ++index) {
        result.emplace_back(p.classValues[index], p.classStatistics[index]);
        result.back().second.edgeSidesHorizontal += qint64(p.classEdges[index]);
        result.back().second.cells = p.cellsWithValue;
    }
    std::sort(result.begin(), result.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    p.restartKeepingNumbers();
    return result;
}

BandSeam ClusterScan::finishBand()
{
    Private &p = *d;
    BandSeam seam;
    seam.connectivity = p.options.connectivity;
    seam.classes = p.classes;
    seam.statistics = p.options.statistics;
    seam.rows = p.options.rows;
    seam.columns = p.options.columns;
    seam.firstRow = p.options.firstRow;
    seam.endRow = p.row;
    // The clusters of the last row stay open when rows of the landscape
    // follow; they, and those of the first row, retire into the seams.
    if (p.seams && p.row < p.options.rows) {
        p.keepRow(*p.previous, 1 - p.wordsNow, seam.bottom);
        for (quint32 &label : seam.bottom.label) {
            label = findRoot(p.parent.data(), label);
            p.edges[label] |= SeamBottom;
        }
    }
    p.retireAll();
    for (quint32 &label : seam.bottom.label)
        label = p.heldOf[label];
    seam.top = std::move(p.topRow);
    for (quint32 &label : seam.top.label)
        label = p.heldOfTop[p.findTop(label)];
    seam.open = std::move(p.held);
    seam.cells = p.cellsWithValue;
    seam.habitat = p.habitatCells;
    seam.cover = p.statistics;
    for (size_t index = 0; index < p.classValues.size(); ++index)
    {
        seam.perClass.emplace_back(p.classValues[index], p.classStatistics[index]);
        seam.perClass.back().second.edgeSidesHorizontal += qint64(p.classEdges[index]);
    }
    std::sort(seam.perClass.begin(), seam.perClass.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    p.restartKeepingNumbers();
    return seam;
}

quint64 ClusterScan::patchNumber(qint32 value, quint64 start) const
{
    const Private &p = *d;
    if (!p.classes)
        return p.numbers.number(start);
    for (size_t index = 0; index < p.classValues.size(); ++index) {
        if (p.classValues[index] == value)
            return p.classNumbers[index].number(start);
    }
    return 0;
}

quint64 ClusterScan::patchCount(qint32 value) const
{
    const Private &p = *d;
    if (!p.classes)
        return p.numbers.count();
    for (size_t index = 0; index < p.classValues.size(); ++index) {
        if (p.classValues[index] == value)
            return p.classNumbers[index].count();
    }
    return 0;
}

bool ClusterScan::spans(const RaggedRows<qint8> &rows, ClusterRecord::Connectivity connectivity, bool leftRight,
                        bool topBottom)
{
    const qint64 n = rows.rowCount();
    if (n == 0 || !(leftRight || topBottom))
        return false;
    // Kept per thread, so that a sweep over many landscapes reuses its storage.
    thread_local ClusterScan scan;
    Options options;
    options.connectivity = connectivity;
    options.rows = n;
    options.columns = n;
    options.statistics = false;
    options.leftRight = leftRight;
    options.topBottom = topBottom;
    scan.begin(options);
    bool spanned = false;
    for (qint64 r = 0; r < n && !spanned; ++r)
        spanned = scan.addRow(rows.row(r), std::min<qint64>(rows.rowLength(r), n));
    return spanned;
}
