// Sweep-table reading on any bytes: an accepted table rewrites to the same
// bytes, and merging accepted parts never fails in an undefined way.
#include "sweeptable.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    SweepTable table;
    QString error;
    if (!SweepTable::parse(bytes, table, &error)) {
        if (error.isEmpty())
            std::abort();
        return 0;
    }
    if (table.serialize() != bytes)
        std::abort();
    // The same table as every part of a split: merged or refused, never more
    // replicates than the parts hold.
    SweepTable whole;
    if (SweepTable::merge({table, table}, whole, &error)) {
        if (whole.rows.size() != table.rows.size())
            std::abort();
    }
    return 0;
}
