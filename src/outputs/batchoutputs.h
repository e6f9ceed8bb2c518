#pragma once

#include "percolationbatch.h"
#include "shard.h"
#include "tablecolumns.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

#include <cstdio>
#include <memory>
#include <optional>

// Where the results of a batch of landscape files go: the report (a line per
// landscape and the PP), the cluster table, the tile maps, the windows' maps
// and table, and on standard
// error the notes on what a result cannot show (files that cannot be read or
// hold no cell, a cover absent from a map, cells left out, text fields
// skipped, maps clipped to a study area, squares left out). The command line
// hands every result to one object of this class, in list order.
//
// The report and the table are written as results come and take their place
// only when whole (OutputFile): a run that fails leaves the old files. Notes
// are always written; a progress line only when asked and err is a terminal.
class BatchOutputs
{
public:
    struct Options
    {
        const char *program = "vantrix-percolate";
        QByteArray report;   // empty or "-": standard output
        QByteArray table;    // empty: none; "-": standard output
        QByteArray patches;  // the patch table: empty: none; "-": standard output
        QByteArray tileMap;  // the tile maps' names ({name}, {cover}); empty: none
        // With PercolationBatch::Options::window: the windows' maps ({name},
        // {cover}) and the table of their rows (the cluster table's columns;
        // "-": standard output); empty: none.
        QByteArray windowMap;
        QByteArray windowTable;
        // The tables gathered as columns instead of written (the bindings'
        // calls): where each goes, or null for its file.
        TableColumns *tableColumns = nullptr;
        TableColumns *patchColumns = nullptr;
        std::optional<Shard> shard;
        QByteArray partDescription; // what a shard's part lines say of the run
        bool progress = false;
    };

    // batch: what the results were tested for; paths: the files, in order.
    BatchOutputs(const Options &options, const PercolationBatch::Options &batch, const QByteArrayList &paths,
                 std::FILE *err);
    ~BatchOutputs();
    BatchOutputs(const BatchOutputs &) = delete;
    BatchOutputs &operator=(const BatchOutputs &) = delete;

    // Opens the report and the table; false after saying why.
    bool open();
    // The result of one file, in list order.
    void add(const PercolationBatch::Result &result);
    // After the last result: the report's and table's ends written and both
    // put in place; returns the exit status: 0 when every file was read and
    // held cells and every output was written, else 1.
    int finish();

    // The name of a map of the landscape file path: {name} in pattern stands
    // for the file's name without its folder and its last suffix, {cover}
    // for the class; with a class and no {cover}, "-CLASS" goes before the
    // suffix. {cover} without a class is refused by checkMapNames().
    static QByteArray mapName(const QByteArray &pattern, const QByteArray &path, const std::optional<qint32> &coverClass);
    // Whether pattern gives every file of paths a map of its own (and, with
    // per-class maps, names files, not a device): empty when so, else why.
    static QString checkMapNames(const char *option, const QByteArray &pattern, const QByteArrayList &paths,
                                 bool perClass);

    // Joins the reports, or the tables, of the parts of a split batch (see
    // PercolationReport::merge(), ClusterTable::merge()) into output; the
    // exit status, after saying why on err when it is not 0.
    // Rows parts (RowsParts::merge()) take more: their patch table at
    // patches (empty: none), on jobs threads; rowsOnly: parts of another
    // kind are refused.
    struct Merge
    {
        QByteArray patches;
        int jobs = 1;
        bool rowsOnly = false;
    };
    static int merge(const QByteArrayList &parts, const QByteArray &output, const char *program, std::FILE *err,
                     const Merge &merge);
    static int merge(const QByteArrayList &parts, const QByteArray &output, const char *program, std::FILE *err);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
