// Costs of RasterSource and LandscapeStream.
//
//   vantrix-gdalbench read FILE [COVER]
//       reads band 1 of FILE as habitat (COVER, default 1) into one byte per
//       cell, in strips of blockHeight() lines, as the programs do; prints the
//       time, the habitat share and the peak memory above the cells.
//   vantrix-gdalbench write FILE [N] [SHARE]
//       writes an N x N (default 20000) Byte GeoTIFF, tiled 256 x 256, LZW, of
//       random 1 (at SHARE, default 0.5927) and 0, for "read".
//   vantrix-gdalbench stream FILE [ROWS]
//       reads FILE (text or raster) through LandscapeStream in bands of ROWS
//       rows (default 256) for cover 1, without and with reading ahead, and
//       whole through LandscapeReader::readPercolation; prints the time of
//       open() (for text the first reading, which counts the rows), of the
//       bands, and of the whole reading, and the peak memory.
//   vantrix-gdalbench open DIR [FILES]
//       writes FILES (default 1000) plain-text landscapes of 100 x 100 into DIR,
//       and as many with a title line, then times RasterSource::open() on each
//       (all NotRaster), and GDALOpenEx() alone on each (what open() saves by
//       telling a plain-text grid of numbers by its first bytes).
#include "landscapereader.h"
#include "landscapestream.h"
#include "rastersource.h"

#include <gdal.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace {

long peakKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int readFile(const char *path, qint32 cover)
{
    const long before = peakKb();
    QElapsedTimer timer;
    timer.start();
    RasterSource source;
    QString error;
    if (source.open(path, 1, &error) != RasterSource::Opened) {
        std::fprintf(stderr, "cannot open %s: %s\n", path, qPrintable(error));
        return 1;
    }
    const qint64 width = source.width();
    const qint64 height = source.height();
    std::vector<qint8> cells(size_t(width * height)); // not touched before the read
    const qint64 strip = source.blockHeight();
    for (qint64 line = 0; line < height; line += strip) {
        if (!source.readHabitat(line, std::min(strip, height - line), width, CoverSet(cover), cells.data() + line * width,
                                &error)) {
            std::fprintf(stderr, "read failed: %s\n", qPrintable(error));
            return 1;
        }
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    qint64 habitat = 0;
    for (qint8 c : cells)
        habitat += c > 0;
    const long cellsKb = long(width * height / 1024);
    std::printf("%s: %lld x %lld cells (%s, strips of %lld lines) read in %.2f s; habitat share %.4f; "
                "peak memory %ld MB, %ld MB above the cells (%.3f bytes per cell in all)\n",
                path, width, height, qPrintable(source.driverName()), strip, seconds,
                double(habitat) / double(width * height), peakKb() / 1024, (peakKb() - before - cellsKb) / 1024,
                double(peakKb() - before) * 1024.0 / double(width * height));
    return 0;
}

int streamFile(const char *path, qint64 bandRows)
{
    for (bool prefetch : {false, true}) {
        QElapsedTimer timer;
        timer.start();
        LandscapeStream stream;
        LandscapeStream::Options options;
        options.prefetch = prefetch;
        QString error;
        if (!stream.open(path, options, &error)) {
            std::fprintf(stderr, "cannot open %s: %s\n", path, qPrintable(error));
            return 1;
        }
        const double opened = double(timer.nsecsElapsed()) / 1e9;
        RaggedRows<qint8> band;
        qint64 habitat = 0;
        qint64 cells = 0;
        while (stream.nextRow() < stream.rows()) {
            if (!stream.readHabitat(bandRows, stream.columns(), CoverSet(1), band, &error)) {
                std::fprintf(stderr, "read failed: %s\n", qPrintable(error));
                return 1;
            }
            for (qint8 c : band.cells)
                habitat += c > 0;
            cells += qint64(band.cells.size());
        }
        const double total = double(timer.nsecsElapsed()) / 1e9;
        std::printf("%s: LandscapeStream%s, bands of %lld rows: %lld x %lld cells, open %.3f s, bands %.3f s, "
                    "total %.3f s; habitat share %.4f; peak memory %ld MB\n",
                    path, prefetch ? " reading ahead" : "", bandRows, stream.rows(), stream.columns(), opened,
                    total - opened, total, double(habitat) / double(std::max<qint64>(1, cells)), peakKb() / 1024);
    }
    QElapsedTimer timer;
    timer.start();
    RaggedRows<qint8> rows;
    QString error;
    const bool ok = LandscapeReader::readPercolation(QByteArray(path), 1, rows, &error);
    std::printf("%s: LandscapeReader::readPercolation %s in %.3f s (%lld cells); peak memory %ld MB\n", path,
                ok ? "read" : qPrintable("failed (" + error + ")"), double(timer.nsecsElapsed()) / 1e9,
                qint64(rows.cells.size()), peakKb() / 1024);
    return 0;
}

int writeFile(const char *path, int n, double share)
{
    RasterSource::gdalVersion();
    const char *options[] = {"TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256", "COMPRESS=LZW", nullptr};
    GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), path, n, n, 1, GDT_Byte, const_cast<char **>(options));
    if (!ds)
        return 1;
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    QRandomGenerator rng(1);
    const quint32 threshold = quint32(share * 4294967296.0);
    std::vector<quint8> strip(size_t(n) * 256);
    for (int y = 0; y < n; y += 256) {
        const int h = std::min(256, n - y);
        for (size_t i = 0; i < size_t(n) * size_t(h); ++i)
            strip[i] = rng.generate() < threshold;
        if (GDALRasterIO(band, GF_Write, 0, y, n, h, strip.data(), n, h, GDT_Byte, 0, 0) != CE_None)
            return 1;
    }
    GDALClose(ds);
    return 0;
}

