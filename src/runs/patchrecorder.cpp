#include "patchrecorder.h"

#include "varintspool.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("PatchRecorder", text);
}

} // namespace

struct PatchRecorder::Private
{
    bool inMemory = false;
    VarintSpool runs;
    VarintSpool records;
    // Per block of PatchRecorder::BlockRows rows: where its runs and its records (those
    // whose last row lies in it) begin; one more entry closes the last.
    std::vector<qint64> runOffsets;
    std::vector<qint64> recordOffsets;
    std::vector<qint64> lastRow;   // per cluster identifier: the last row it was seen in
    std::vector<qint32> lastInRun; // ... the index of its last run in that row
    qint64 firstRow = 0; // the landscape's row of the first row recorded
    qint64 rows = 0;     // rows recorded
    bool classes = false; // runs carry their class values
    bool failed = false;
    QString error;

    // Record offsets for every block whose first row is at most row.
    void recordsReach(qint64 row)
    {
        while (qint64(recordOffsets.size()) * PatchRecorder::BlockRows <= row)
            recordOffsets.push_back(records.offset());
    }
};

PatchRecorder::PatchRecorder(bool inMemory)
    : d(std::make_unique<Private>())
{
    d->inMemory = inMemory;
}

PatchRecorder::~PatchRecorder() = default;

bool PatchRecorder::open(QString *errorString, qint64 firstRow)
{
    Private &p = *d;
    p.firstRow = firstRow;
    p.runOffsets.clear();
    p.recordOffsets.clear();
    p.lastRow.clear();
    p.lastInRun.clear();
    p.rows = 0;
    p.failed = false;
    p.error.clear();
    if (!p.runs.open(p.inMemory) || !p.records.open(p.inMemory)) {
        if (errorString)
            *errorString = tr("no temporary file for the patches: %1")
                                   .arg(qt_error_string(p.runs.error() ? p.runs.error() : p.records.error()));
        return false;
    }
    return true;
}

void PatchRecorder::rowJoined(qint64 row, const qint64 *begins, const qint64 *ends, const qint32 *values,
                              const quint32 *clusters, qint64 runs)
{
    Private &p = *d;
    if (row != p.firstRow + p.rows) {
        p.failed = true;
        p.error = tr("the cluster search skipped a row");
        return;
    }
    if (p.rows % PatchRecorder::BlockRows == 0)
        p.runOffsets.push_back(p.runs.offset());
    p.classes = values != nullptr;
    p.runs.put(quint64(runs));
    qint64 previousEnd = 0;
    for (qint64 i = 0; i < runs; ++i) {
        const quint32 cluster = clusters[i];
        if (cluster >= p.lastRow.size()) {
            p.lastRow.resize(size_t(cluster) + 1, -1);
            p.lastInRun.resize(size_t(cluster) + 1, -1);
        }
        // A run links to the last run of its cluster earlier in this row.
        const bool earlier = p.lastRow[cluster] == row && p.lastInRun[cluster] >= 0;
        p.runs.put(quint64(begins[i] - previousEnd));
        p.runs.put(quint64(ends[i] - begins[i]));
        p.runs.put(earlier ? quint64(i - p.lastInRun[cluster]) : 0);
        if (values)
            p.runs.putSigned(values[i]);
        previousEnd = ends[i];
        p.lastRow[cluster] = row;
        p.lastInRun[cluster] = qint32(i);
    }
    p.rows += 1;
}

void PatchRecorder::clusterRetired(quint32, const Cluster &c)
{
    Private &p = *d;
    p.recordsReach(c.rowMax - p.firstRow);
    p.records.putCluster(c);
}

bool PatchRecorder::close(QString *errorString)
{
    Private &p = *d;
    p.runOffsets.push_back(p.runs.offset());
    p.recordsReach(p.rows);
    while (p.recordOffsets.size() < p.runOffsets.size())
        p.recordOffsets.push_back(p.records.offset());
    const bool flushed = p.runs.flush() && p.records.flush();
    if (p.failed || !flushed) {
        if (errorString)
            *errorString = p.failed ? p.error
                                    : tr("the patches' temporary data could not be written: %1")
                                              .arg(qt_error_string(p.runs.failed() ? p.runs.error() : p.records.error()));
        return false;
    }
    return true;
}

qint64 PatchRecorder::rows() const
{
    return d->rows;
}

qint64 PatchRecorder::firstRow() const
{
    return d->firstRow;
}

bool PatchRecorder::readBlock(qint64 b, std::vector<unsigned char> &runs, std::vector<unsigned char> &records) const
{
    const Private &p = *d;
    return b >= 0 && b + 1 < qint64(p.runOffsets.size()) && b + 1 < qint64(p.recordOffsets.size())
            && p.runs.read(p.runOffsets[size_t(b)], p.runOffsets[size_t(b) + 1], runs)
            && p.records.read(p.recordOffsets[size_t(b)], p.recordOffsets[size_t(b) + 1], records);
}

bool PatchRecorder::classes() const
{
    return d->classes;
}
