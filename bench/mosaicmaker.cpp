// Makes the large maps of the benchmarks without holding them: BigTIFFs whose
// tiles all point at a few tiles stored once (see tests/mosaictiff.h).
//
//   vantrix-bench-mosaic landcover SIDE OUT.tif   land-cover-like: 15 classes in
//                                                  patches, 64 different tiles
//                                                  placed at random
//   vantrix-bench-mosaic random SIDE SHARE OUT.tif habitat 1 at SHARE, else 0,
//                                                  64 different tiles
// The map is SIDE x SIDE cells, in tiles of 256 x 256 (the last ones reach past it).
#include "mosaictiff.h"

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

constexpr int Side = 256;
constexpr int Kinds = 64;

// A smooth field over a tile: a few waves of random direction and phase,
// whose scale gives patches of tens of cells; classes by its value.
QByteArray landCoverTile(std::mt19937_64 &rng)
{
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    struct Wave
    {
        double kx, ky, phase, weight;
    };
    std::vector<Wave> waves;
    for (int w = 0; w < 12; ++w) {
        const double angle = 2 * M_PI * unit(rng);
        const double frequency = (0.004 + 0.025 * unit(rng)) * 2 * M_PI;
        waves.push_back({frequency * std::cos(angle), frequency * std::sin(angle), 2 * M_PI * unit(rng),
                         0.5 + unit(rng)});
    }
    QByteArray tile(Side * Side, '\0');
    for (int y = 0; y < Side; ++y) {
        for (int x = 0; x < Side; ++x) {
            double v = 0;
            for (const Wave &w : waves)
                v += w.weight * std::sin(w.kx * x + w.ky * y + w.phase);
            v += 0.25 * (unit(rng) - 0.5); // ragged patch edges
            const int cls = std::clamp(int(std::floor((v / 8.0 + 0.5) * 15.0)), 0, 14) + 1;
            tile[y * Side + x] = char(cls);
        }
    }
    return tile;
}

QByteArray randomTile(std::mt19937_64 &rng, double share)
{
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    QByteArray tile(Side * Side, '\0');
    for (char &cell : tile)
        cell = char(unit(rng) < share ? 1 : 0);
    return tile;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool landCover = args.size() == 4 && args[1] == QLatin1String("landcover");
    const bool random = args.size() == 5 && args[1] == QLatin1String("random");
    if (!landCover && !random) {
        std::fprintf(stderr, "usage: vantrix-bench-mosaic landcover SIDE OUT.tif | random SIDE SHARE OUT.tif\n");
        return 2;
    }
    const qint64 side = args[2].toLongLong();
    std::mt19937_64 rng(20261209);
    std::vector<QByteArray> tiles;
    for (int k = 0; k < Kinds; ++k)
        tiles.push_back(landCover ? landCoverTile(rng) : randomTile(rng, args[3].toDouble()));
    MosaicTiff::Layout layout;
    layout.tilesAcross = layout.tilesDown = (side + Side - 1) / Side;
    layout.width = layout.height = side;
    layout.tileAt = [](qint64 i, qint64 j) {
        quint64 h = quint64(i) * 0x9E3779B97F4A7C15ULL ^ (quint64(j) + 0x632BE59BD9B4E019ULL) * 0xBF58476D1CE4E5B9ULL;
        h ^= h >> 31;
        return int(h % Kinds);
    };
    const QString out = args.last();
    if (!MosaicTiff::write(out, tiles, layout)) {
        std::fprintf(stderr, "vantrix-bench-mosaic: cannot write %s\n", qPrintable(out));
        return 1;
    }
    std::printf("%s: %lld x %lld cells\n", qPrintable(out), (long long)side, (long long)side);
    return 0;
}
