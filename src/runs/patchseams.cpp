#include "patchseams.h"

#include "clusterscan.h"
#include "patchrecorder.h"
#include "unionfind.h"

#include <QCoreApplication>

#include <algorithm>
#include <map>
#include <unordered_map>

using UnionFind::findRoot;

PatchSeams::PatchSeams(const PatchRecorder &recorder, const ClusterScan &scan)
{
    m_bands.push_back({&recorder, &scan, recorder.firstRow(), recorder.firstRow() + recorder.rows()});
}

bool PatchSeams::add(const PatchRecorder &recorder, const ClusterScan &scan, const BandSeam *seam,
                     QString *errorString)
{
    const Band band{&recorder, &scan, recorder.firstRow(), recorder.firstRow() + recorder.rows()};
    if (!seam) {
        if (!m_bands.empty())
            return follows(band, errorString);
        m_bands.push_back(band);
        return true;
    }
    if (seam->firstRow != band.firstRow || seam->endRow != band.endRow)
        return follows(band, errorString);
    if (!addSeam(*seam, errorString))
        return false;
    m_bands.back() = band;
    // The band's clusters per class, for numbering.
    std::vector<ClassCount> &classes = m_parts.back().classes;
    if (seam->classes) {
        for (const auto &found : seam->perClass)
            classes.push_back({found.first, scan.patchCount(found.first), {}});
    } else {
        classes.push_back({0, scan.patchCount(0), {}});
    }
    return true;
}

bool PatchSeams::follows(const Band &band, QString *errorString) const
{
    *errorString = QCoreApplication::translate("PatchSeams", "the band of rows from %1 does not follow rows to %2")
                           .arg(band.firstRow)
                           .arg(rows());
    return false;
}

bool PatchSeams::addSeam(const BandSeam &seam, QString *errorString)
{
    const Band band{nullptr, nullptr, seam.firstRow, seam.endRow};
    const bool other = !m_bands.empty() && (seam.classes != m_classes || seam.connectivity != m_connectivity);
    if ((!m_bands.empty() && band.firstRow != rows()) || (!m_bands.empty() && m_parts.empty()) || other)
        return follows(band, errorString);
    m_bands.push_back(band);
    m_connectivity = seam.connectivity;
    m_classes = seam.classes;
    const size_t base = m_records.size();
    m_partBase.push_back(base);
    for (const Cluster &open : seam.open) {
        m_parent.push_back(quint32(m_records.size()));
        m_records.push_back(open);
        m_bandOf.push_back(m_bands.size() - 1);
    }
    m_parts.emplace_back();
    if (m_bands.size() == 1)
        m_top = seam.top;
    if (band.firstRow == band.endRow)
        return true;
    // Parts that meet across the seam above, of one class, are one patch;
    // the columns they share are vertical pairs of its cells.
    BandSeam::meet(m_bottom, seam.top, m_connectivity, [&](size_t k, size_t j, qint32 shared) {
        if (m_classes && m_bottom.value[k] != seam.top.value[j])
            return;
        const quint32 upper = quint32(m_bottomBase + m_bottom.label[k]);
        const quint32 lower = quint32(base + seam.top.label[j]);
        m_records[upper].overlaps += shared;
        UnionFind::unite(m_parent, upper, lower);
    });
    m_bottom = seam.bottom;
    m_bottomBase = base;
    return true;
}

