#include "landscapestream.h"

#include "cellcodes.h"
#include "coverbits.h"
#include "landscapetext.h"

#include <QCoreApplication>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace {

// Text: line offsets kept for seek(), at most.
constexpr size_t MaxCheckpoints = 65536;
// A raster band is read in strips of whole blocks, about this many cells each.
constexpr qint64 StripCells = qint64(1) << 20;

QString tr(const char *text)
{
    return QCoreApplication::translate("LandscapeStream", text);
}

// One read asked for: its kind and shape. A band read ahead serves the next
// request only when that is the same.
struct Request
{
    enum Kind { Habitat, HabitatBits, Values, ByteValues };
    Kind kind = Habitat;
    qint64 count = 0;
    qint64 columns = 0;
    CoverSet cover;

    bool operator==(const Request &other) const
    {
        return kind == other.kind && count == other.count && columns == other.columns
                && (kind == Values || kind == ByteValues || cover == other.cover);
    }
};

// Where reading stands: the next row and, for text, the file offset of the
// next line to read.
struct Position
{
    qint64 row = 0;
    qint64 offset = 0;
};

// Where a band goes: habitat (as codes or as bits), or values (32-bit or
// bytes) and present.
struct Target
{
    RaggedRows<qint8> *habitat = nullptr;
    CoverBits *bits = nullptr;
    RaggedRows<qint32> *values = nullptr;
    RaggedRows<quint8> *present = nullptr;
    RaggedRows<quint8> *byteValues = nullptr;
};

struct Outcome
{
    bool ok = true;
    bool outOfMemory = false;
    QString error;
};

// Offsets of n rows of `columns` cells each.
template <typename T>
void rectangular(RaggedRows<T> &rows, qint64 n, qint64 columns)
{
    rows.cells.resize(size_t(n * columns));
    rows.offsets.resize(size_t(n + 1));
    for (qint64 r = 0; r <= n; ++r)
        rows.offsets[size_t(r)] = qsizetype(r * columns);
}

} // namespace

struct LandscapeStream::Private
{
    Options options;
    bool isOpen = false;
    bool isRaster = false;
    RasterSource raster;
    LandscapeText::InputFile file;
    LandscapeText::ReadBuffer buffer;
    LandscapeText::Lines lines{buffer};
    std::vector<qint8> scratch;          // the cells of a text line
    std::vector<qint32> scratchValues;   // the values of a text line
    RaggedRows<qint8> scratchBand;       // text read as bits: the band's codes
    qint64 rows = 0;
    qint64 columns = 0;
    // Text: the offset of the line of every checkpointRows-th row.
    std::vector<qint64> checkpoints;
    qint64 checkpointRows = 256;
    LandscapeReader::SkippedFields skipped;
    bool outOfMemory = false;

    // Where the reader stands (past a band read ahead, if any), and where
    // the caller does (past the last band handed over).
    Position reader;
    Position delivered;

    // Reading ahead: one band, on a thread of the stream's own. The worker
    // uses the reader only while busy; the caller touches it only while not.
    std::thread worker;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable finished;
    bool stopping = false;
    bool busy = false;
    bool hasJob = false;
    bool haveAhead = false; // a band is read ahead (or being read)
    Request ahead;
    RaggedRows<qint8> aheadHabitat;
    CoverBits aheadBits;
    RaggedRows<qint32> aheadValues;
    RaggedRows<quint8> aheadPresent;
    RaggedRows<quint8> aheadByteValues;
    Outcome aheadOutcome;

    ~Private() { stopWorker(); }

