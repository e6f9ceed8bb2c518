#include "tsv.h"

#include "linereader.h"
#include "splitparts.h"

#include <QCoreApplication>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace Tsv {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("Tsv", text);
}

QByteArray shardPrefix(const Kind &kind)
{
    return "# vantrix-percolate " + kind.word + " shard ";
}

QByteArray endPrefix(const Kind &kind)
{
    return "# vantrix-percolate " + kind.word + " end: ";
}

} // namespace

QByteArray number(qint64 value)
{
    return QByteArray::number(value);
}

char *writeReal(char *out, double value)
{
    // The common case, a value printed without an exponent, in integers: a
    // double is m * 2^e exactly, so its nine digits are m * 10^k * 2^e
    // rounded (to even at an exact tie, as printf rounds), m * 10^k within
    // 93 bits. The rest goes the general way.
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const int biased = int((bits >> 52) & 0x7FF);
    if (value == 0) {
        if (std::signbit(value))
            *out++ = '-';
        *out++ = '0';
        return out;
    }
    if (biased > 0 && biased < 0x7FF) {
        using u128 = unsigned __int128;
        const std::uint64_t mantissa = (bits & ((std::uint64_t(1) << 52) - 1)) | (std::uint64_t(1) << 52);
        const int shift = 1075 - biased; // value = mantissa / 2^shift
        static constexpr std::uint64_t Power[] = {1,         10,         100,         1000,         10000,
                                                  100000,    1000000,    10000000,    100000000,    1000000000,
                                                  10000000000, 100000000000, 1000000000000};
        auto digitsAt = [&](int k) {
            const u128 scaled = u128(mantissa) * Power[k];
            u128 whole = scaled >> shift;
            const u128 rest = scaled - (whole << shift);
            const u128 half = u128(1) << (shift - 1);
            if (rest > half || (rest == half && (whole & 1)))
                ++whole;
            return whole;
        };
        // The decimal exponent, from the binary one (78913 / 2^18 is log10 2
        // to within the range's needs): off by one at most.
        int exponent = ((52 - shift) * 78913) >> 18;
        if (shift > 0 && shift < 120 && exponent >= -5 && exponent <= 9) {
            u128 digits = 0;
            for (int tries = 0; tries < 3; ++tries) {
                const int k = 8 - exponent;
                if (k < 0 || k > 12)
                    break;
                digits = digitsAt(k);
                if (digits >= 1000000000)
                    ++exponent;
                else if (digits < 100000000)
                    --exponent;
                else
                    break;
            }
            if (digits >= 100000000 && digits < 1000000000 && exponent >= -4 && exponent <= 8) {
                static constexpr char Pairs[] = "00010203040506070809101112131415161718192021222324"
                                                "25262728293031323334353637383940414243444546474849"
                                                "50515253545556575859606162636465666768697071727374"
                                                "75767778798081828384858687888990919293949596979899";
                std::uint32_t d = std::uint32_t(digits);
                char text[9];
                for (int i = 7; i > 0; i -= 2, d /= 100)
                    std::copy_n(Pairs + 2 * (d % 100), 2, text + i);
                text[0] = char('0' + d);
                int last = 8; // the last digit written: trailing zeros after the point go
                while (last > std::max(exponent, 0) && text[last] == '0')
                    --last;
                if (value < 0)
                    *out++ = '-';
                if (exponent < 0) {
                    *out++ = '0';
                    *out++ = '.';
                    for (int i = -1; i > exponent; --i)
                        *out++ = '0';
                    return std::copy(text, text + last + 1, out);
                }
                out = std::copy(text, text + exponent + 1, out);
                if (last > exponent) {
                    *out++ = '.';
                    out = std::copy(text + exponent + 1, text + last + 1, out);
                }
                return out;
            }
        }
    }
    return std::to_chars(out, out + 32, value, std::chars_format::general, 9).ptr;
}

QByteArray real(double value)
{
    if (std::isnan(value))
        return QByteArrayLiteral("NA");
    char buffer[32];
    return QByteArray(buffer, int(writeReal(buffer, value) - buffer));
}

char *Row::room(size_t bytes)
{
    if (m_size + bytes > m_capacity) {
        const size_t capacity = std::max<size_t>(2 * m_capacity, m_size + bytes + 4096);
        std::unique_ptr<char[]> text(new char[capacity]); // not zeroed: written before read
        std::copy_n(m_text.get(), m_size, text.get());
        m_text = std::move(text);
        m_capacity = capacity;
    }
    return m_text.get() + m_size;
}

void Row::number(qint64 value)
{
    char *out = field(24);
    m_size = size_t(std::to_chars(out, out + 24, value).ptr - m_text.get());
}

void Row::real(double value)
{
    char *out = field(32);
    m_size = size_t((std::isnan(value) ? std::copy_n("NA", 2, out) : writeReal(out, value)) - m_text.get());
}

void Row::text(const QByteArray &text)
{
    char *out = field(size_t(text.size()));
    m_size = size_t(std::copy_n(text.constData(), text.size(), out) - m_text.get());
}

