#pragma once

#include "outputfile.h"
#include "percolationbatch.h"
#include "shard.h"

#include <QByteArray>
#include <QByteArrayList>

#include <cstdio>

// The parts of a run split by rows (vantrix-percolate --rows K/N): each part
// holds, for every map of the run, the band of its rows that part K of N
// searched (its statistics and seams, BandSeam), and a merge of the N parts
// joins the bands of each map and writes the whole maps' cluster table, the
// same bytes as one run over the maps.
//
// A part is text: its shard line ("# vantrix rows part K/N: " and what says
// which run it is of), a line of the run's options, per map a line of what
// was read of the file and its band's seams in lines of base64 (or why the
// file could not be read), and an end line with the count of maps, so that a
// cut part is told from a whole one. Its size is bounded by the maps' width;
// with patches, the band's own patches follow its seams (lines of base64,
// a few dozen bytes a patch).
namespace RowsParts {

// Writes a part to path ("-": standard output), in place only when whole.
class Writer
{
public:
    // batch: what the maps are searched for; paths: every map of the run,
    // in order.
    Writer(const PercolationBatch::Options &batch, const QByteArrayList &paths);
    // False, with the reason, when path cannot be written.
    bool open(const QByteArray &path, QString *errorString);
    // The result of each map, in order.
    void add(const PercolationBatch::Result &result);
    // False, with the reason, when the part could not be written (an old
    // file then stays as it was).
    bool finish(QString *errorString);

private:
    PercolationBatch::Options m_batch;
    QByteArrayList m_paths;
    OutputFile m_file;
    qint64 m_maps = 0;
    bool m_written = true;
};

// Whether a file's first line is a rows part's.
bool isPart(const QByteArray &firstLine);

// Joins the parts (every part of one run, once each, in any order; else
// refused with the reason) into the cluster table of the whole maps at
// output ("-": standard output), and with patchesOutput (not empty) their
// patch table, saying on err what one run says of the maps. Returns the exit
// status. The patches that cross the parts' seams need the bands that hold
// their parts read again (their cells' distances from centroids only the
// whole patch has): the merge reads them from the maps, on jobs threads.
int merge(const QByteArrayList &parts, const QByteArray &output, const QByteArray &patchesOutput, int jobs,
          const char *program, std::FILE *err);

} // namespace RowsParts