    void stopWorker()
    {
        if (!worker.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_one();
        worker.join();
    }

    void seekTo(const Position &position)
    {
        reader = position;
        if (!isRaster)
            lines.start(file, position.offset);
    }

    void readNow(const Request &request, const Target &target, Outcome &outcome);
    bool readText(const Request &request, const Target &target, QString *errorString);
    bool readRaster(const Request &request, const Target &target, QString *errorString);
    bool skipText(qint64 count, QString *errorString);
    bool nextLine(const char *&begin, const char *&end, QString *errorString);
    void readAhead(const Request &request);
    void waitForAhead();
    bool deliver(const Request &request, const Target &target, QString *errorString);
    // readHabitat() and readHabitatBits(): the request checked and delivered.
    bool readCover(Request::Kind kind, qint64 count, qint64 columns, const CoverSet &cover, const Target &target,
                   QString *errorString);
    void run();
};

bool LandscapeStream::Private::nextLine(const char *&begin, const char *&end, QString *errorString)
{
    switch (lines.next(begin, end, errorString)) {
    case LandscapeText::Lines::Line:
        return true;
    case LandscapeText::Lines::Error:
        return false;
    case LandscapeText::Lines::End:
        break;
    }
    if (errorString)
        *errorString = tr("the file changed while it was read: it has fewer rows than when it was opened");
    return false;
}

// Each line is parsed into a scratch row, and its first `columns` cells
// copied into the band, which is reserved once for the rows asked for: the
// band never moves while it fills (a band of a whole landscape is touched
// once), and holds no more than the cells asked for.
bool LandscapeStream::Private::readText(const Request &request, const Target &target, QString *errorString)
{
    const qint64 n = std::min(request.count, rows - reader.row);
    const size_t most = size_t(n * std::min(request.columns, columns));
    if (request.kind == Request::HabitatBits) {
        // The codes, packed: cells a short row lacks have no value.
        Request codes = request;
        codes.kind = Request::Habitat;
        if (!readText(codes, Target{&scratchBand}, errorString))
            return false;
        CoverBits &bits = *target.bits;
        bits.reserve(n, request.columns);
        bits.fill(n);
        const qint64 words = bits.words();
        for (qint64 r = 0; r < n; ++r) {
            quint64 *habitat = bits.habitat(r);
            std::fill_n(habitat, 2 * words, quint64(0));
            const qint64 length = scratchBand.rowLength(r);
            packCoverBits(scratchBand.row(r), length, habitat, habitat + words);
            for (qint64 c = length; c < request.columns; ++c)
                habitat[words + c / 64] |= quint64(1) << (c % 64);
        }
        return true;
    }
    if (request.kind == Request::Habitat) {
        const LandscapeText::TextCover cover(request.cover);
        RaggedRows<qint8> &band = *target.habitat;
        band.clear();
        band.cells.reserve(most);
        band.offsets.reserve(size_t(n + 1));
        for (qint64 r = 0; r < n;) {
            const char *begin;
            const char *end;
            if (!nextLine(begin, end, errorString))
                return false;
            scratch.clear();
            const qsizetype got = LandscapeText::cellsOfLine(begin, end, cover, scratch, nullptr);
            if (got == 0)
                continue; // a line without a cell is no row
            const qint64 kept = std::min<qint64>(got, request.columns);
            band.cells.insert(band.cells.end(), scratch.begin(), scratch.begin() + kept);
            band.endRow();
            ++r;
        }
    } else {
        RaggedRows<qint32> &values = *target.values;
        RaggedRows<quint8> &present = *target.present;
        values.clear();
        present.clear();
        values.cells.reserve(most);
        values.offsets.reserve(size_t(n + 1));
        present.cells.reserve(most);
        present.offsets.reserve(size_t(n + 1));
        for (qint64 r = 0; r < n;) {
            const char *begin;
            const char *end;
            if (!nextLine(begin, end, errorString))
                return false;
            scratchValues.clear();
            const qsizetype got = LandscapeText::valuesOfLine(begin, end, scratchValues, nullptr);
            if (got == 0)
                continue;
            const qint64 kept = std::min<qint64>(got, request.columns);
            values.cells.insert(values.cells.end(), scratchValues.begin(), scratchValues.begin() + kept);
            present.cells.resize(present.cells.size() + size_t(kept), 1);
            values.endRow();
            present.endRow();
            ++r;
        }
    }
    reader.row += n;
    reader.offset = lines.offset();
    return true;
}

// The band is reserved whole (address space, no pages) and filled a strip
// at a time: a small damaged file that declares a large raster fails at its
// first unreadable strip having touched little memory.
bool LandscapeStream::Private::readRaster(const Request &request, const Target &target, QString *errorString)
{
    const qint64 n = std::min(request.count, rows - reader.row);
    const qint64 columns = request.columns;
    const qint64 block = std::max<qint64>(1, raster.blockHeight());
    const qint64 wanted = std::max<qint64>(1, StripCells / std::max<qint64>(1, columns));
    const qint64 strip = std::max<qint64>(1, std::min(n, (wanted + block - 1) / block * block));
    const bool habitat = request.kind == Request::Habitat;
    const bool bits = request.kind == Request::HabitatBits;
    const bool bytes = request.kind == Request::ByteValues;
    const qint64 words = CoverBits::wordsFor(columns);
    // Cells a band read before holds are overwritten, not cleared first: a
    // band of the same size as the last (every band of a map but its last)
    // touches its memory once.
    const auto room = [](auto &cells, size_t size) {
        if (cells.size() < size)
            cells.resize(size);
    };
    // A band larger than any before is reserved empty: the cells it held
    // are not worth copying into the new room.
    const auto reserve = [n, columns](auto &cells) {
        if (cells.capacity() < size_t(n * columns)) {
            cells.clear();
            cells.reserve(size_t(n * columns));
        }
    };
    if (bits) {
        target.bits->reserve(n, columns);
    } else if (habitat) {
        reserve(target.habitat->cells);
    } else {
        if (bytes)
            reserve(target.byteValues->cells);
        else
            reserve(target.values->cells);
        reserve(target.present->cells);
    }
    for (qint64 line = 0; line < n; line += strip) {
        const qint64 count = std::min(strip, n - line);
        const size_t filled = size_t((line + count) * columns);
        const size_t at = size_t(line * columns);
        bool ok = false;
        if (bits) {
            target.bits->fill(line + count);
            ok = raster.readHabitatBits(reader.row + line, count, columns, request.cover,
                                        target.bits->bits.data() + 2 * line * words, errorString);
        } else if (habitat) {
            room(target.habitat->cells, filled);
            ok = raster.readHabitat(reader.row + line, count, columns, request.cover,
                                    target.habitat->cells.data() + at, errorString);
        } else if (bytes) {
            room(target.byteValues->cells, filled);
            room(target.present->cells, filled);
            ok = raster.readByteValues(reader.row + line, count, columns, target.byteValues->cells.data() + at,
                                       target.present->cells.data() + at, errorString);
        } else {
            room(target.values->cells, filled);
            room(target.present->cells, filled);
            ok = raster.readValues(reader.row + line, count, columns, target.values->cells.data() + at,
                                   target.present->cells.data() + at, errorString);
        }
        if (!ok)
            return false;
    }
    if (habitat) {
        rectangular(*target.habitat, n, columns);
    } else if (bytes) {
        rectangular(*target.byteValues, n, columns);
        rectangular(*target.present, n, columns);
    } else if (!bits) {
        rectangular(*target.values, n, columns);
        rectangular(*target.present, n, columns);
    }
    reader.row += n;
    return true;
}

bool LandscapeStream::Private::skipText(qint64 count, QString *errorString)
{
    const LandscapeText::TextCover none{CoverSet()};
    for (qint64 r = 0; r < count;) {
        const char *begin;
        const char *end;
        if (!nextLine(begin, end, errorString))
            return false;
        scratch.clear();
        if (LandscapeText::cellsOfLine(begin, end, none, scratch, nullptr) > 0)
            ++r;
    }
    reader.row += count;
    reader.offset = lines.offset();
    return true;
}

// Reads the request at the reader's position; on failure the reader goes
// back to where the band began, so that the same rows are read next.
void LandscapeStream::Private::readNow(const Request &request, const Target &target, Outcome &outcome)
{
    const Position start = reader;
    outcome = Outcome();
    try {
        outcome.ok = isRaster ? readRaster(request, target, &outcome.error) : readText(request, target, &outcome.error);
    } catch (const std::bad_alloc &) {
        outcome.ok = false;
        outcome.outOfMemory = true;
        outcome.error = tr("there is not enough memory for a band of %1 rows of %2 cells")
                                .arg(request.count)
                                .arg(request.columns);
    }
    if (!outcome.ok) {
        if (isRaster && raster.outOfMemory())
            outcome.outOfMemory = true; // GDAL could not allocate
        if (target.habitat)
            *target.habitat = RaggedRows<qint8>();
        if (target.bits)
            *target.bits = CoverBits();
        if (target.values)
            *target.values = RaggedRows<qint32>();
        if (target.present)
            *target.present = RaggedRows<quint8>();
        if (target.byteValues)
            *target.byteValues = RaggedRows<quint8>();
        try {
            seekTo(start);
        } catch (const std::bad_alloc &) {
            outcome.outOfMemory = true;
        }
    }
}

void LandscapeStream::Private::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || hasJob; });
        if (stopping)
            return;
        hasJob = false;
        const Request request = ahead;
        lock.unlock();
        Outcome outcome;
        readNow(request, Target{&aheadHabitat, &aheadBits, &aheadValues, &aheadPresent, &aheadByteValues}, outcome);
        lock.lock();
        aheadOutcome = outcome;
        busy = false;
        finished.notify_all();
    }
}

