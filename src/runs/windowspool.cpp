#include "windowspool.h"

#include "varintspool.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("WindowSpool", text);
}

// Windows read back at a time.
constexpr qint64 Chunk = 4096;

// The spool under the names ClusterStatistics::writeTo() and readFrom() call.
struct Out
{
    VarintSpool &spool;
    void signedNumber(qint64 v) { spool.putSigned(v); }
    void wide(unsigned __int128 v) { spool.putWide(v); }
    void number(quint64 v) { spool.put(v); }
};

struct In
{
    VarintSpool::Reader &reader;
    qint64 signedNumber() { return reader.getSigned(); }
    unsigned __int128 wide() { return reader.getWide(); }
    quint64 number() { return reader.get(); }
};

} // namespace

struct WindowSpool::Private
{
    VarintSpool spool;
    std::vector<qint64> chunkOffsets; // where every Chunk-th window begins
    qint64 count = 0;
    mutable std::vector<unsigned char> bytes;
};

WindowSpool::WindowSpool()
    : d(std::make_unique<Private>())
{
}

WindowSpool::~WindowSpool() = default;

bool WindowSpool::open(QString *errorString)
{
    if (!d->spool.open(false)) {
        if (errorString)
            *errorString = tr("no temporary file for the windows: %1").arg(qt_error_string(d->spool.error()));
        return false;
    }
    return true;
}

void WindowSpool::add(const LandscapeResult &window)
{
    VarintSpool &s = d->spool;
    if (d->count % Chunk == 0)
        d->chunkOffsets.push_back(s.offset());
    for (const qint64 v : {window.row, window.column, window.rows, window.columns, window.latticeRow,
                           window.latticeColumn, qint64(window.coverClass), qint64(window.spans)})
        s.putSigned(v);
    s.put(window.isClass ? 1 : 0);
    Out out{s};
    window.statistics.writeTo(out);
    s.put(window.boxes.size());
    for (const GlidingBoxes::Sums &box : window.boxes) {
        s.putSigned(box.side);
        s.put(box.boxes);
        s.putWide(box.sum);
        s.putWide(box.sumSquares);
    }
    ++d->count;
}

bool WindowSpool::close(QString *errorString)
{
    d->chunkOffsets.push_back(d->spool.offset());
    if (d->spool.flush())
        return true;
    if (errorString)
        *errorString = tr("the windows could not be kept on a temporary file: %1").arg(qt_error_string(d->spool.error()));
    return false;
}

qint64 WindowSpool::count() const
{
    return d->count;
}

qint64 WindowSpool::chunks() const
{
    return (d->count + Chunk - 1) / Chunk;
}

bool WindowSpool::readChunk(qint64 k, std::vector<LandscapeResult> &chunk, QString *errorString) const
{
    chunk.resize(size_t(std::min(Chunk, d->count - k * Chunk)));
    const bool read = k + 1 < qint64(d->chunkOffsets.size())
            && d->spool.read(d->chunkOffsets[size_t(k)], d->chunkOffsets[size_t(k) + 1], d->bytes);
    VarintSpool::Reader reader{d->bytes.data(), d->bytes.data() + d->bytes.size()};
    In in{reader};
    for (LandscapeResult &window : chunk) {
        if (!read)
            break;
        qint64 coverClass = 0;
        qint64 spans = 0;
        for (qint64 *v : {&window.row, &window.column, &window.rows, &window.columns, &window.latticeRow,
                          &window.latticeColumn, &coverClass, &spans})
            *v = reader.getSigned();
        window.coverClass = qint32(coverClass);
        window.spans = int(spans);
        window.isClass = reader.get() != 0;
        window.statistics.readFrom(in);
        window.boxes.resize(size_t(std::min<quint64>(reader.get(), 4096)));
        for (GlidingBoxes::Sums &box : window.boxes) {
            box.side = reader.getSigned();
            box.boxes = reader.get();
            box.sum = reader.getWide();
            box.sumSquares = reader.getWide();
        }
    }
    if (!read || !reader.ok || reader.at != reader.end) {
        chunk.clear();
        if (errorString)
            *errorString = tr("the windows cannot be read back from their temporary file");
        return false;
    }
    return true;
}