void PatchSeams::finish()
{
    // Each patch: its parts' records as one, its first cell its first part's.
    m_patchOf.assign(m_records.size(), -1);
    std::vector<size_t> firstPart;
    for (size_t i = 0; i < m_records.size(); ++i) {
        const quint32 root = findRoot(m_parent, quint32(i));
        if (m_patchOf[root] < 0) {
            m_patchOf[root] = qint64(m_patches.size());
            m_patches.push_back({m_records[i], m_bandOf[i], 0});
            firstPart.push_back(i);
        } else {
            Patch &patch = m_patches[size_t(m_patchOf[root])];
            if (m_records[i].beginsBefore(patch.record)) {
                firstPart[size_t(m_patchOf[root])] = i;
                patch.band = m_bandOf[i];
            }
            patch.record.add(m_records[i]); // the first cell of the two that comes first
        }
        m_patchOf[i] = m_patchOf[root];
    }
    // Per band: its parts, and which of them begin no patch.
    for (size_t i = 0; i < m_records.size(); ++i) {
        BandParts &parts = m_parts[m_bandOf[i]];
        const Cluster &c = m_records[i];
        parts.parts.push_back({c.value, c.start, m_patchOf[i]});
        if (firstPart[size_t(m_patchOf[i])] == i)
            continue;
        for (ClassCount &count : parts.classes) {
            if (count.value == c.value)
                count.notFirst.push_back(c.start);
        }
    }
    // The patches begun in the bands above each band, per class.
    std::vector<std::pair<qint32, quint64>> running;
    for (BandParts &parts : m_parts) {
        std::sort(parts.parts.begin(), parts.parts.end());
        for (ClassCount &count : parts.classes) {
            std::sort(count.notFirst.begin(), count.notFirst.end());
            auto at = std::find_if(running.begin(), running.end(), [&](const auto &r) { return r.first == count.value; });
            if (at == running.end())
                at = running.insert(running.end(), {count.value, 0});
            const quint64 begun = count.count - quint64(count.notFirst.size());
            count.count = at->second;
            at->second += begun;
        }
    }
    m_counts = std::move(running);
    const bool searched = std::all_of(m_bands.begin(), m_bands.end(), [](const Band &b) { return b.scan; });
    for (Patch &patch : m_patches)
        patch.number = searched ? numberIn(patch.band, patch.record.value, patch.record.start) : 0;
    m_cut.assign(m_patches.size(), false);
    for (const quint32 label : m_top.label)
        m_cut[size_t(m_patchOf[label])] = true;
    for (const quint32 label : m_bottom.label)
        m_cut[size_t(m_patchOf[m_bottomBase + label])] = true;
}

bool PatchSeams::givePatches(std::vector<Cluster> records, const std::vector<qint64> &ofPart, const BandSeam &outer,
                             QString *errorString)
{
    finish();
    const auto refuse = [errorString] {
        *errorString = QCoreApplication::translate("PatchSeams", "the patches given are not those of the band's parts");
        return false;
    };
    const bool fits = !m_bands.empty() && ofPart.size() == outer.open.size()
            && std::all_of(m_bands.begin(), m_bands.end(), [](const Band &b) { return b.scan; })
            && std::all_of(ofPart.begin(), ofPart.end(),
                           [&records](qint64 p) { return p >= 0 && p < qint64(records.size()); })
            && outer.top.begin == m_top.begin && outer.top.end == m_top.end && outer.bottom.begin == m_bottom.begin
            && outer.bottom.end == m_bottom.end;
    if (!fits)
        return refuse();
    // Each run of the outer rows leads to an open cluster of outer's and to
    // a part of the bands': the patch of parts that part is one of is that
    // cluster, whose given patch it takes.
    m_givenOf.assign(m_patches.size(), -1);
    const auto take = [&](quint32 outerLabel, size_t part) {
        if (outerLabel >= ofPart.size() || part >= m_patchOf.size())
            return false;
        qint64 &given = m_givenOf[size_t(m_patchOf[part])];
        if (given >= 0 && given != ofPart[outerLabel])
            return false;
        given = ofPart[outerLabel];
        return true;
    };
    for (size_t r = 0; r < m_top.label.size(); ++r) {
        if (!take(outer.top.label[r], m_top.label[r]))
            return refuse();
    }
    for (size_t r = 0; r < m_bottom.label.size(); ++r) {
        if (!take(outer.bottom.label[r], m_bottomBase + m_bottom.label[r]))
            return refuse();
    }
    for (size_t p = 0; p < m_patches.size(); ++p) {
        if (m_givenOf[p] >= 0)
            m_patches[p].record = records[size_t(m_givenOf[p])];
    }
    m_given = records.size();
    return true;
}

std::vector<unsigned __int128> PatchSeams::sharesOfGiven(const std::vector<unsigned __int128> &distances) const
{
    std::vector<unsigned __int128> shares(m_given, 0);
    for (size_t p = 0; p < m_givenOf.size() && p < distances.size(); ++p) {
        if (m_givenOf[p] >= 0)
            shares[size_t(m_givenOf[p])] += distances[p];
    }
    return shares;
}

bool PatchSeams::cutByOuterRows(qint64 patch) const
{
    return m_cut[size_t(patch)];
}