void LandscapeStream::Private::readAhead(const Request &request)
{
    if (!options.prefetch || reader.row >= rows)
        return;
    try {
        if (!worker.joinable())
            worker = std::thread([this] { run(); });
    } catch (const std::system_error &) {
        return; // no thread to be had: reading goes on without
    }
    std::lock_guard<std::mutex> lock(mutex);
    ahead = request;
    haveAhead = true;
    busy = true;
    hasJob = true;
    wake.notify_one();
}

void LandscapeStream::Private::waitForAhead()
{
    std::unique_lock<std::mutex> lock(mutex);
    finished.wait(lock, [this] { return !busy; });
}

bool LandscapeStream::Private::deliver(const Request &request, const Target &target, QString *errorString)
{
    Outcome outcome;
    bool handed = false;
    if (haveAhead) {
        waitForAhead();
        haveAhead = false;
        if (ahead == request) {
            if (target.habitat)
                std::swap(*target.habitat, aheadHabitat);
            if (target.bits)
                std::swap(*target.bits, aheadBits);
            if (target.values)
                std::swap(*target.values, aheadValues);
            if (target.byteValues)
                std::swap(*target.byteValues, aheadByteValues);
            if (target.present)
                std::swap(*target.present, aheadPresent);
            outcome = aheadOutcome;
            handed = true;
        } else {
            seekTo(delivered); // the band read ahead is not what is asked for
        }
    }
    if (!handed)
        readNow(request, target, outcome);
    outOfMemory = !outcome.ok && outcome.outOfMemory;
    if (!outcome.ok) {
        if (errorString)
            *errorString = outcome.error;
        return false;
    }
    delivered = reader;
    readAhead(request);
    return true;
}

