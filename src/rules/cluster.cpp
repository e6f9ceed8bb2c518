#include "cluster.h"

#include <cmath>

qint64 smallestPerimeter(qint64 cells)
{
    if (cells <= 0)
        return 0;
    qint64 n = qint64(std::sqrt(double(cells)));
    while (n * n > cells)
        --n;
    while ((n + 1) * (n + 1) <= cells)
        ++n;
    const qint64 m = cells - n * n;
    return m == 0 ? 4 * n : m <= n ? 4 * n + 2 : 4 * n + 4;
}
