#include "rasterfixture.h"

#include <vector>

#include "rastersource.h"

#include <QFile>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>

namespace RasterFixture {

Grid fromInts(const std::vector<std::vector<int>> &rows)
{
    Grid grid;
    for (const auto &row : rows)
        grid.emplace_back(row.begin(), row.end());
    return grid;
}

QString writeRaster(const QString &path, const Grid &grid, const Options &options, QString *errorString)
{
    // RasterSource sets GDAL up (drivers, a handler that keeps GDAL quiet).
    RasterSource::gdalVersion();
    const auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why + QLatin1String(": ") + QString::fromUtf8(CPLGetLastErrorMsg());
        return QString();
    };
    const int height = int(grid.size());
    const int width = height > 0 ? int(grid[0].size()) : 0;
    for (const auto &row : grid) {
        if (int(row.size()) != width)
            return fail(QStringLiteral("rows of different lengths"));
    }
    // Signed bytes are Byte cells that GDAL marks as signed: -1 is stored as 255.
    const bool signedBytes = options.type == GDT_Byte && options.creationOptions.contains("PIXELTYPE=SIGNEDBYTE");
    const int bands = 1 + int(options.moreBands.size());
    GDALDatasetH mem = GDALCreate(GDALGetDriverByName("MEM"), "", width, height, bands, options.type, nullptr);
    if (!mem)
        return fail(QStringLiteral("MEM"));
    bool ok = true;
    for (int b = 0; b < bands && ok; ++b) {
        const Grid &values = b == 0 ? grid : options.moreBands[size_t(b - 1)];
        GDALRasterBandH band = GDALGetRasterBand(mem, b + 1);
        for (int r = 0; r < height && ok; ++r) {
            std::vector<double> row = values[size_t(r)];
            row.resize(size_t(width));
            if (signedBytes) {
                for (double &v : row)
                    v = v < 0 ? v + 256 : v;
            }
            ok = GDALRasterIO(band, GF_Write, 0, r, width, 1, row.data(), width, 1, GDT_Float64, 0, 0) == CE_None;
        }
        if (ok && options.nodata)
            ok = GDALSetRasterNoDataValue(band, *options.nodata) == CE_None;
    }
    if (ok && !options.mask.empty()) {
        GDALRasterBandH band = GDALGetRasterBand(mem, 1);
        ok = GDALCreateMaskBand(band, GMF_PER_DATASET) == CE_None;
        GDALRasterBandH mask = ok ? GDALGetMaskBand(band) : nullptr;
        for (int r = 0; r < height && ok; ++r) {
            std::vector<GByte> row(size_t(width), 0);
            for (int c = 0; c < width && c < int(options.mask[size_t(r)].size()); ++c)
                row[size_t(c)] = options.mask[size_t(r)][size_t(c)] ? 255 : 0;
            ok = GDALRasterIO(mask, GF_Write, 0, r, width, 1, row.data(), width, 1, GDT_Byte, 0, 0) == CE_None;
        }
    }
    if (ok && options.transform) {
        std::array<double, 6> transform = *options.transform;
        ok = GDALSetGeoTransform(mem, transform.data()) == CE_None;
    }
    if (!ok) {
        GDALClose(mem);
        return fail(QStringLiteral("writing the grid"));
    }

    CPLStringList creation;
    if (options.format == "GTiff") {
        if (options.tiled) {
            creation.AddString("TILED=YES");
            creation.AddNameValue("BLOCKXSIZE", QByteArray::number(options.blockSize).constData());
        }
        creation.AddNameValue("BLOCKYSIZE", QByteArray::number(options.blockSize).constData());
        if (!options.compression.isEmpty())
            creation.AddNameValue("COMPRESS", options.compression.constData());
    }
    for (const QByteArray &option : options.creationOptions)
        creation.AddString(option.constData());

    const QByteArray name = QFile::encodeName(path);
    CPLSetThreadLocalConfigOption("GDAL_TIFF_INTERNAL_MASK", "YES");
    GDALDatasetH out = GDALCreateCopy(GDALGetDriverByName(options.format.constData()), name.constData(), mem, FALSE,
                                      creation.List(), nullptr, nullptr);
    CPLSetThreadLocalConfigOption("GDAL_TIFF_INTERNAL_MASK", nullptr);
    GDALClose(mem);
    if (!out)
        return fail(QStringLiteral("GDALCreateCopy"));
    GDALClose(out);
    return path;
}

