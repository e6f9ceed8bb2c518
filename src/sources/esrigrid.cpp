#include "esrigrid.h"

#include "cellcodes.h"
#include "digitfields.h"

#include <QCoreApplication>

#include <cpl_conv.h>
#include <cpl_vsi.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace {

// Bytes read at a time.
constexpr size_t ChunkBytes = size_t(1) << 20;
// GDAL refuses a token longer than this.
constexpr qint64 MaxToken = 498;
// Bytes kept in the buffer ahead of a token's first byte (unless the file
// ends first), so that a token is never cut by the buffer's end: one that
// reaches it is too long.
constexpr qint64 Ahead = 512;
// A file offset is kept for every 256th row (or every 512th, ... so that at
// most 65536 are kept): a band read out of order starts at most that many
// rows before its first.
constexpr qint64 MinCheckpointRows = 256;
constexpr qint64 MaxCheckpoints = 65536;
// Where GDAL looks for the first value: its header buffer, which is smaller.
constexpr qint64 HeaderBytes = qint64(64) << 10;

enum ByteClass : unsigned char { Other = 0, Space = 1, Digit = 2, Nul = 3 };

struct ByteClasses
{
    unsigned char of[256] = {};
    constexpr ByteClasses()
    {
        for (int c = '0'; c <= '9'; ++c)
            of[c] = Digit;
        for (int c : {' ', '\t', '\n', '\v', '\f', '\r'})
            of[c] = Space;
        of[0] = Nul;
    }
};
constexpr ByteClasses classes;

inline unsigned char classOf(char c)
{
    return classes.of[static_cast<unsigned char>(c)];
}

