// The walk against a separately written implementation of the same step
// rules, on small grids of any shape; also through a file and the batch path.
#include "fuzzinput.h"
#include "percolationgrid.h"
#include "referencewalk.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int n = 1 + data[0] % 12;
    const bool ragged = data[1] & 1;
    size_t bit = 16;
    auto next = [&]() -> int {
        const int value = bit / 8 < size ? (data[bit / 8] >> (bit % 8)) & 1 : 0;
        ++bit;
        return value;
    };
    RaggedRows<qint8> rows;
    std::vector<std::vector<int>> nested;
    QByteArray text;
    for (int r = 0; r < n; ++r) {
        const int width = ragged ? 1 + (next() | next() << 1 | next() << 2 | next() << 3) % (n + 2) : n;
        nested.emplace_back();
        for (int c = 0; c < width; ++c) {
            const int cell = next();
            rows.cells.push_back(qint8(cell));
            nested.back().push_back(cell);
            text += cell ? "1 " : "0 ";
        }
        rows.endRow();
        text += '\n';
    }
    const int expected = ReferenceWalk::percolates(nested);
    PercolationGrid grid;
    grid.setRows(std::move(rows));
    if (grid.percolates() != expected)
        std::abort();
    const QString path = FuzzInput::writeFile(reinterpret_cast<const uint8_t *>(text.constData()), size_t(text.size()));
    if (PercolationGrid::testLandscape(QFile::encodeName(path), 1) != expected)
        std::abort();
    return 0;
}
