#pragma once

#include "bandseam.h"
#include "cluster.h"
#include "patchspool.h"

#include <QString>

#include <functional>
#include <vector>

class ClusterScan;
class PatchRecorder;

// The patches of a landscape whose rows were searched in bands
// (ClusterScan::Options::band), each band's search watched by a
// PatchRecorder of its own: which clusters of the bands are parts of one
// patch across their seams, the patch's whole record, and the number one
// pass over the landscape gives it. A landscape searched in one pass is one
// band without a seam.
//
// A patch's parts are the clusters its bands kept open (BandSeam::open);
// parts whose runs meet across a seam (BandSeam::meet) are one patch, and
// its first cell, in row-major order, is its first part's. Numbers: a
// band's search numbers its own clusters by their first cells
// (ClusterScan::patchNumber()); a patch's number is the count of patches
// whose first cells lie in the bands above, plus its rank among the band's
// clusters, less those of them before it that are parts of patches begun
// above, or later parts of patches begun in the band. Memory: the parts,
// bounded by the bands' widths.
class PatchSeams
{
public:
    PatchSeams() = default;
    // A landscape searched in one pass by scan, watched by recorder.
    PatchSeams(const PatchRecorder &recorder, const ClusterScan &scan);

    // The next band from the top (the first may begin below the
    // landscape's first row: a chunk walked alone): what recorder kept of it, its search
    // after finish(), finishClasses() or finishBand() (the band's numbers,
    // read until the walk ends) and the seam finishBand() gave (before any
    // join; null for a landscape searched in one pass, then the only band).
    // Recorder and scan are kept by reference. False, with the reason, when
    // the band does not follow the one before.
    bool add(const PatchRecorder &recorder, const ClusterScan &scan, const BandSeam *seam, QString *errorString);
    // Or a band known by its seam alone (bands searched elsewhere): its
    // parts join the patches, but it is not walked nor are its clusters
    // numbered.
    bool addSeam(const BandSeam &seam, QString *errorString);
    // After the last band: the patches joined (and numbered, when every band
    // was added with its search).
    void finish();
    // Or, for bands searched apart from the rest of the landscape (a part
    // of it, its bands added with their searches), whose rows joined are
    // outer (numberOpenInRowOrder()): the patches that outer's open clusters
    // are parts of are given, records, and of outer.open[i] the patch
    // ofPart[i] (an index into records). The bands' seams are joined, and
    // the walk then finds the bands' share of each given patch's sum of
    // distances (sharesOfGiven()). False, with the reason, when outer is
    // not the bands' or ofPart does not fit.
    bool givePatches(std::vector<Cluster> records, const std::vector<qint64> &ofPart, const BandSeam &outer,
                     QString *errorString);
    // After givePatches(): per given patch, the sum of the walk's distances
    // (PatchWalk::distancesOfPatches()) of the patches of parts given it.
    std::vector<unsigned __int128> sharesOfGiven(const std::vector<unsigned __int128> &distances) const;
    // After finish(): whether a patch of parts touches the first band's top
    // row (below the landscape's first) or the last band's bottom row
    // (above its last), so that rows beyond the bands may hold more of it.
    bool cutByOuterRows(qint64 patch) const;

    struct Band
    {
        const PatchRecorder *recorder = nullptr;
        const ClusterScan *scan = nullptr;
        qint64 firstRow = 0;
        qint64 endRow = 0;
    };
    const std::vector<Band> &bands() const { return m_bands; }
    // The landscape's rows the bands hold: [firstRow(), rows()).
    qint64 firstRow() const { return m_bands.empty() ? 0 : m_bands.front().firstRow; }
    qint64 rows() const { return m_bands.empty() ? 0 : m_bands.back().endRow; }
    // The patches of class value (0 under one cover).
    quint64 patchCount(qint32 value) const;

    // A cluster that band's search retired (landscape coordinates): the
    // patch it is a part of (an index for record(); -1: it is a patch of
    // its own, the band's) and that patch's number.
    struct Identity
    {
        qint64 patch = -1;
        quint64 number = 0;
    };
    Identity identify(size_t band, const Cluster &record) const;
    // The patches of parts, and one's whole record, first cell and all.
    size_t patchesOfParts() const { return m_patches.size(); }
    const Cluster &record(qint64 patch) const { return m_patches[size_t(patch)].record; }
    quint64 number(qint64 patch) const { return m_patches[size_t(patch)].number; }
    // After finish(): the patch of band's part (BandSeam::open[part]).
    qint64 patchOfPart(size_t band, size_t part) const { return m_patchOf[m_partBase[band] + part]; }

    // Bands searched apart (added by their seams) have their patches
    // gathered in two rounds. After finish(), for a second search of a band
    // that holds parts: the patches they are parts of (patches: indices
    // here, records: theirs, in the order of their first parts there), and
    // per part the index of its patch among them (givePatches()).
    struct Given
    {
        std::vector<qint64> patches;
        std::vector<Cluster> records;
        std::vector<qint64> ofPart;
    };
    Given given(size_t band) const;
    // Then every patch of the landscape, numbered as one pass numbers them,
    // into spool, first first, those of fewer than minCells cells left out:
    // each band's own (those its outer rows do not cut), which ownOf(band,
    // onPatch) hands on first first, and the patches of parts, each with
    // the sum of the bands' shares of distances (shares[band][i] that of
    // given(band).patches[i]). False, with the reason, when ownOf fails or
    // a share is missing.
    using Own = std::function<bool(size_t band, const std::function<void(const PatchSpool::Patch &)> &onPatch,
                                   QString *errorString)>;
    bool gather(const Own &ownOf, const std::vector<std::vector<unsigned __int128>> &shares, qint64 minCells,
                PatchSpool &spool, QString *errorString) const;

private:
    struct Part
    {
        qint32 value;
        quint64 start;
        qint64 patch;
        bool operator<(const Part &o) const { return value != o.value ? value < o.value : start < o.start; }
    };
    struct ClassCount
    {
        qint32 value;
        quint64 count; // the band's clusters (after finish(): the patches begun above)
        std::vector<quint64> notFirst; // starts of parts that begin no patch, increasing
    };
    struct BandParts
    {
        std::vector<Part> parts; // by value and start
        std::vector<ClassCount> classes; // by value
    };
    struct Patch
    {
        Cluster record;
        size_t band = 0; // its first part's
        quint64 number = 0;
    };
    quint64 numberIn(size_t band, qint32 value, quint64 start) const;
    bool follows(const Band &band, QString *errorString) const;

    std::vector<Band> m_bands;
    std::vector<BandParts> m_parts;
    std::vector<Cluster> m_records; // every part, bands in order
    std::vector<size_t> m_bandOf;
    std::vector<size_t> m_partBase; // per band: its first part
    std::vector<qint64> m_patchOf;  // per part: its patch
    std::vector<quint32> m_parent;
    std::vector<Patch> m_patches;
    std::vector<std::pair<qint32, quint64>> m_counts; // per class value: the patches
    std::vector<bool> m_cut;       // per patch of parts: cutByOuterRows()
    std::vector<qint64> m_givenOf; // per patch of parts: the given patch it is part of, or -1
    size_t m_given = 0;            // the patches given
    BandSeam::Row m_top;          // the first band's first row, its labels parts
    BandSeam::Row m_bottom;       // the last band's last row, its labels parts
    size_t m_bottomBase = 0;      // the last band's first part
    ClusterRecord::Connectivity m_connectivity = ClusterRecord::Four;
    bool m_classes = false;
};
