// Report reading (--merge) on any bytes: a report it accepts is written again
// byte for byte from what it read, its shard line (a part of a split run)
// included; a shard line it accepts reads back as the same part.
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
    // The same bytes line by line, as --merge reads a part, for its shard line.
    PercolationReport::Parser parser(nullptr);
    const QByteArray firstLine = bytes.left(bytes.indexOf('\n'));
    if (!parser.addLine(firstLine))
        std::abort();
    QByteArray again;
    if (parser.shard()) {
        // Written again from what was read, the shard line reads back the same.
        const QByteArray written = PercolationReport::partLine(*parser.shard(), parser.description());
        PercolationReport::Parser reread(nullptr);
        if (!reread.addLine(written.chopped(1)) || !reread.shard() || reread.shard()->index != parser.shard()->index
            || reread.shard()->count != parser.shard()->count || reread.description() != parser.description())
            std::abort();
        again += firstLine + '\n';
    }
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
