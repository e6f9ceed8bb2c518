#include "mosaictiff.h"

#include <QFile>

#include <cstring>

namespace MosaicTiff {

namespace {

struct Entry
{
    quint16 tag;
    quint16 type;
    quint64 count;
    QByteArray data; // the values, little-endian; inline when 8 bytes or fewer
};

void put16(QByteArray &out, quint16 v)
{
    out.append(char(v & 0xFF)).append(char(v >> 8));
}

void put64(QByteArray &out, quint64 v)
{
    for (int i = 0; i < 8; ++i)
        out.append(char((v >> (8 * i)) & 0xFF));
}

QByteArray shorts(std::initializer_list<quint16> values)
{
    QByteArray out;
    for (quint16 v : values)
        put16(out, v);
    return out;
}

QByteArray doubles(std::initializer_list<double> values)
{
    QByteArray out;
    for (double v : values) {
        quint64 bits;
        std::memcpy(&bits, &v, sizeof bits);
        put64(out, bits);
    }
    return out;
}

} // namespace

bool write(const QString &path, const std::vector<QByteArray> &tiles, const Layout &layout)
{
    enum Type : quint16 { Short = 3, Long = 4, Double = 12, Long8 = 16 };
    const qint64 count = layout.tilesAcross * layout.tilesDown;
    const quint64 width = layout.width > 0 ? quint64(layout.width) : quint64(layout.tilesAcross) * quint64(layout.tileSide);
    const quint64 height = layout.height > 0 ? quint64(layout.height) : quint64(layout.tilesDown) * quint64(layout.tileSide);

    // The tiles once each, DEFLATE in a zlib stream (qCompress's bytes after
    // its four-byte length).
    QByteArray data;
    std::vector<quint64> offsets;
    std::vector<quint64> sizes;
    const quint64 dataStart = 16;
    for (const QByteArray &tile : tiles) {
        const QByteArray compressed = qCompress(tile, 6).mid(4);
        offsets.push_back(dataStart + quint64(data.size()));
        sizes.push_back(quint64(compressed.size()));
        data += compressed;
    }
    data.append(QByteArray((8 - data.size() % 8) % 8, '\0')); // the IFD on a word boundary
    QByteArray tileOffsets;
    QByteArray tileSizes;
    tileOffsets.reserve(int(count * 8));
    tileSizes.reserve(int(count * 8));
    for (qint64 j = 0; j < layout.tilesDown; ++j) {
        for (qint64 i = 0; i < layout.tilesAcross; ++i) {
            const int which = layout.tileAt(i, j);
            put64(tileOffsets, offsets[size_t(which)]);
            put64(tileSizes, sizes[size_t(which)]);
        }
    }
    auto long8 = [](quint64 v) {
        QByteArray out;
        put64(out, v);
        return out;
    };
    std::vector<Entry> entries = {
            {256, Long8, 1, long8(width)},
            {257, Long8, 1, long8(height)},
            {258, Short, 1, shorts({8})},
            {259, Short, 1, shorts({8})}, // DEFLATE
            {262, Short, 1, shorts({1})}, // min is black
            {277, Short, 1, shorts({1})},
            {284, Short, 1, shorts({1})},
            {322, Short, 1, shorts({quint16(layout.tileSide)})},
            {323, Short, 1, shorts({quint16(layout.tileSide)})},
            {324, Long8, quint64(count), tileOffsets},
            {325, Long8, quint64(count), tileSizes},
            {339, Short, 1, shorts({1})}, // unsigned integers
    };
    if (layout.epsg != 0) {
        entries.push_back({33550, Double, 3, doubles({layout.pixelSize, layout.pixelSize, 0.0})});
        entries.push_back({33922, Double, 6, doubles({0, 0, 0, layout.originX, layout.originY, 0})});
        entries.push_back({34735, Short, 16,
                           shorts({1, 1, 0, 3, 1024, 0, 1, 1, 1025, 0, 1, 1, 3072, 0, 1, quint16(layout.epsg)})});
    }
    // Header, the tiles, then the IFD, its values past it.
    QByteArray out("II\x2B\0\x08\0\0\0", 8);
    const quint64 ifd = dataStart + quint64(data.size());
    put64(out, ifd);
    out += data;
    const quint64 entryBytes = 8 + 20 * entries.size() + 8;
    quint64 valueAt = ifd + entryBytes;
    QByteArray values;
    put64(out, entries.size());
    for (const Entry &e : entries) {
        put16(out, e.tag);
        put16(out, e.type);
        put64(out, e.count);
        if (e.data.size() <= 8) {
            QByteArray inline8 = e.data;
            inline8.append(QByteArray(8 - inline8.size(), '\0'));
            out += inline8;
        } else {
            put64(out, valueAt + quint64(values.size()));
            values += e.data;
        }
    }
    put64(out, 0); // no further IFD
    out += values;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(out) == out.size();
}

} // namespace MosaicTiff