LandscapeStream::LandscapeStream()
    : d(std::make_unique<Private>())
{
}

LandscapeStream::~LandscapeStream() = default;

bool LandscapeStream::open(const QByteArray &path, const Options &options, QString *errorString)
{
    d = std::make_unique<Private>();
    d->options = options;
    if (options.grid) {
        if (d->raster.open(options.grid, errorString) != RasterSource::Opened)
            return false;
        d->isRaster = true;
        d->rows = d->raster.height();
        d->columns = d->raster.width();
        d->isOpen = true;
        return true;
    }
    switch (LandscapeText::openLandscape(path, options.band, d->file, d->raster, errorString)) {
    case LandscapeText::Kind::Unreadable:
        return false;
    case LandscapeText::Kind::Raster:
        d->isRaster = true;
        d->rows = d->raster.height();
        d->columns = d->raster.width();
        d->isOpen = true;
        return true;
    case LandscapeText::Kind::Text:
        break;
    }
    // A first reading counts the rows and the longest, tallies the fields
    // that are no integers, and keeps where rows lie for seek().
    try {
        const LandscapeText::TextCover none{CoverSet()};
        d->lines.start(d->file);
        for (;;) {
            const qint64 lineStart = d->lines.offset();
            const char *begin;
            const char *end;
            const LandscapeText::Lines::Result got = d->lines.next(begin, end, errorString);
            if (got == LandscapeText::Lines::Error)
                return false;
            if (got == LandscapeText::Lines::End)
                break;
            d->scratch.clear();
            const qsizetype cells = LandscapeText::cellsOfLine(begin, end, none, d->scratch, &d->skipped);
            if (cells == 0)
                continue;
            if (d->rows % d->checkpointRows == 0) {
                if (d->checkpoints.size() == MaxCheckpoints) {
                    // Every other one goes, and rows between them double.
                    for (size_t i = 0; i < MaxCheckpoints / 2; ++i)
                        d->checkpoints[i] = d->checkpoints[2 * i];
                    d->checkpoints.resize(MaxCheckpoints / 2);
                    d->checkpointRows *= 2;
                }
                if (d->rows % d->checkpointRows == 0)
                    d->checkpoints.push_back(lineStart);
            }
            ++d->rows;
            d->columns = std::max<qint64>(d->columns, cells);
        }
        d->scratch = std::vector<qint8>();
        d->seekTo(Position());
    } catch (const std::bad_alloc &) {
        d->outOfMemory = true;
        if (errorString)
            *errorString = tr("there is not enough memory for a line of the landscape");
        return false;
    }
    d->isOpen = true;
    return true;
}

