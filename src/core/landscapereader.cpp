#include "landscapereader.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstring>

namespace {

constexpr size_t ChunkSize = size_t(1) << 20;

inline bool isAsciiSpace(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

inline const char *cutAtNul(const char *begin, const char *end)
{
    const void *nul = std::memchr(begin, 0, size_t(end - begin));
    return nul ? static_cast<const char *>(nul) : end;
}

inline bool isBlankField(const char *begin, const char *end)
{
    for (; begin < end; ++begin) {
        if (!isAsciiSpace(static_cast<unsigned char>(*begin)))
            return false;
    }
    return true;
}

QString tooLargeError()
{
    return QCoreApplication::translate("LandscapeReader", "the landscape holds more than %1 cells")
            .arg(LandscapeReader::maxCells());
}

// Calls onLine(begin, end) for every line of file, in order; onLine returns
// false to stop early. Returns false on a read error.
template <typename OnLine>
bool forEachLine(QFile &file, OnLine &&onLine, QString *errorString)
{
    thread_local std::vector<char> buffer;
    if (buffer.size() < ChunkSize)
        buffer.resize(ChunkSize);
    size_t start = 0; // unconsumed bytes are buffer[start, end)
    size_t end = 0;
    bool ok = true;
    for (;;) {
        if (start == end) {
            start = end = 0;
        } else if (end == buffer.size()) {
            if (start > 0) {
                std::memmove(buffer.data(), buffer.data() + start, end - start);
                end -= start;
                start = 0;
            } else {
                buffer.resize(buffer.size() * 2); // one line longer than the buffer
            }
        }
        const qint64 got = file.read(buffer.data() + end, qint64(buffer.size() - end));
        if (got < 0) {
            if (errorString)
                *errorString = file.errorString();
            ok = false;
            break;
        }
        if (got == 0) {
            if (end > start)
                onLine(buffer.data() + start, buffer.data() + end);
            break;
        }
        const char *lineBegin = buffer.data() + start;
        const char *scan = buffer.data() + end; // earlier bytes hold no newline
        end += size_t(got);
        const char *const dataEnd = buffer.data() + end;
        bool more = true;
        while (const void *nl = std::memchr(scan, '\n', size_t(dataEnd - scan))) {
            const char *lineEnd = static_cast<const char *>(nl);
            if (!onLine(lineBegin, lineEnd)) {
                more = false;
                break;
            }
            lineBegin = scan = lineEnd + 1;
        }
        if (!more)
            break;
        start = size_t(lineBegin - buffer.data());
    }
    if (buffer.size() > 4 * ChunkSize) {
        buffer.resize(ChunkSize);
        buffer.shrink_to_fit();
    }
    return ok;
}

bool openForReading(QFile &file, QString *errorString)
{
    if (QFileInfo(file.fileName()).isDir()) {
        if (errorString)
            *errorString = QCoreApplication::translate("LandscapeReader", "is a directory");
        return false;
    }
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (errorString)
            *errorString = file.errorString();
        return false;
    }
    return true;
}

template <typename T, typename LineRule>
bool readRows(const QString &path, RaggedRows<T> &rows, QString *errorString, LineRule &&lineRule)
{
    rows.clear();
    QFile file(path);
    if (!openForReading(file, errorString))
        return false;
    bool tooLarge = false;
    const bool readOk = forEachLine(
            file,
            [&](const char *begin, const char *end) {
                if (lineRule(begin, end, rows.cells) > 0)
                    rows.endRow();
                if (qint64(rows.cells.size()) > LandscapeReader::maxCells()) {
                    tooLarge = true;
                    return false;
                }
                return true;
            },
            errorString);
    if (!readOk || tooLarge) {
        if (tooLarge && errorString)
            *errorString = tooLargeError();
        rows.clear();
        rows.cells.shrink_to_fit();
        return false;
    }
    return true;
}

} // namespace

bool LandscapeReader::toInt32(const char *begin, const char *end, qint32 &value)
{
    while (begin < end && isAsciiSpace(static_cast<unsigned char>(*begin)))
        ++begin;
    while (end > begin && isAsciiSpace(static_cast<unsigned char>(end[-1])))
        --end;
    if (begin == end)
        return false;
    const bool negative = *begin == '-';
    if (negative || *begin == '+') {
        if (++begin == end)
            return false;
    }
    quint64 magnitude = 0;
    for (; begin < end; ++begin) {
        const unsigned digit = unsigned(static_cast<unsigned char>(*begin)) - '0';
        if (digit > 9)
            return false;
        magnitude = magnitude * 10 + digit;
        if (magnitude > 2147483648ULL)
            return false;
    }
    if (!negative && magnitude > 2147483647ULL)
        return false;
    value = negative ? qint32(-qint64(magnitude)) : qint32(magnitude);
    return true;
}

qsizetype LandscapeReader::percolationLine(const char *begin, const char *end, qint32 habitatValue,
                                           std::vector<qint8> &cells)
{
    end = cutAtNul(begin, end);
    const size_t before = cells.size();
    const char *p = begin;
    for (;;) {
        const char *fieldBegin = p;
        // The common field is one digit followed by a blank.
        if (end - p >= 2 && p[1] == ' ' && unsigned(static_cast<unsigned char>(*p)) - '0' <= 9) {
            cells.push_back(qint8((*p - '0') == habitatValue));
            p += 2;
            continue;
        }
        while (p < end && *p != ' ')
            ++p;
        qint32 value;
        if (toInt32(fieldBegin, p, value))
            cells.push_back(qint8(value == habitatValue));
        if (p == end)
            break;
        ++p;
    }
    return qsizetype(cells.size() - before);
}

qsizetype LandscapeReader::displayLine(const char *begin, const char *end, std::vector<qint32> &values)
{
    end = cutAtNul(begin, end);
    const char *last = end;
    while (last > begin && last[-1] != ' ')
        --last;
    if (isBlankField(last, end)) {
        if (last == begin)
            return 0; // the only field is blank
        end = last - 1; // drop the blank last field and its separator
    }
    const size_t before = values.size();
    const char *p = begin;
    for (;;) {
        const char *fieldBegin = p;
        while (p < end && *p != ' ')
            ++p;
        qint32 value = 0;
        toInt32(fieldBegin, p, value);
        values.push_back(value);
        if (p == end)
            break;
        ++p;
    }
    return qsizetype(values.size() - before);
}

bool LandscapeReader::readPercolation(const QString &path, qint32 habitatValue,
                                      RaggedRows<qint8> &rows, QString *errorString)
{
    // Every cell needs a digit and a separator, so half the file size bounds the
    // cells and the array is never moved while it fills.
    const qint64 size = QFileInfo(path).size();
    if (size > 0)
        rows.cells.reserve(size_t(qMin<qint64>(size / 2 + 1, maxCells())));
    return readRows(path, rows, errorString,
                    [habitatValue](const char *begin, const char *end, std::vector<qint8> &cells) {
                        return percolationLine(begin, end, habitatValue, cells);
                    });
}

bool LandscapeReader::readDisplay(const QString &path, RaggedRows<qint32> &rows, QString *errorString)
{
    return readRows(path, rows, errorString, displayLine);
}