inline bool isLetter(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

QString tr(const char *text)
{
    return QCoreApplication::translate("RasterSource", text);
}

inline bool isBreak(char c)
{
    return c == '\n' || c == '\r';
}

// The token at text (up to white space or a NUL), as a string.
QByteArray tokenAt(const char *text, const char *end)
{
    const char *q = text;
    while (q < end && *q != 0 && classOf(*q) != Space)
        ++q;
    return QByteArray(text, q - text);
}

// Whether a token that starts with a letter is a number all the same: what
// strtod reads in whole ("nan", "NaN", "nan(1)", "inf", "Infinity").
bool isNumberWord(const QByteArray &token)
{
    if (token.isEmpty() || !isLetter(static_cast<unsigned char>(token[0])))
        return false;
    char *end = nullptr;
    CPLStrtod(token.constData(), &end);
    return end == token.constData() + token.size();
}

// Where the values of an ESRI grid begin in its first bytes, -1 if not
// there: GDAL's rule (see EsriGridBody), and with numberWords a line that
// starts with a number in letters too.
qint64 valuesStart(const char *head, size_t size, bool numberWords)
{
    for (size_t i = 2; i < size && head[i] != 0; ++i) {
        if (!isBreak(head[i - 1]) && !isBreak(head[i - 2]))
            continue;
        if (isBreak(head[i]))
            continue;
        const bool null = i + 5 <= size && std::memcmp(head + i, "null ", 5) == 0;
        if (!isLetter(static_cast<unsigned char>(head[i])) || null)
            return qint64(i);
        if (numberWords && isBreak(head[i - 1]) && isNumberWord(tokenAt(head + i, head + size)))
            return qint64(i);
    }
    return -1;
}

// A double as a signed 32-bit value, when it is one.
inline bool doubleToInt32(double x, qint32 &out)
{
    if (!(x >= -2147483648.0 && x <= 2147483647.0))
        return false;
    out = qint32(x);
    return double(out) == x;
}

// What the reads make of each token. A sink is told the row being written
// (row()), then for each column below the columns asked for one of digit()
// (a token of one digit), integer() (a plain integer of up to 18 digits) or
// real() (GDAL's reading of any other token).
class HabitatSink
{
public:
    HabitatSink(qint8 *out, qint64 columns, const CoverSet &cover, bool hasNodata, double nodata)
        : m_out(out)
        , m_columns(columns)
        , m_cover(cover)
        , m_hasNodata(hasNodata)
        , m_nodata(nodata)
    {
        for (int d = 0; d < 10; ++d)
            m_digit[d] = code(d);
    }

    void row(qint64 r) { m_row = m_out + r * m_columns; }
    void digit(qint64 column, int d) { m_row[column] = m_digit[d]; }
    void digits(qint64 column, const quint8 *d, int n)
    {
        for (int i = 0; i < n; ++i)
            m_row[column + i] = m_digit[d[i]];
    }
    void integer(qint64 column, qint64 v)
    {
        m_row[column] = v >= -2147483648LL && v <= 2147483647LL ? code(qint32(v)) : CellCode::NoValue;
    }
    void real(qint64 column, double x)
    {
        qint32 v = 0;
        m_row[column] = doubleToInt32(x, v) ? code(v) : CellCode::NoValue;
    }

private:
    qint8 code(qint32 v) const
    {
        if (m_hasNodata && double(v) == m_nodata)
            return CellCode::NoValue;
        return m_cover.contains(v) ? CellCode::Habitat : CellCode::Matrix;
    }

    qint8 *m_out;
    qint8 *m_row = nullptr;
    qint64 m_columns;
    const CoverSet &m_cover;
    bool m_hasNodata;
    double m_nodata;
    qint8 m_digit[10];
};

class ValueSink
{
public:
    ValueSink(qint32 *values, quint8 *present, qint64 columns, bool hasNodata, double nodata)
        : m_values(values)
        , m_present(present)
        , m_columns(columns)
        , m_hasNodata(hasNodata)
        , m_nodata(nodata)
    {
        for (int d = 0; d < 10; ++d)
            m_digitPresent[d] = quint8(!(hasNodata && double(d) == nodata));
    }

    void row(qint64 r)
    {
        m_rowValues = m_values + r * m_columns;
        m_rowPresent = m_present + r * m_columns;
    }
    void digit(qint64 column, int d)
    {
        m_rowPresent[column] = m_digitPresent[d];
        m_rowValues[column] = m_digitPresent[d] ? d : 0;
    }
    void digits(qint64 column, const quint8 *d, int n)
    {
        for (int i = 0; i < n; ++i)
            digit(column + i, d[i]);
    }
    void integer(qint64 column, qint64 v)
    {
        set(column, v >= -2147483648LL && v <= 2147483647LL, qint32(v));
    }
    void real(qint64 column, double x)
    {
        qint32 v = 0;
        const bool ok = doubleToInt32(x, v);
        set(column, ok, v);
    }

private:
    void set(qint64 column, bool ok, qint32 v)
    {
        ok = ok && !(m_hasNodata && double(v) == m_nodata);
        m_rowPresent[column] = quint8(ok);
        m_rowValues[column] = ok ? v : 0;
    }

    qint32 *m_values;
    quint8 *m_present;
    qint32 *m_rowValues = nullptr;
    quint8 *m_rowPresent = nullptr;
    qint64 m_columns;
    bool m_hasNodata;
    double m_nodata;
    quint8 m_digitPresent[10];
};

} // namespace

struct EsriGridBody::Private
{
    VSILFILE *file = nullptr;
    qint64 width = 0;
    qint64 height = 0;
    bool hasNodata = false;
    double nodata = 0;

    // The buffer holds the file's bytes [bufferOffset, bufferOffset + (end -
    // buffer)), followed by a NUL; p is the next byte to parse.
    std::unique_ptr<char[]> buffer;
    char *p = nullptr;
    char *end = nullptr;
    qint64 bufferOffset = 0;
    bool atEof = false;
    bool readError = false;

    // p lies at the start of row nextRow (before its white space), when
    // positioned; after a failure it lies anywhere.
    bool positioned = false;
    qint64 nextRow = 0;
    // checkpoints[k]: the file offset where row k * checkpointRows starts.
    std::vector<qint64> checkpoints;
    qint64 checkpointRows = MinCheckpointRows;

    ~Private()
    {
        if (file)
            VSIFCloseL(file);
    }

    void seek(qint64 offset)
    {
        VSIFSeekL(file, vsi_l_offset(offset), SEEK_SET);
        bufferOffset = offset;
        p = end = buffer.get();
        *end = 0;
        atEof = false;
        readError = false;
    }