int openFiles(const std::string &dir, int files)
{
    QRandomGenerator rng(1);
    std::vector<std::string> plain, titled;
    for (int i = 0; i < files; ++i) {
        QByteArray grid;
        for (int r = 0; r < 100; ++r) {
            for (int c = 0; c < 100; ++c)
                grid += rng.bounded(1.0) < 0.5927 ? "1 " : "0 ";
            grid += '\n';
        }
        for (int titledFile = 0; titledFile < 2; ++titledFile) {
            const std::string path = dir + (titledFile ? "/titled-" : "/plain-") + std::to_string(i) + ".txt";
            FILE *f = std::fopen(path.c_str(), "wb");
            if (!f)
                return 1;
            const QByteArray text = titledFile ? "landscape " + QByteArray::number(i) + "\n" + grid : grid;
            std::fwrite(text.constData(), 1, size_t(text.size()), f);
            std::fclose(f);
            (titledFile ? titled : plain).push_back(path);
        }
    }
    RasterSource::gdalVersion(); // GDAL set up, the excluded drivers deregistered

    for (int round = 0; round < 3; ++round) { // the first round warms the page cache
        for (const auto *set : {&plain, &titled}) {
            QElapsedTimer timer;
            timer.start();
            int notRaster = 0;
            for (const std::string &path : *set) {
                RasterSource source;
                notRaster += source.open(QByteArray::fromStdString(path), 1) == RasterSource::NotRaster;
            }
            const double sourceUs = double(timer.nsecsElapsed()) / 1e3 / double(set->size());
            timer.restart();
            int claimed = 0;
            for (const std::string &path : *set) {
                if (GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr)) {
                    ++claimed;
                    GDALClose(ds);
                }
            }
            const double gdalUs = double(timer.nsecsElapsed()) / 1e3 / double(set->size());
            if (round > 0) {
                std::printf("%s: %zu files, RasterSource::open %.1f us per file (%d NotRaster); "
                            "GDALOpenEx alone %.1f us per file (%d opened)\n",
                            set == &plain ? "plain text landscapes" : "landscapes with a title line", set->size(),
                            sourceUs, notRaster, gdalUs, claimed);
            }
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && std::string(argv[1]) == "read")
        return readFile(argv[2], argc > 3 ? std::atoi(argv[3]) : 1);
    if (argc >= 3 && std::string(argv[1]) == "write")
        return writeFile(argv[2], argc > 3 ? std::atoi(argv[3]) : 20000, argc > 4 ? std::atof(argv[4]) : 0.5927);
    if (argc >= 3 && std::string(argv[1]) == "stream")
        return streamFile(argv[2], argc > 3 ? std::atoll(argv[3]) : 256);
    if (argc >= 3 && std::string(argv[1]) == "open")
        return openFiles(argv[2], argc > 3 ? std::atoi(argv[3]) : 1000);
    std::fprintf(stderr, "usage: %s read FILE [COVER] | stream FILE [ROWS] | write FILE [N] [SHARE] | open DIR [FILES]\n",
                 argv[0]);
    return 2;
}
