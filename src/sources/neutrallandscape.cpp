#include "neutrallandscape.h"

#include "randomstream.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

quint64 bitsOf(double value)
{
    quint64 bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// 2^-h for h in [0, 1] as e^x with x = -h ln 2, by its Taylor series summed in
// a fixed order: the same bits wherever IEEE doubles are.
double twoToMinus(double h)
{
    const double x = -h * 0.69314718055994530942;
    double sum = 1.0;
    double term = 1.0;
    for (int k = 1; k <= 30; ++k) {
        term = term * x / double(k);
        sum += term;
    }
    return sum;
}

} // namespace

QString NeutralLandscape::name(Model model)
{
    switch (model) {
    case Random:
        return QStringLiteral("random");
    case Fractal:
        return QStringLiteral("fractal");
    case Clusters:
        return QStringLiteral("clusters");
    }
    return QString();
}

std::optional<NeutralLandscape::Model> NeutralLandscape::modelNamed(QStringView name)
{
    for (Model model : {Random, Fractal, Clusters}) {
        if (name == NeutralLandscape::name(model))
            return model;
    }
    return std::nullopt;
}

bool NeutralLandscape::check(const Parameters &parameters, QString *errorString)
{
    auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why;
        return false;
    };
    if (parameters.size < 1 || parameters.size > maxSize())
        return fail(QCoreApplication::translate("NeutralLandscape", "the size must be 1 to %1 cells").arg(maxSize()));
    if (!(parameters.roughness >= 0 && parameters.roughness <= 1))
        return fail(QCoreApplication::translate("NeutralLandscape", "the roughness must be 0 to 1"));
    if (!(parameters.seedShare > 0 && parameters.seedShare <= 1))
        return fail(QCoreApplication::translate("NeutralLandscape", "the seed share must be above 0 and at most 1"));
    return true;
}

qint64 NeutralLandscape::workingBytes(const Parameters &parameters)
{
    const qint64 cells = parameters.size * parameters.size;
    switch (parameters.model) {
    case Random:
        return cells; // the cells only: they are drawn as they are needed
    case Fractal: {
        qint64 m = 2;
        while (m - 1 < parameters.size)
            m = 2 * (m - 1) + 1;
        // The heights of the m x m grid with the ranking's pairs, then the
        // pairs with the order; the cells besides.
        return std::max(8 * m * m + 16 * cells, 20 * cells) + cells;
    }
    case Clusters: {
        // Cluster numbers, seeds and the growth queue; then with the numbers
        // and the queue, the order and the clusters' starts, sizes and
        // shuffle (a cluster has a seed: at most a little over q L^2 of
        // them); the cells besides.
        const qint64 clusters = std::min<qint64>(cells, qint64(parameters.seedShare * double(cells) * 1.1) + 1024);
        return std::max<qint64>(9 * cells, 12 * cells + 20 * clusters) + cells;
    }
    }
    return cells;
}

qint64 NeutralLandscape::habitatCells(double share, qint64 size)
{
    const double cells = double(size) * double(size);
    return std::clamp<qint64>(qint64(std::floor(share * cells + 0.5)), 0, size * size);
}

NeutralLandscape::NeutralLandscape(const Parameters &parameters, qint64 replicate)
    : m_parameters(parameters)
{
    const double parameter = parameters.model == Fractal ? parameters.roughness
            : parameters.model == Clusters               ? parameters.seedShare
                                                         : 0.0;
    m_key = RandomStream::key({0x76616E7472697800ULL | parameters.model, quint64(parameters.size), parameters.seed,
                               quint64(replicate), bitsOf(parameter)});
    if (parameters.model == Fractal)
        buildFractal();
    else if (parameters.model == Clusters)
        buildClusters();
}

void NeutralLandscape::cells(double share, RaggedRows<qint8> &rows) const
{
    const qint64 size = m_parameters.size;
    const qint64 count = size * size;
    rows.cells.resize(size_t(count));
    rows.offsets.resize(size_t(size + 1));
    for (qint64 r = 0; r <= size; ++r)
        rows.offsets[size_t(r)] = qsizetype(r * size);
    qint8 *const cells = rows.cells.data();
    if (m_parameters.model == Random) {
        RandomStream::drawCells(m_key, RandomStream::threshold32(share), cells, count);
        return;
    }
    std::fill(cells, cells + count, qint8(0));
    const qint64 habitat = habitatCells(share, size);
    for (qint64 i = 0; i < habitat; ++i)
        cells[m_order[size_t(i)]] = 1;
}

void NeutralLandscape::draws(quint32 *out) const
{
    RandomStream::drawValues(m_key, out, m_parameters.size * m_parameters.size);
}

