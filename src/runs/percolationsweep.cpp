#include "percolationsweep.h"

#include "walkgrid.h"
#include "workerpool.h"

#include <charconv>

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

PercolationSweep::Result PercolationSweep::run(const Parameters &parameters, int jobs,
                                               const std::function<void(qint64, qint64)> &progress)
{
    const Shard shard = parameters.shard.value_or(Shard());
    const qint64 first = shard.begin(parameters.replicates) + 1;
    const qint64 total = std::max<qint64>(0, shard.end(parameters.replicates) - first + 1);
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

    Result result;
    result.replicates = total;
    result.spanning.assign(shareCount * ruleCount, 0);
    // Each replicate's answers, a byte per share and rule, until they are
    // added up in replicate order.
    std::vector<std::vector<quint8>> answers(static_cast<size_t>(total));
    WorkerPool::run(
            total, jobs,
            [&](qint64 i) {
                thread_local WalkGrid grid;
                thread_local RaggedRows<qint8> rows;
                std::vector<quint8> &spans = answers[size_t(i)];
                spans.assign(shareCount * ruleCount, 0);
                const NeutralLandscape landscape(parameters.landscape, first + i);
                for (size_t s = 0; s < shareCount; ++s) {
                    landscape.cells(parameters.shares[s], rows);
                    grid.setRows(std::move(rows));
                    for (const size_t k : order)
                        spans[s * ruleCount + k] = quint8(SpanningRule(parameters.rules[k], parameters.direction).test(grid));
                    rows = grid.takeRows();
                }
                return WorkerPool::Done;
            },
            [&](qint64 i) {
                std::vector<quint8> &spans = answers[size_t(i)];
                for (size_t j = 0; j < spans.size(); ++j)
                    result.spanning[j] += spans[j];
                spans = std::vector<quint8>();
                if (progress)
                    progress(i + 1, total);
            });
    if (progress && total == 0)
        progress(0, 0);
    return result;
}
