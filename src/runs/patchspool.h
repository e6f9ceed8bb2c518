#pragma once

#include "cluster.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <vector>

// The patches of a file's landscapes as they are found, kept on a temporary
// file without a name until the table takes them (a few dozen bytes each),
// so that a map's millions of patches cost disk, not memory. The patches of
// one landscape come last first (PatchWalk's order); read() gives every
// landscape's patches first first, the landscapes in the order they were
// added.
class PatchSpool
{
public:
    struct Patch
    {
        // The landscape it belongs to: its top-left cell in the file (a
        // square of tiles; 0, 0 for a whole file). The record's rows and
        // columns count from there.
        qint64 row = 0;
        qint64 column = 0;
        quint64 number = 0; // its number within its landscape and cover (class)
        Cluster record;
        unsigned __int128 sumDistance = 0; // fixed point, see PatchWalk::Patch
    };

    PatchSpool();
    ~PatchSpool();
    PatchSpool(const PatchSpool &) = delete;
    PatchSpool &operator=(const PatchSpool &) = delete;

    // Makes the temporary file; false, with the reason, if it cannot.
    bool open(QString *errorString);
    // The patches of a landscape, last first, each landscape's after the
    // last of the landscape before.
    void add(const Patch &patch);
    // Or first first (a landscape's patches gathered from its bands).
    void addFirstFirst(const Patch &patch);
    // False, with the reason, when something could not be written.
    bool close(QString *errorString);
    qint64 count() const;

    // Patches as bytes and back, in the spool's encoding (a band's patches
    // in a rows part, or from an array's chunk): fromBytes() appends to
    // patches and refuses bytes that toBytes() did not write.
    static QByteArray toBytes(const std::vector<Patch> &patches);
    static bool fromBytes(const QByteArray &bytes, std::vector<Patch> &patches);

    // Every patch, first first within each landscape; false, with the
    // reason, when the file cannot be read back. onPatch returns false to stop.
    template <typename OnPatch>
    bool read(OnPatch &&onPatch, QString *errorString) const
    {
        Patch patch;
        for (const Segment &segment : m_segments) {
            const qint64 count = segment.end - segment.begin;
            for (qint64 k = 0; k < count; ++k) {
                if (!readAt(segment.firstFirst ? segment.begin + k : segment.end - 1 - k, patch, errorString))
                    return false;
                patch.row = segment.row;
                patch.column = segment.column;
                if (!onPatch(patch))
                    return true;
            }
        }
        return true;
    }

private:
    struct Segment
    {
        qint64 row;
        qint64 column;
        qint64 begin;
        qint64 end;
        bool firstFirst;
    };
    bool readAt(qint64 index, Patch &patch, QString *errorString) const;
    void put(const Patch &patch, bool firstFirst);

    struct Private;
    std::unique_ptr<Private> d;
    std::vector<Segment> m_segments;
};