    // Moves the unparsed bytes to the front and reads more after them.
    void refill()
    {
        const size_t kept = size_t(end - p);
        bufferOffset += p - buffer.get();
        std::memmove(buffer.get(), p, kept);
        p = buffer.get();
        end = p + kept;
        const size_t room = ChunkBytes - kept;
        const size_t got = VSIFReadL(end, 1, room, file);
        if (got < room) {
            atEof = true;
            readError = !VSIFEofL(file); // a short read that is no end of file
        }
        end += got;
        *end = 0;
    }

    qint64 offsetOf(const char *at) const { return bufferOffset + (at - buffer.get()); }

    bool fail(QString *errorString, const QString &reason)
    {
        positioned = false;
        if (errorString)
            *errorString = reason;
        return false;
    }

    bool shortBody(qint64 column, QString *errorString)
    {
        if (readError)
            return fail(errorString, tr("the ESRI ASCII grid could not be read after byte %1").arg(offsetOf(p)));
        return fail(errorString,
                    tr("the ESRI ASCII grid is cut short: its values end in row %1 of %2, after %3 of its %4 values")
                            .arg(nextRow + 1)
                            .arg(height)
                            .arg(column)
                            .arg(width));
    }

    bool positionAt(qint64 row, QString *errorString);
    template <typename Sink>
    bool parseRow(qint64 columns, Sink *sink, QString *errorString);
};

EsriGridBody::EsriGridBody()
    : d(std::make_unique<Private>())
{
}

EsriGridBody::~EsriGridBody() = default;

bool EsriGridBody::open(const QByteArray &path, qint64 width, qint64 height, bool hasNodata, double nodata)
{
    d = std::make_unique<Private>();
    d->file = VSIFOpenL(path.constData(), "rb");
    if (!d->file || width < 1 || height < 1)
        return false;
    d->width = width;
    d->height = height;
    d->hasNodata = hasNodata;
    d->nodata = nodata;
    d->buffer.reset(new char[ChunkBytes + 1]);

    // The first value, by GDAL's rule (and at a line that starts with nan),
    // in the bytes GDAL looked at.
    std::vector<char> head(size_t(HeaderBytes) + 1, 0);
    const size_t got = VSIFReadL(head.data(), 1, size_t(HeaderBytes), d->file);
    const qint64 start = valuesStart(head.data(), got, true);
    if (start < 0)
        return false;
    while (height / d->checkpointRows >= MaxCheckpoints)
        d->checkpointRows *= 2;
    d->checkpoints.push_back(start);
    d->seek(start);
    d->positioned = true;
    d->nextRow = 0;
    return true;
}

bool EsriGridBody::Private::positionAt(qint64 row, QString *errorString)
{
    if (positioned && row == nextRow)
        return true;
    // From the last checkpoint at or before the row, unless the rows up to
    // it are nearer from here.
    const qint64 k = std::min<qint64>(row / checkpointRows, qint64(checkpoints.size()) - 1);
    if (!positioned || row < nextRow || k * checkpointRows > nextRow) {
        seek(checkpoints[size_t(k)]);
        positioned = true;
        nextRow = k * checkpointRows;
    }
    while (nextRow < row) {
        if (!parseRow<HabitatSink>(0, nullptr, errorString))
            return false;
    }
    return true;
}