quint64 PatchSeams::numberIn(size_t band, qint32 value, quint64 start) const
{
    if (!m_bands[band].scan)
        return 0;
    const quint64 rank = m_bands[band].scan->patchNumber(value, start);
    if (m_parts.empty())
        return rank;
    for (const ClassCount &count : m_parts[band].classes) {
        if (count.value == value)
            return count.count + rank
                    - quint64(std::lower_bound(count.notFirst.begin(), count.notFirst.end(), start)
                              - count.notFirst.begin());
    }
    return rank;
}

quint64 PatchSeams::patchCount(qint32 value) const
{
    if (m_parts.empty())
        return m_bands.empty() || !m_bands.front().scan ? 0 : m_bands.front().scan->patchCount(value);
    for (const auto &[v, count] : m_counts) {
        if (v == (m_classes ? value : 0))
            return count;
    }
    return 0;
}

PatchSeams::Identity PatchSeams::identify(size_t band, const Cluster &record) const
{
    if (!m_parts.empty()) {
        const std::vector<Part> &parts = m_parts[band].parts;
        const Part key{record.value, record.start, -1};
        const auto at = std::lower_bound(parts.begin(), parts.end(), key);
        if (at != parts.end() && at->value == key.value && at->start == key.start)
            return {at->patch, m_patches[size_t(at->patch)].number};
    }
    return {-1, numberIn(band, record.value, record.start)};
}

PatchSeams::Given PatchSeams::given(size_t band) const
{
    Given given;
    const size_t parts = (band + 1 < m_partBase.size() ? m_partBase[band + 1] : m_records.size()) - m_partBase[band];
    std::unordered_map<qint64, qint64> indexOf; // patch: its index in given.patches
    for (size_t i = 0; i < parts; ++i) {
        const qint64 patch = patchOfPart(band, i);
        const auto [at, added] = indexOf.emplace(patch, qint64(given.patches.size()));
        given.ofPart.push_back(at->second);
        if (added) {
            given.patches.push_back(patch);
            given.records.push_back(record(patch));
        }
    }
    return given;
}

bool PatchSeams::gather(const Own &ownOf, const std::vector<std::vector<unsigned __int128>> &shares, qint64 minCells,
                        PatchSpool &spool, QString *errorString) const
{
    // The patches of parts: their sums, and per band those whose first part
    // is there, by their first cells.
    std::vector<unsigned __int128> sums(m_patches.size(), 0);
    for (size_t band = 0; band < m_bands.size(); ++band) {
        const std::vector<qint64> patches = given(band).patches;
        if (patches.empty())
            continue;
        if (band >= shares.size() || shares[band].size() != patches.size()) {
            *errorString = QCoreApplication::translate("PatchSeams", "the band of rows from %1 gave no share of the "
                                                                     "distances of its patches' cells")
                                   .arg(m_bands[band].firstRow);
            return false;
        }
        for (size_t i = 0; i < patches.size(); ++i)
            sums[size_t(patches[i])] += shares[band][i];
    }
    std::vector<std::vector<size_t>> begun(m_bands.size());
    for (size_t p = 0; p < m_patches.size(); ++p)
        begun[m_patches[p].band].push_back(p);
    std::map<qint32, quint64> numbers;
    const auto put = [&](PatchSpool::Patch patch) {
        patch.row = patch.column = 0;
        patch.number = ++numbers[patch.record.value];
        if (patch.record.cells >= minCells)
            spool.addFirstFirst(patch);
    };
    for (size_t band = 0; band < m_bands.size(); ++band) {
        std::vector<size_t> &crossing = begun[band];
        std::sort(crossing.begin(), crossing.end(),
                  [&](size_t a, size_t b) { return m_patches[a].record.beginsBefore(m_patches[b].record); });
        size_t next = 0;
        const auto crossingBefore = [&](const Cluster *own) {
            for (; next < crossing.size() && (!own || m_patches[crossing[next]].record.beginsBefore(*own)); ++next)
                put({0, 0, 0, m_patches[crossing[next]].record, sums[crossing[next]]});
        };
        const bool read = ownOf(
                band,
                [&](const PatchSpool::Patch &own) {
                    crossingBefore(&own.record);
                    put(own);
                },
                errorString);
        if (!read)
            return false;
        crossingBefore(nullptr);
    }
    return true;
}
