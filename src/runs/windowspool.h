#pragma once

#include "clusterstatistics.h"
#include "lacunarity.h"

#include <QString>

#include <memory>
#include <vector>

// One landscape tested: a file, a square of its tiles, a moving window; of
// one cover or of one class (PercolationBatch::Landscape).
struct LandscapeResult
{
    qint64 row = 0;        // its top-left cell in the file
    qint64 column = 0;
    qint64 rows = 0;       // its extent
    qint64 columns = 0;
    qint64 latticeRow = 0; // tiles, windows: its place on their lattice
    qint64 latticeColumn = 0;
    bool isClass = false;  // cover each(): the class it is of
    qint32 coverClass = 0;
    int spans = 0;
    // Its cells with a value and its habitat cells always (where a cluster
    // rule stopped at the first spanning cluster, the cells read until then:
    // habitat is then above 0); everything else with statistics.
    ClusterStatistics statistics;
    std::vector<GlidingBoxes::Sums> boxes; // with lacunarity, per side
};

// The moving windows of a file as they are found, kept on a temporary file
// without a name until the outputs take them (some 40 bytes a window, 150
// with statistics), so that a map's millions of windows cost disk, not
// memory. read() gives them in the order they were added.
class WindowSpool
{
public:
    WindowSpool();
    ~WindowSpool();
    WindowSpool(const WindowSpool &) = delete;
    WindowSpool &operator=(const WindowSpool &) = delete;

    // Makes the temporary file; false, with the reason, if it cannot.
    bool open(QString *errorString);
    void add(const LandscapeResult &window);
    // False, with the reason, when something could not be written.
    bool close(QString *errorString);
    qint64 count() const;

    // Every window, in order; false, with the reason, when the file cannot
    // be read back. onWindow returns false to stop.
    template <typename OnWindow>
    bool read(OnWindow &&onWindow, QString *errorString) const
    {
        std::vector<LandscapeResult> chunk;
        for (qint64 k = 0; k < chunks(); ++k) {
            if (!readChunk(k, chunk, errorString))
                return false;
            for (const LandscapeResult &window : chunk) {
                if (!onWindow(window))
                    return true;
            }
        }
        return true;
    }

private:
    qint64 chunks() const;
    bool readChunk(qint64 k, std::vector<LandscapeResult> &chunk, QString *errorString) const;
    struct Private;
    std::unique_ptr<Private> d;
};