bool LandscapeStream::isRaster() const
{
    return d->isRaster;
}

qint64 LandscapeStream::rows() const
{
    return d->rows;
}

qint64 LandscapeStream::columns() const
{
    return d->columns;
}

qint64 LandscapeStream::blockHeight() const
{
    return d->isRaster ? std::max<qint64>(1, d->raster.blockHeight()) : 1;
}

RasterSource::GeoReference LandscapeStream::geoReference() const
{
    return d->isRaster ? d->raster.geoReference() : RasterSource::GeoReference();
}

qint64 LandscapeStream::nextRow() const
{
    return d->delivered.row;
}

namespace {

bool checkRead(bool isOpen, qint64 count, qint64 columns, qint64 width, QString *errorString)
{
    QString why;
    if (!isOpen)
        why = tr("no landscape is open");
    else if (count < 0 || columns < 0 || columns > width)
        why = tr("%1 rows of %2 cells cannot be read from a landscape %3 cells wide")
                      .arg(count)
                      .arg(columns)
                      .arg(width);
    if (why.isEmpty())
        return true;
    if (errorString)
        *errorString = why;
    return false;
}

} // namespace

bool LandscapeStream::Private::readCover(Request::Kind kind, qint64 count, qint64 columns, const CoverSet &cover,
                                          const Target &target, QString *errorString)
{
    if (!checkRead(isOpen, count, columns, this->columns, errorString))
        return false;
    if (cover.isEach()) {
        if (errorString)
            *errorString = tr("habitat is read for a cover of class values, not for each class");
        return false;
    }
    Request request;
    request.kind = kind;
    request.count = count;
    request.columns = columns;
    request.cover = cover;
    return deliver(request, target, errorString);
}