QByteArray landscapeText(const std::vector<std::vector<int>> &rows)
{
    QByteArray text;
    for (const auto &row : rows) {
        for (int v : row)
            text += QByteArray::number(v) + ' ';
        text += '\n';
    }
    return text;
}

QByteArray tinyTiff(quint32 width, quint32 height, quint16 compression, quint32 tile, quint32 rowsPerStrip)
{
    struct Entry
    {
        quint16 tag, type;
        quint32 count, value;
    };
    const quint32 dataOffset = 512;
    std::vector<Entry> entries = {
        {256, 4, 1, width}, {257, 4, 1, height}, {258, 3, 1, 8}, {259, 3, 1, compression}, {262, 3, 1, 1},
        {277, 3, 1, 1},
    };
    if (tile == 0) {
        const quint64 strips = (quint64(height) + rowsPerStrip - 1) / rowsPerStrip;
        entries.push_back({273, 4, quint32(strips), strips == 1 ? dataOffset : 4096}); // offsets past the end
        entries.push_back({278, 4, 1, rowsPerStrip});
        entries.push_back({279, 4, quint32(strips), strips == 1 ? 64u : 8192});
    } else {
        const quint64 tiles = ((quint64(width) + tile - 1) / tile) * ((quint64(height) + tile - 1) / tile);
        entries.push_back({322, 4, 1, tile});
        entries.push_back({323, 4, 1, tile});
        entries.push_back({324, 4, quint32(std::min<quint64>(tiles, 0xFFFFFFFF)), 4096});
        entries.push_back({325, 4, quint32(std::min<quint64>(tiles, 0xFFFFFFFF)), 8192});
    }
    QByteArray out("II*\0\x08\0\0\0", 8);
    const auto u16 = [&out](quint16 v) { out.append(char(v & 0xFF)).append(char(v >> 8)); };
    const auto u32 = [&](quint32 v) { u16(quint16(v & 0xFFFF)); u16(quint16(v >> 16)); };
    u16(quint16(entries.size()));
    for (const Entry &e : entries) {
        u16(e.tag);
        u16(e.type);
        u32(e.count);
        if (e.type == 3 && e.count == 1) {
            u16(quint16(e.value));
            u16(0);
        } else {
            u32(e.value);
        }
    }
    u32(0);
    out.resize(dataOffset, '\0');
    QByteArray data(64, '\x55');
    return out + data;
}

QByteArray sparseTiff(quint32 width, quint32 height, quint32 rowsPerStrip)
{
    const quint32 strips = quint32((quint64(height) + rowsPerStrip - 1) / rowsPerStrip);
    const quint16 entries = 9;
    const quint32 directory = 8;
    const quint32 tables = directory + 2 + entries * 12 + 4; // the two tables follow the directory
    const quint32 tableBytes = strips * 4;
    QByteArray out("II*\0", 4);
    const auto u16 = [&out](quint16 v) { out.append(char(v & 0xFF)).append(char(v >> 8)); };
    const auto u32 = [&](quint32 v) { u16(quint16(v & 0xFFFF)); u16(quint16(v >> 16)); };
    const auto entry = [&](quint16 tag, quint16 type, quint32 count, quint32 value) {
        u16(tag);
        u16(type);
        u32(count);
        if (type == 3 && count == 1) {
            u16(quint16(value));
            u16(0);
        } else {
            u32(value);
        }
    };
    u32(directory);
    u16(entries);
    entry(256, 4, 1, width);
    entry(257, 4, 1, height);
    entry(258, 3, 1, 8);
    entry(259, 3, 1, 1); // no compression
    entry(262, 3, 1, 1); // black is zero
    entry(273, 4, strips, strips == 1 ? 0 : tables);              // StripOffsets
    entry(277, 3, 1, 1);
    entry(278, 4, 1, rowsPerStrip);
    entry(279, 4, strips, strips == 1 ? 0 : tables + tableBytes); // StripByteCounts
    u32(0);
    if (strips > 1)
        out.append(QByteArray(int(2 * tableBytes), '\0'));
    return out;
}

} // namespace RasterFixture
