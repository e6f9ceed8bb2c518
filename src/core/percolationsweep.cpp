#include "percolationsweep.h"

#include "percolationgrid.h"

#include <QThread>

#include <atomic>
#include <charconv>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

QByteArray exact(double value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value); // shortest that reads back
    return QByteArray(buffer, int(result.ptr - buffer));
}

} // namespace

QByteArray PercolationSweep::description(const Parameters &parameters)
{
    const NeutralLandscape::Parameters &landscape = parameters.landscape;
    QByteArray out = "model=" + NeutralLandscape::name(landscape.model).toLatin1();
    if (landscape.model == NeutralLandscape::Fractal)
        out += " roughness=" + exact(landscape.roughness);
    if (landscape.model == NeutralLandscape::Clusters)
        out += " seed-share=" + exact(landscape.seedShare);
    out += " size=" + QByteArray::number(landscape.size);
    out += " shares=" + parameters.shareTexts.join(',');
    QByteArrayList rules;
    for (const SpanningRule::Kind kind : parameters.rules)
        rules << SpanningRule::name(kind).toLatin1();
    out += " rules=" + rules.join(',');
    out += " direction=" + SpanningRule::name(parameters.direction).toLatin1();
    out += " replicates=" + QByteArray::number(parameters.replicates);
    out += " seed=" + QByteArray::number(landscape.seed);
    return out;
}

SweepTable PercolationSweep::run(const Parameters &parameters, int jobs,
                                 const std::function<void(qint64, qint64)> &progress)
{
    const Shard shard = parameters.shard.value_or(Shard());
    const qint64 first = shard.begin(parameters.replicates) + 1;
    const qint64 last = shard.end(parameters.replicates); // inclusive
    const qint64 total = last - first + 1;
    const size_t shareCount = parameters.shares.size();
    const size_t ruleCount = parameters.rules.size();
    // Cluster rules only read the cells; the walk marks them, so it goes last.
    std::vector<size_t> order;
    for (size_t k = 0; k < ruleCount; ++k) {
        if (parameters.rules[k] != SpanningRule::Walk)
            order.push_back(k);
    }
    for (size_t k = 0; k < ruleCount; ++k) {
        if (parameters.rules[k] == SpanningRule::Walk)
            order.push_back(k);
    }

    std::vector<qint64> spanning(shareCount * ruleCount, 0);
    std::mutex mutex;
    std::atomic<qint64> next{first};
    std::atomic<qint64> done{0};
    auto work = [&](bool reporting) {
        std::vector<qint64> counts(shareCount * ruleCount, 0);
        PercolationGrid grid;
        RaggedRows<qint8> rows;
        for (qint64 replicate = next++; replicate <= last; replicate = next++) {
            const NeutralLandscape landscape(parameters.landscape, replicate);
            for (size_t s = 0; s < shareCount; ++s) {
                landscape.cells(parameters.shares[s], rows);
                grid.setRows(std::move(rows));
                for (const size_t k : order)
                    counts[s * ruleCount + k] += SpanningRule(parameters.rules[k], parameters.direction).test(grid);
                rows = grid.takeRows();
            }
            const qint64 finished = ++done;
            if (reporting && progress)
                progress(finished, total);
        }
        std::lock_guard<std::mutex> lock(mutex);
        for (size_t i = 0; i < counts.size(); ++i)
            spanning[i] += counts[i];
    };
    std::vector<std::thread> threads;
    const qint64 wanted = std::max<qint64>(1, std::min<qint64>(jobs, total));
    for (qint64 t = 1; t < wanted; ++t) {
        try {
            threads.emplace_back(work, false);
        } catch (const std::system_error &) {
            break;
        }
    }
    work(true);
    for (std::thread &thread : threads)
        thread.join();
    if (progress)
        progress(done, total);

    SweepTable table;
    if (parameters.shard) {
        table.shard = parameters.shard;
        table.description = description(parameters);
    }
    const QByteArray model = NeutralLandscape::name(parameters.landscape.model).toLatin1();
    const QByteArray direction = SpanningRule::name(parameters.direction).toLatin1();
    for (size_t s = 0; s < shareCount; ++s) {
        for (size_t k = 0; k < ruleCount; ++k) {
            SweepTable::Row row;
            row.model = model;
            row.size = parameters.landscape.size;
            row.share = parameters.shareTexts[qsizetype(s)];
            row.rule = SpanningRule::name(parameters.rules[k]).toLatin1();
            row.direction = direction;
            row.replicates = std::max<qint64>(0, total);
            row.spanning = spanning[s * ruleCount + k];
            table.rows << row;
        }
    }
    return table;
}
