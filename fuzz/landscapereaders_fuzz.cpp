// Both landscape readers on any bytes, each compared with the straightforward
// QString reading; then the walk and the map rendering on what they read.
#include "fuzzinput.h"
#include "landscapereader.h"
#include "maprenderer.h"
#include "percolationgrid.h"
#include "referencereader.h"
#include "testutil.h"

#include <QImage>
#include <QPainter>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const qint32 covers[] = {1, 0, 7, -1, -3, 9, 2147483647, -2147483647 - 1};
    const qint32 cover = covers[data[0] % 8];
    const QByteArray text(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const QString path = FuzzInput::writeFile(data + 1, size - 1);

    RaggedRows<qint8> cells;
    if (!LandscapeReader::readPercolation(path, cover, cells))
        std::abort();
    if (TestUtil::toNested(cells) != ReferenceReader::percolation(text, cover))
        std::abort();
    MapGrid values;
    if (!LandscapeReader::readDisplay(path, values))
        std::abort();
    if (TestUtil::toNested(values) != ReferenceReader::display(text))
        std::abort();

    PercolationGrid grid;
    grid.setRows(std::move(cells));
    const int result = grid.percolates();
    if (result != 0 && result != 1)
        std::abort();

    QImage canvas(80, 70, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::gray);
    QPainter painter(&canvas);
    MapRenderer renderer;
    renderer.draw(painter, values, cover, QRect(3, 5, 64, 48 + data[0] % 7));
    return 0;
}
