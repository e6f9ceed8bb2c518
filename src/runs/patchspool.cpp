#include "patchspool.h"

#include "varintspool.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("PatchSpool", text);
}

// Patches read back at a time.
constexpr qint64 Chunk = 4096;

} // namespace

struct PatchSpool::Private
{
    VarintSpool spool;
    std::vector<qint64> chunkOffsets; // where every Chunk-th patch begins
    qint64 count = 0;
    // Read back: the patches [chunkBegin, chunkBegin + chunk.size()).
    mutable std::vector<Patch> chunk;
    mutable qint64 chunkBegin = -1;
    mutable std::vector<unsigned char> bytes;
};

PatchSpool::PatchSpool()
    : d(std::make_unique<Private>())
{
}

PatchSpool::~PatchSpool() = default;

bool PatchSpool::open(QString *errorString)
{
    if (!d->spool.open(false)) {
        if (errorString)
            *errorString = tr("no temporary file for the patches: %1").arg(qt_error_string(d->spool.error()));
        return false;
    }
    return true;
}

void PatchSpool::add(const Patch &patch)
{
    put(patch, false);
}

void PatchSpool::addFirstFirst(const Patch &patch)
{
    put(patch, true);
}

void PatchSpool::put(const Patch &patch, bool firstFirst)
{
    if (m_segments.empty() || m_segments.back().row != patch.row || m_segments.back().column != patch.column
        || m_segments.back().firstFirst != firstFirst)
        m_segments.push_back({patch.row, patch.column, d->count, d->count, firstFirst});
    if (d->count % Chunk == 0)
        d->chunkOffsets.push_back(d->spool.offset());
    d->spool.put(patch.number);
    d->spool.putCluster(patch.record);
    d->spool.putWide(patch.sumDistance);
    ++d->count;
    m_segments.back().end = d->count;
}

QByteArray PatchSpool::toBytes(const std::vector<Patch> &patches)
{
    VarintSpool spool;
    spool.open(true);
    for (const Patch &patch : patches) {
        spool.put(patch.number);
        spool.putCluster(patch.record);
        spool.putWide(patch.sumDistance);
    }
    std::vector<unsigned char> bytes;
    spool.read(0, spool.offset(), bytes);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

bool PatchSpool::fromBytes(const QByteArray &bytes, std::vector<Patch> &patches)
{
    const auto *begin = reinterpret_cast<const unsigned char *>(bytes.constData());
    VarintSpool::Reader in{begin, begin + bytes.size()};
    while (in.ok && in.at < in.end) {
        Patch patch;
        patch.number = in.get();
        in.getCluster(patch.record);
        patch.sumDistance = in.getWide();
        if (in.ok)
            patches.push_back(patch);
    }
    return in.ok;
}

bool PatchSpool::close(QString *errorString)
{
    d->chunkOffsets.push_back(d->spool.offset());
    if (d->spool.flush())
        return true;
    if (errorString)
        *errorString = tr("the patches could not be kept on a temporary file: %1").arg(qt_error_string(d->spool.error()));
    return false;
}

qint64 PatchSpool::count() const
{
    return d->count;
}

bool PatchSpool::readAt(qint64 index, Patch &patch, QString *errorString) const
{
    Private &p = *d;
    if (p.chunkBegin < 0 || index < p.chunkBegin || index >= p.chunkBegin + qint64(p.chunk.size())) {
        const qint64 k = index / Chunk;
        p.chunkBegin = k * Chunk;
        p.chunk.resize(size_t(std::min(Chunk, p.count - p.chunkBegin)));
        const bool read = k + 1 < qint64(p.chunkOffsets.size())
                && p.spool.read(p.chunkOffsets[size_t(k)], p.chunkOffsets[size_t(k) + 1], p.bytes);
        VarintSpool::Reader in{p.bytes.data(), p.bytes.data() + p.bytes.size()};
        for (Patch &q : p.chunk) {
            if (!read)
                break;
            q.number = in.get();
            in.getCluster(q.record);
            q.sumDistance = in.getWide();
        }
        if (!read || !in.ok || in.at != in.end) {
            p.chunkBegin = -1;
            p.chunk.clear();
            if (errorString)
                *errorString = tr("the patches cannot be read back from their temporary file");
            return false;
        }
    }
    patch = p.chunk[size_t(index - p.chunkBegin)];
    return true;
}