// Parses row nextRow, giving its first `columns` values to sink, and moves
// on to the next row.
template <typename Sink>
bool EsriGridBody::Private::parseRow(qint64 columns, Sink *sink, QString *errorString)
{
    qint64 column = 0;
    while (column < width) {
        // White space before the token; the buffer's NUL stops the scan.
        for (;;) {
            while (classOf(*p) == Space)
                ++p;
            if (p < end)
                break;
            if (atEof)
                return shortBody(column, errorString);
            refill();
        }
        if (!atEof && end - p < Ahead)
            refill();
        if (*p == 0) // a NUL byte of the file: the values end there
            return shortBody(column, errorString);

#ifdef __SSE2__
        // Eight one-digit values at once, while the row lasts; then back to
        // the top, which keeps the buffer ahead of the next token.
        if (width - column >= 8 && end - p >= 16) {
            bool any = false;
            __m128i digits;
            while (width - column >= 8 && end - p >= 16 && DigitFields::eight(p, digits)) {
                if (sink && column < columns) {
                    quint8 bytes[8];
                    DigitFields::store(digits, bytes);
                    sink->digits(column, bytes, int(std::min<qint64>(8, columns - column)));
                }
                column += 8;
                p += 16;
                any = true;
            }
            if (any)
                continue;
        }
#endif
        // One digit and white space: the common token.
        if (classOf(p[0]) == Digit && classOf(p[1]) == Space) {
            if (sink && column < columns)
                sink->digit(column, p[0] - '0');
            ++column;
            p += 2;
            continue;
        }
        const char *q = p;
        while (classOf(*q) == Digit || classOf(*q) == Other)
            ++q;
        if (q - p > MaxToken)
            return fail(errorString, tr("the ESRI ASCII grid has a value of more than %1 bytes in row %2")
                                             .arg(MaxToken)
                                             .arg(nextRow + 1));
        if (sink && column < columns) {
            const char *s = p;
            const bool negative = *s == '-';
            if (negative || *s == '+')
                ++s;
            const char *digitsBegin = s;
            quint64 magnitude = 0;
            while (s < q && classOf(*s) == Digit)
                magnitude = magnitude * 10 + unsigned(*s++ - '0');
            if (s == q && s > digitsBegin && s - digitsBegin <= 18) {
                sink->integer(column, negative ? -qint64(magnitude) : qint64(magnitude));
            } else {
                char token[MaxToken + 1];
                std::memcpy(token, p, size_t(q - p));
                token[q - p] = 0;
                sink->real(column, std::strcmp(token, "null") == 0 ? -DBL_MAX : CPLAtofM(token));
            }
        }
        ++column;
        p = const_cast<char *>(q);
    }
    ++nextRow;
    if (nextRow % checkpointRows == 0 && qint64(checkpoints.size()) == nextRow / checkpointRows)
        checkpoints.push_back(offsetOf(p));
    return true;
}

bool EsriGridBody::readHabitat(qint64 firstLine, qint64 lineCount, qint64 columns, const CoverSet &cover, qint8 *out,
                               QString *errorString)
{
    if (!d->positionAt(firstLine, errorString))
        return false;
    HabitatSink sink(out, columns, cover, d->hasNodata, d->nodata);
    for (qint64 r = 0; r < lineCount; ++r) {
        sink.row(r);
        if (!d->parseRow(columns, &sink, errorString))
            return false;
    }
    return true;
}

bool EsriGridBody::readValues(qint64 firstLine, qint64 lineCount, qint64 columns, qint32 *values, quint8 *present,
                              QString *errorString)
{
    if (!d->positionAt(firstLine, errorString))
        return false;
    ValueSink sink(values, present, columns, d->hasNodata, d->nodata);
    for (qint64 r = 0; r < lineCount; ++r) {
        sink.row(r);
        if (!d->parseRow(columns, &sink, errorString))
            return false;
    }
    return true;
}