void NeutralLandscape::buildFractal()
{
    const qint64 size = m_parameters.size;
    qint64 m = 2;
    while (m - 1 < size)
        m = 2 * (m - 1) + 1;
    std::vector<double> height(size_t(m * m));
    auto h = [&](qint64 y, qint64 x) -> double & { return height[size_t(y * m + x)]; };
    RandomStream stream(m_key);
    auto uniform = [&stream] { return stream.uniform53() * 2.0 - 1.0; };
    h(0, 0) = uniform();
    h(0, m - 1) = uniform();
    h(m - 1, 0) = uniform();
    h(m - 1, m - 1) = uniform();
    const double factor = twoToMinus(m_parameters.roughness);
    double amplitude = 1.0;
    for (qint64 step = m - 1; step > 1; step /= 2) {
        const qint64 half = step / 2;
        for (qint64 y = half; y < m; y += step) {
            for (qint64 x = half; x < m; x += step) {
                const double mean = (h(y - half, x - half) + h(y - half, x + half) + h(y + half, x - half)
                                     + h(y + half, x + half))
                        * 0.25;
                h(y, x) = mean + amplitude * uniform();
            }
        }
        for (qint64 y = 0; y < m; y += half) {
            for (qint64 x = (y / half) % 2 == 0 ? half : 0; x < m; x += step) {
                double sum = 0;
                int count = 0;
                if (y >= half)
                    sum += h(y - half, x), ++count;
                if (x >= half)
                    sum += h(y, x - half), ++count;
                if (x + half < m)
                    sum += h(y, x + half), ++count;
                if (y + half < m)
                    sum += h(y + half, x), ++count;
                h(y, x) = sum / double(count) + amplitude * uniform();
            }
        }
        amplitude *= factor;
    }
    // Highest first, ties by the lower index: a key that sorts ascending.
    std::vector<std::pair<quint64, quint32>> ranked(size_t(size * size));
    for (qint64 y = 0; y < size; ++y) {
        for (qint64 x = 0; x < size; ++x) {
            const quint64 bits = bitsOf(h(y, x) + 0.0); // + 0.0 makes -0 into +0
            const quint64 ascending = (bits >> 63) ? ~bits : bits | (quint64(1) << 63);
            ranked[size_t(y * size + x)] = {~ascending, quint32(y * size + x)};
        }
    }
    height = std::vector<double>();
    std::sort(ranked.begin(), ranked.end());
    m_order.resize(ranked.size());
    for (size_t i = 0; i < ranked.size(); ++i)
        m_order[i] = ranked[i].second;
}

void NeutralLandscape::buildClusters()
{
    const qint64 size = m_parameters.size;
    const qint64 count = size * size;
    std::vector<qint32> cluster(static_cast<size_t>(count), -1);
    std::vector<qint8> seeded(static_cast<size_t>(count), 0);
    RandomStream::drawCells(m_key, RandomStream::threshold32(m_parameters.seedShare), seeded.data(), count);
    const bool any = std::find(seeded.begin(), seeded.end(), qint8(1)) != seeded.end();
    RandomStream stream(RandomStream::key({m_key, 4}));
    if (!any)
        seeded[size_t(stream.below(quint64(count)))] = 1;

    const qint64 moves[4][2] = {{-1, 0}, {0, -1}, {0, 1}, {1, 0}}; // up, left, right, down
    auto forNeighbours = [&](qint64 index, auto &&onNeighbour) {
        const qint64 r = index / size;
        const qint64 c = index % size;
        for (const auto &move : moves) {
            const qint64 nr = r + move[0];
            const qint64 nc = c + move[1];
            if (nr >= 0 && nr < size && nc >= 0 && nc < size)
                onNeighbour(nr * size + nc);
        }
    };
    // The clusters of seeded cells, numbered by their first cell.
    qint32 clusters = 0;
    std::vector<quint32> queue;
    queue.reserve(size_t(count));
    for (qint64 start = 0; start < count; ++start) {
        if (!seeded[size_t(start)] || cluster[size_t(start)] >= 0)
            continue;
        const qint32 id = clusters++;
        cluster[size_t(start)] = id;
        queue.assign(1, quint32(start));
        for (size_t head = 0; head < queue.size(); ++head) {
            forNeighbours(queue[head], [&](qint64 next) {
                if (seeded[size_t(next)] && cluster[size_t(next)] < 0) {
                    cluster[size_t(next)] = id;
                    queue.push_back(quint32(next));
                }
            });
        }
    }
    // Every other cell joins the cluster it is reached from; joined lists
    // the cells in the order they joined (seeded cells first).
    std::vector<quint32> &joined = queue;
    joined.clear();
    for (qint64 i = 0; i < count; ++i) {
        if (seeded[size_t(i)])
            joined.push_back(quint32(i));
    }
    seeded = std::vector<qint8>();
    for (size_t head = 0; head < joined.size(); ++head) {
        const qint32 id = cluster[joined[head]];
        forNeighbours(joined[head], [&](qint64 next) {
            if (cluster[size_t(next)] < 0) {
                cluster[size_t(next)] = id;
                joined.push_back(quint32(next));
            }
        });
    }
    // The clusters in shuffled order, each with its cells in joining order.
    std::vector<qint32> shuffled(static_cast<size_t>(clusters));
    for (qint32 i = 0; i < clusters; ++i)
        shuffled[size_t(i)] = i;
    for (qint64 i = clusters - 1; i > 0; --i)
        std::swap(shuffled[size_t(i)], shuffled[size_t(stream.below(quint64(i + 1)))]);
    std::vector<qint64> start(size_t(clusters) + 1, 0);
    for (qint64 i = 0; i < count; ++i)
        ++start[size_t(cluster[size_t(i)]) + 1];
    // start[id + 1] holds the size of id; turn sizes into starts in shuffled order.
    std::vector<qint64> sizes(start.begin() + 1, start.end());
    qint64 position = 0;
    for (const qint32 id : shuffled) {
        start[size_t(id)] = position;
        position += sizes[size_t(id)];
    }
    m_order.resize(size_t(count));
    for (const quint32 cell : joined)
        m_order[size_t(start[size_t(cluster[cell])]++)] = cell;
}

QByteArray NeutralLandscape::text(const RaggedRows<qint8> &rows)
{
    QByteArray out;
    out.reserve(rows.cellCount() * 2 + rows.rowCount());
    for (qsizetype r = 0; r < rows.rowCount(); ++r) {
        const qint8 *row = rows.row(r);
        for (qsizetype c = 0; c < rows.rowLength(r); ++c) {
            out += char('0' + row[c]);
            out += ' ';
        }
        out += '\n';
    }
    return out;
}
