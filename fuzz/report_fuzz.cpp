// Report reading (--merge) on any bytes: a report it accepts is written again
// byte for byte from what it read.
#include "percolationreport.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QList<PercolationReport::Entry> entries;
    QString error;
    if (!PercolationReport::parse(bytes, entries, &error)) {
        if (error.isEmpty() || !entries.isEmpty())
            std::abort();
        return 0;
    }
    QByteArray again;
    double sum = 0;
    for (const PercolationReport::Entry &entry : entries) {
        again += PercolationReport::resultLine(entry.encodedPath, entry.result);
        sum += entry.result;
    }
    again += PercolationReport::meanLine(sum, entries.size());
    if (again != bytes)
        std::abort();
    return 0;
}