bool LandscapeStream::readHabitat(qint64 count, qint64 columns, const CoverSet &cover, RaggedRows<qint8> &band,
                                  QString *errorString)
{
    return d->readCover(Request::Habitat, count, columns, cover, Target{&band, nullptr, nullptr, nullptr},
                        errorString);
}

bool LandscapeStream::readHabitatBits(qint64 count, qint64 columns, const CoverSet &cover, CoverBits &band,
                                      QString *errorString)
{
    return d->readCover(Request::HabitatBits, count, columns, cover, Target{nullptr, &band, nullptr, nullptr},
                        errorString);
}

bool LandscapeStream::readValues(qint64 count, qint64 columns, RaggedRows<qint32> &values, RaggedRows<quint8> &present,
                                 QString *errorString)
{
    if (!checkRead(d->isOpen, count, columns, d->columns, errorString))
        return false;
    Request request;
    request.kind = Request::Values;
    request.count = count;
    request.columns = columns;
    return d->deliver(request, Target{nullptr, nullptr, &values, &present}, errorString);
}

bool LandscapeStream::valuesAreBytes() const
{
    return d->isOpen && d->isRaster && d->raster.valuesAreBytes();
}

bool LandscapeStream::readByteValues(qint64 count, qint64 columns, RaggedRows<quint8> &values,
                                     RaggedRows<quint8> &present, QString *errorString)
{
    if (!checkRead(d->isOpen, count, columns, d->columns, errorString))
        return false;
    if (!valuesAreBytes()) {
        if (errorString)
            *errorString = tr("the landscape's values are not bytes");
        return false;
    }
    Request request;
    request.kind = Request::ByteValues;
    request.count = count;
    request.columns = columns;
    return d->deliver(request, Target{nullptr, nullptr, nullptr, &present, &values}, errorString);
}

bool LandscapeStream::skip(qint64 count, QString *errorString)
{
    if (!checkRead(d->isOpen, count, 0, d->columns, errorString))
        return false;
    return seek(d->delivered.row + std::min(count, d->rows - d->delivered.row), errorString);
}

bool LandscapeStream::seek(qint64 row, QString *errorString)
{
    if (!checkRead(d->isOpen, 0, 0, d->columns, errorString))
        return false;
    if (row < 0 || row > d->rows) {
        if (errorString)
            *errorString = tr("row %1 lies outside the landscape's %2 rows").arg(row).arg(d->rows);
        return false;
    }
    if (d->haveAhead) {
        d->waitForAhead();
        d->haveAhead = false;
        d->seekTo(d->delivered);
    }
    d->outOfMemory = false;
    if (d->isRaster || row == d->reader.row) {
        d->reader.row = row;
        d->delivered = d->reader;
        return true;
    }
    const Position start = d->reader;
    // From the checkpoint at or before the row, unless the stream stands
    // between the two.
    const size_t k = size_t(std::min<qint64>(row / d->checkpointRows, qint64(d->checkpoints.size()) - 1));
    const qint64 checkpointRow = qint64(k) * d->checkpointRows;
    if (d->reader.row > row || d->reader.row < checkpointRow)
        d->seekTo(Position{checkpointRow, d->checkpoints[k]});
    bool ok = false;
    try {
        ok = d->skipText(row - d->reader.row, errorString);
    } catch (const std::bad_alloc &) {
        d->outOfMemory = true;
        if (errorString)
            *errorString = tr("there is not enough memory for a line of the landscape");
    }
    if (!ok) {
        d->seekTo(start);
        return false;
    }
    d->delivered = d->reader;
    return true;
}

const LandscapeReader::SkippedFields &LandscapeStream::skippedFields() const
{
    return d->skipped;
}

bool LandscapeStream::outOfMemory() const
{
    return d->outOfMemory;
}