QByteArray path(const QByteArray &path)
{
    // The strings R (na.strings) and pandas (its default na_values) read as
    // a missing value.
    static const QByteArrayList missing{"",     "#N/A", "#N/A N/A", "#NA",  "-1.#IND", "-1.#QNAN", "-NaN",
                                        "-nan", "1.#IND", "1.#QNAN", "<NA>", "N/A",     "NA",       "NULL",
                                        "NaN",  "None", "n/a",      "nan",  "null"};
    QByteArray out = missing.contains(path) ? "./" + path : path;
    if (out.contains('\t') || out.contains('\n') || out.contains('\r') || out.contains('"')) {
        out.replace("\"", "\"\"");
        out = '"' + out + '"';
    }
    return out;
}

bool endsInsideQuotes(const QByteArray &line)
{
    bool inside = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i] != '"')
            continue;
        if (inside && i + 1 < line.size() && line[i + 1] == '"')
            ++i; // a quote within quotes
        else if (inside || i == 0 || line[i - 1] == '\t')
            inside = !inside;
    }
    return inside;
}

qsizetype fieldCount(const QByteArray &record)
{
    qsizetype tabs = 0;
    bool inside = false;
    for (qsizetype i = 0; i < record.size(); ++i) {
        const char c = record[i];
        if (c == '"' && inside && i + 1 < record.size() && record[i + 1] == '"')
            ++i;
        else if (c == '"' && (inside || i == 0 || record[i - 1] == '\t'))
            inside = !inside;
        else if (c == '\t' && !inside)
            ++tabs;
    }
    return tabs + 1;
}

QByteArray shardLine(const Kind &kind, const Shard &shard, const QByteArray &description)
{
    return SplitParts::shardLine(shardPrefix(kind).constData(), shard, description);
}

QByteArray endLine(const Kind &kind, qint64 rows)
{
    return endPrefix(kind) + number(rows) + " rows\n";
}

bool isStart(const Kind &kind, const QByteArray &firstLine)
{
    return kind.isHeader(firstLine) || firstLine.startsWith(shardPrefix(kind));
}

bool merge(const Kind &kind, const QByteArrayList &paths, const std::function<void(const QByteArray &)> &write,
           QString *errorString)
{
    auto refuse = [errorString](const QByteArray &path, const QString &why) {
        if (errorString)
            *errorString = QString::fromLocal8Bit(path) + QStringLiteral(": ") + why;
        return false;
    };
    const QByteArray shard = shardPrefix(kind);
    const QByteArray end = endPrefix(kind);
    const SplitParts::Kind parts{kind.name, kind.one, shard.constData()};
    std::vector<SplitParts::Part> opened;
    if (!SplitParts::openAll(paths, parts, false, opened, errorString))
        return false;
    for (const SplitParts::Part &part : opened) {
        if (!part.hasHead)
            return refuse(part.path, tr("not a %1: it has no header").arg(kind.one));
        if (!kind.isHeader(part.head))
            return refuse(part.path, tr("not a %1: line %2 is not its header").arg(kind.one).arg(part.shard ? 2 : 1));
        if (part.head != opened.front().head)
            return refuse(part.path, tr("its columns are not those of %1").arg(QString::fromLocal8Bit(opened.front().path)));
    }
    const qsizetype columns = fieldCount(opened.front().head);

    // The rows of a part, checked, handed on when writing. Files are checked
    // whole before anything is written; a pipe as it is written.
    auto readRows = [&](SplitParts::Part &part, bool writing) {
        if (!part.reader && !SplitParts::open(part, parts, errorString))
            return false;
        QByteArray line;
        qint64 rows = 0;
        bool ended = false;
        LineReader::Status status;
        while ((status = part.reader->next(line)) == LineReader::Line) {
            const qint64 lineNumber = part.reader->lineNumber();
            // A quoted path may hold line breaks: its record goes on.
            QByteArray next;
            while (!line.startsWith('#') && endsInsideQuotes(line) && part.reader->lineEnded()
                   && part.reader->next(next) == LineReader::Line)
                line += '\n' + next;
            if (ended)
                return refuse(part.path, tr("line %1 follows the end line").arg(lineNumber));
            if (part.shard && line.startsWith(end)) {
                if (line + '\n' != endLine(kind, rows))
                    return refuse(part.path, tr("its end line does not match its %1 rows").arg(rows));
                ended = true;
                continue;
            }
            if (fieldCount(line) != columns)
                return refuse(part.path, tr("line %1 does not have the %2's %3 columns").arg(lineNumber).arg(kind.one).arg(columns));
            if (!part.reader->lineEnded())
                return refuse(part.path, tr("the %1 does not end with a complete line").arg(kind.one));
            ++rows;
            if (writing)
                write(line + '\n');
        }
        if (status == LineReader::Error)
            return refuse(part.path, tr("not a %1: %2").arg(kind.one, part.reader->errorString()));
        if (part.shard && !ended)
            return refuse(part.path, tr("the part has no end line: it was cut short"));
        part.reader.reset();
        return true;
    };
    for (SplitParts::Part &part : opened) {
        if (!part.reader && !readRows(part, false))
            return false;
    }
    write(opened.front().head + '\n');
    for (SplitParts::Part &part : opened) {
        if (!readRows(part, true))
            return false;
    }
    return true;
}

} // namespace Tsv
