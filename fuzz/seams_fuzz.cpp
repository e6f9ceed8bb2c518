// Band seams (a rows part's, a Dask task's) and patches as bytes, on any
// bytes. The input is two seams one after the other, the first as long as
// its first four bytes say (little-endian, modulo what follows). A seam read() accepts is written again to the same bytes that a
// second reading gives. Two seams accepted are joined, and their parts
// joined into patches, without reading past what they hold. Patches read
// from the same bytes are written again and read back the same.
#include "bandseam.h"
#include "patchseams.h"
#include "patchspool.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

bool sameRecords(const std::vector<PatchSpool::Patch> &a, const std::vector<PatchSpool::Patch> &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const Cluster &x = a[i].record;
        const Cluster &y = b[i].record;
        if (a[i].number != b[i].number || a[i].sumDistance != b[i].sumDistance || x.value != y.value
            || x.cells != y.cells || x.sumSquares != y.sumSquares || x.rowMin != y.rowMin || x.start != y.start)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    quint32 length = 0;
    for (int i = 0; i < 4 && i < bytes.size(); ++i)
        length |= quint32(quint8(bytes[i])) << (8 * i);
    const qsizetype rest = std::max<qsizetype>(0, bytes.size() - 4);
    const qsizetype cut = qsizetype(length % quint32(rest + 1));
    const QByteArray first = bytes.mid(4, cut);
    const QByteArray second = bytes.mid(4 + cut);
    QString why;
    std::optional<BandSeam> seams[2];
    int index = 0;
    for (const QByteArray &part : {first, second}) {
        std::optional<BandSeam> &seam = seams[index++];
        seam = BandSeam::read(part, &why);
        if (!seam) {
            if (why.isEmpty())
                std::abort();
            continue;
        }
        const QByteArray written = seam->write();
        const std::optional<BandSeam> again = BandSeam::read(written, &why);
        if (!again || again->write() != written)
            std::abort();
    }
    if (seams[0] && seams[1]) {
        BandSeam joined;
        BandSeam::join(*seams[0], *seams[1], joined, &why);
        PatchSeams patches;
        if (patches.addSeam(*seams[0], &why) && patches.addSeam(*seams[1], &why)) {
            patches.finish();
            for (size_t band = 0; band < 2; ++band) {
                const PatchSeams::Given given = patches.given(band);
                if (given.ofPart.size() != seams[band]->open.size() || given.records.size() != given.patches.size())
                    std::abort();
            }
        }
    }
    std::vector<PatchSpool::Patch> read;
    if (PatchSpool::fromBytes(bytes, read)) {
        std::vector<PatchSpool::Patch> again;
        if (!PatchSpool::fromBytes(PatchSpool::toBytes(read), again) || !sameRecords(read, again))
            std::abort();
    }
    return 0;
}