namespace {

// What GDAL's AAIGrid driver wants of a header (GDAL 3.6): a file of at least
// 40 bytes that begins with one of these (in any case, as a prefix: "ncols=3"
// passes), then tokens separated by blanks, tabs and line breaks, among them
// ncols and nrows, each followed by a number from 1 to 10000000 (as atoi
// reads it), and cellsize, or dx and dy, followed by a value.
const char *const firstKeywords[] = {"ncols", "nrows", "xllcorner", "yllcorner", "xllcenter", "yllcenter", "dx", "dy",
                                     "cellsize"};
const char *const allKeywords[] = {"ncols",     "nrows",     "xllcorner", "yllcorner", "xllcenter",
                                   "yllcenter", "cellsize",  "dx",        "dy",        "nodata_value"};
constexpr int MinGridBytes = 40;
constexpr int MaxGridSide = 10000000;

QString quoted(const QByteArray &text)
{
    return QLatin1Char('\'') + QString::fromLatin1(text.left(40)) + QLatin1Char('\'');
}

bool isKeyword(const QByteArray &word)
{
    for (const char *keyword : allKeywords) {
        if (word.compare(keyword, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// The first thing wrong with a header GDAL did not take, or an empty string.
QString headerProblem(QByteArray head)
{
    head.truncate(qsizetype(std::strlen(head.constData()))); // GDAL reads its header up to a NUL
    if (head.startsWith("\xEF\xBB\xBF"))
        return tr("it begins with a byte-order mark, which GDAL does not skip");
    const QList<QByteArray> tokens = head.simplified().split(' ');
    bool knownStart = false;
    for (const char *keyword : firstKeywords)
        knownStart = knownStart || head.left(16).toLower().startsWith(keyword);
    if (!knownStart) {
        const bool blank = !head.isEmpty() && classOf(head[0]) == Space;
        return tr("it begins with %1; GDAL looks for ncols, nrows, xllcorner, yllcorner, xllcenter, yllcenter, "
                  "cellsize, dx or dy first")
                .arg(blank ? tr("white space") : quoted(tokens.value(0)));
    }
    if (head.size() < MinGridBytes) {
        return tr("it has %1 bytes; GDAL takes a file of at least %2 for an ESRI ASCII grid")
                .arg(head.size())
                .arg(MinGridBytes);
    }

    // The keywords as GDAL finds them: a token, in any case, with one after it.
    const auto valueOf = [&tokens](const char *keyword) -> std::optional<QByteArray> {
        for (qsizetype i = 0; i + 1 < tokens.size(); ++i) {
            if (tokens[i].compare(keyword, Qt::CaseInsensitive) == 0)
                return tokens[i + 1];
        }
        return std::nullopt;
    };
    // The lines, each with its first word.
    QList<QPair<QByteArray, QByteArray>> lines;
    for (const QByteArray &line : QByteArray(head).replace('\r', '\n').split('\n')) {
        const QByteArray words = line.simplified();
        if (!words.isEmpty())
            lines.append({words, words.split(' ').first()});
    }
    QStringList missing;
    if (!valueOf("ncols"))
        missing << QStringLiteral("ncols");
    if (!valueOf("nrows"))
        missing << QStringLiteral("nrows");
    if (!valueOf("cellsize") && !(valueOf("dx") && valueOf("dy")))
        missing << tr("cellsize (nor dx and dy)");
    if (!missing.isEmpty()) {
        // The first words of the header's lines that are no keyword.
        QStringList unknown;
        for (const auto &[line, word] : lines) {
            if (!isLetter(static_cast<unsigned char>(line[0])))
                break;
            if (!isKeyword(word) && unknown.size() < 3)
                unknown << quoted(word);
        }
        const QString none = tr("its header has no %1").arg(missing.join(tr(" and no ")));
        return unknown.isEmpty() ? none
                                 : tr("%1, and GDAL knows no keyword %2").arg(none, unknown.join(QStringLiteral(", ")));
    }
    for (const char *keyword : {"ncols", "nrows"}) {
        const QByteArray value = *valueOf(keyword);
        const int side = std::atoi(value.constData()); // as GDAL reads it
        if (side < 1 || side > MaxGridSide)
            return tr("its %1 is %2; GDAL takes from 1 to %3").arg(QLatin1String(keyword), quoted(value)).arg(MaxGridSide);
    }
    if (valuesStart(head.constData(), size_t(head.size()), false) < 0) {
        // Each line after the header starts with a letter: GDAL 3.6 takes even
        // "nan 1 1" for a line of the header.
        for (const auto &[line, word] : lines) {
            if (!isKeyword(word)) {
                return tr("its line %1 starts with a letter, which GDAL takes for a line of the header; a blank "
                          "before its first value lets GDAL read the grid")
                        .arg(quoted(line));
            }
        }
        return tr("no values follow its header");
    }
    return QString();
}

} // namespace

QString esriGridRefusal(const QByteArray &head, const QString &gdalReason)
{
    const QString problem = headerProblem(head);
    const QString refusal = tr("GDAL cannot open this ESRI ASCII grid: %1");
    if (gdalReason.isEmpty())
        return refusal.arg(problem.isEmpty() ? tr("its AAIGrid driver does not take the header") : problem);
    return problem.isEmpty() ? refusal.arg(gdalReason) : refusal.arg(gdalReason) + QStringLiteral(" (") + problem + ')';
}
