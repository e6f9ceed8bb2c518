#include "gdalraster.h"

#include "cellcodes.h"
#include "cellvalue.h"
#include "coverbits.h"
#include "esrigrid.h"
#include "landscapeprobe.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal.h>
#include <gdal_priv.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// GDAL's block cache, shared by every dataset of the process. Set explicitly:
// GDAL's own default is a share of the machine's memory.
constexpr qint64 BlockCacheBytes = qint64(64) << 20;
// The scratch strip of one read, in the band's own type (and as much again
// for a mask band at most).
constexpr qint64 ScratchBytes = qint64(16) << 20;
constexpr qint64 BlockGroupBytes = qint64(1) << 20; // blocks read at a time, straight from GDAL
constexpr qint64 HeldRowBytes = qint64(64) << 20; // the most a row of blocks read in parts is held in (GDAL's cache was as large)
// A band whose blocks are larger is refused: GDAL would allocate (and may
// fill) a whole block at the first read, whatever the file holds.
constexpr qint64 MaxBlockBytes = qint64(256) << 20;
// Strips that blockHeight() suggests hold at most this many cells.
constexpr qint64 MaxStripCells = qint64(1) << 24;

struct Excluded
{
    const char *name;
    const char *reason;
};

// Found by bench/gdaldrivers.cpp over generated plain-text landscapes and by
// reading each driver's identification in GDAL 3.6.
const Excluded excludedList[] = {
    {"XYZ", "takes any text of numbers separated by blanks, tabs, commas or semicolons for X Y Z columns"},
    {"CTG", "takes text whose first 320 bytes are digits, blanks and '-' with fitting numbers at fixed columns"},
    {"USGSDEM", "takes text with right-aligned numbers (\"     1\") at bytes 150 and 156"},
    {"JDEM", "takes text with \"19\" or \"20\" at bytes 11, 15 and 19 and fitting numbers at bytes 29 to 56"},
    {"DOQ1", "takes text with numbers at bytes 144 to 164 (width and height 500 to 25000, band type 1 to 9), "
             "and fails on it for band types 6 to 9"},
    {"GTX", "has no signature: takes any file named *.gtx whose first 40 bytes, read as numbers, fit its size"},
    {"ACE2", "has no signature: takes any file named *.ACE2"},
    {"IDA", "has no signature: takes any file of 512 bytes or more whose size fits the numbers read at bytes 30 to 33"},
    // A listed file must never make Vantrix reach out to a server: the
    // drivers whose files are descriptions of network services go too
    // (their text, such as "<WMS_Capabilities", would be read from a
    // landscape file and then fetched).
    {"WMS", "reads from web map servers named in the file"},
    {"WMTS", "reads from web map tile servers named in the file"},
    {"WCS", "reads from web coverage servers named in the file"},
    {"PLMOSAIC", "reads from Planet's servers"},
    {"PLSCENES", "reads from Planet's servers"},
    {"EEDAI", "reads from Google Earth Engine's servers"},
    {"DAAS", "reads from Airbus' servers"},
    {"OGCAPI", "reads from OGC API servers named in the file"},
    {"NGW", "reads from NextGIS Web servers"},
    {"HTTP", "reads files from web servers"},
    {"STACIT", "reads the assets a STAC item collection names, from servers too"},
    {"STACTA", "reads the tiles a STAC tiled asset names, from servers too"},
    // Nor must it make Vantrix read files other than itself, which could be
    // anything (a FIFO that blocks for ever, a device, a system file).
    {"VRT", "a virtual raster reads whatever files, devices or URLs it names"},
    {"KMLSUPEROVERLAY", "reads the tiles a KML file names, from servers too"},
};

bool isExcluded(const char *name)
{
    for (const Excluded &e : excludedList) {
        if (EQUAL(e.name, name))
            return true;
    }
    return false;
}

// GDAL's messages, kept for the thread that caused them.
struct ThreadMessages
{
    std::vector<std::string> failures;
    bool outOfMemory = false; // GDAL could not allocate memory
};

thread_local ThreadMessages threadMessages;

// Called by GDAL, from C code: nothing may be thrown from here, not even when
// the message comes because memory ran out.
// The process's handler of errors GDAL cannot go on from.
std::atomic<RasterSource::FatalHandler> fatalHandler{nullptr};

void CPL_STDCALL keepMessage(CPLErr level, CPLErrorNum number, const char *message)
{
    if (level == CE_Fatal) {
        if (const RasterSource::FatalHandler handler = fatalHandler.load())
            handler(message ? message : "");
        return; // GDAL aborts
    }
    if (level < CE_Failure || !message)
        return;
    if (number == CPLE_OutOfMemory)
        threadMessages.outOfMemory = true;
    std::vector<std::string> &failures = threadMessages.failures;
    if (failures.size() >= 8)
        return;
    try {
        std::string text(message, strnlen(message, 500));
        if (std::find(failures.begin(), failures.end(), text) == failures.end())
            failures.push_back(std::move(text));
    } catch (const std::bad_alloc &) {
        threadMessages.outOfMemory = true;
    }
}

void clearMessages()
{
    threadMessages.failures.clear();
    threadMessages.outOfMemory = false;
    CPLErrorReset();
}

// Whether GDAL's last word on this thread is a failure. Some drivers report
// an error while probing a file and then take it back (CPLErrorReset) to say
// "not mine"; GDAL goes on to the next driver then, and so does this.
bool hasFailure()
{
    return CPLGetLastErrorType() >= CE_Failure;
}

// One of GDAL's messages as one clean line. Some drivers print pointer
// addresses ("VSIFReadL(0x55d0c3a0,6*4) @ 8237 failed in HFAEntry().") and
// append strerror(errno) on a line of its own, which says "Success" when the
// cause was no system error (a file cut short); both go, the remaining lines
// are joined, control characters become blanks and runs of white space one.
QString cleanMessage(const QString &message)
{
    static const QRegularExpression address(QStringLiteral("0x[0-9A-Fa-f]{6,}\\s*,?\\s*|\\(nil\\)\\s*,?\\s*"));
    static const QRegularExpression lineBreaks(QStringLiteral("[\\r\\n]+"));
    static const QString noError = QString::fromLocal8Bit(std::strerror(0));
    QString joined;
    for (QString line : message.split(lineBreaks)) {
        for (QChar &c : line) {
            if (c.unicode() < 0x20 || c.unicode() == 0x7F)
                c = QLatin1Char(' ');
        }
        line = line.replace(address, QString()).simplified();
        if (line.isEmpty() || line == QLatin1String("Success") || line == noError)
            continue;
        if (!joined.isEmpty()) {
            const QChar last = joined.back();
            const bool ended = last == QLatin1Char('.') || last == QLatin1Char(':') || last == QLatin1Char(';');
            joined += ended ? QStringLiteral(" ") : QStringLiteral(": ");
        }
        joined += line;
    }
    return joined;
}

// GDAL's messages since clearMessages(), the last one at least, as one line.
// A message that wraps an earlier one ("x.tif, band 1: IReadBlock failed at X
// offset 0, Y offset 0: <the earlier message>") keeps only what it adds.
QString gdalReason()
{
    QStringList parts;
    const auto add = [&parts](const QString &message) {
        QString text = cleanMessage(message);
        for (const QString &earlier : std::as_const(parts)) {
            if (text.endsWith(QLatin1String(": ") + earlier))
                text.chop(earlier.size() + 2);
        }
        if (!text.isEmpty() && !parts.contains(text))
            parts << text;
    };
    for (const std::string &m : threadMessages.failures)
        add(QString::fromUtf8(m.data(), qsizetype(m.size())));
    add(QString::fromUtf8(CPLGetLastErrorMsg()));
    return parts.join(QLatin1String("; "));
}

struct Gdal
{
    int driverCount = 0; // drivers registered once the excluded ones are gone
    std::vector<std::string> keptNames; // the raster drivers kept then
    std::vector<const char *> kept;     // the same, null-terminated
};

const Gdal &gdal()
{
    static Gdal g;
    static std::once_flag once;
    std::call_once(once, [] {
        // Before anything else, so that nothing GDAL says ever reaches the console.
        CPLSetErrorHandler(keepMessage);
        // Drivers find sidecar files (.hdr, .aux.xml, ...) by probing their
        // names; a folder of many landscapes is never listed once per file.
        CPLSetConfigOption("GDAL_DISABLE_READDIR_ON_OPEN", "TRUE");
        CPLSetConfigOption("GDAL_VRT_ENABLE_PYTHON", "NO");
        // No network reads either through a raster that names a URL (a VRT's
        // sources, say): /vsicurl/ is allowed this one name, which no file has.
        CPLSetConfigOption("CPL_VSIL_CURL_ALLOWED_FILENAME", "vantrix-reads-no-network");
        GDALAllRegister();
        GDALSetCacheMax64(BlockCacheBytes);
        // The excluded drivers are deregistered once, so that GDALOpenEx needs
        // no allowed-driver list: it looks each driver up in that list by string
        // comparisons, some 0.2 ms per file for 140 drivers.
        for (const Excluded &e : excludedList) {
            if (GDALDriverH driver = GDALGetDriverByName(e.name)) {
                GDALDeregisterDriver(driver);
                GDALDestroyDriver(driver);
            }
        }
        g.driverCount = GDALGetDriverCount();
        for (int i = 0; i < g.driverCount; ++i) {
            GDALDriverH driver = GDALGetDriver(i);
            if (GDALGetMetadataItem(driver, GDAL_DCAP_RASTER, nullptr))
                g.keptNames.emplace_back(GDALGetDriverShortName(driver));
        }
        for (const std::string &name : g.keptNames)
            g.kept.push_back(name.c_str());
        g.kept.push_back(nullptr);
    });
    return g;
}

// The allowed-driver list for GDALOpenEx: none while the drivers are those of
// start-up, else (someone called GDALAllRegister() again, which brings the
// excluded drivers back) the raster drivers kept at start-up.
const char *const *allowedDrivers(const Gdal &g)
{
    return GDALGetDriverCount() == g.driverCount ? nullptr : g.kept.data();
}

// The allowed driver whose identification takes the file, if any: for a
// file that no driver opened and none failed on, whether one recognised it
// nevertheless (a damaged header that a driver refuses without a word).
GDALDriver *identifyingDriver(const char *path, const char *const *allowed)
{
    GDALOpenInfo info(path, GDAL_OF_RASTER | GDAL_OF_READONLY);
    info.papszAllowedDrivers = allowed;
    GDALDriverManager *manager = GetGDALDriverManager();
    for (int i = 0; i < manager->GetDriverCount(); ++i) {
        GDALDriver *driver = manager->GetDriver(i);
        if (!driver || !driver->GetMetadataItem(GDAL_DCAP_RASTER) || isExcluded(driver->GetDescription()))
            continue;
        const int identified = driver->pfnIdentifyEx ? driver->pfnIdentifyEx(driver, &info)
                               : driver->pfnIdentify ? driver->pfnIdentify(&info)
                                                     : 0;
        if (identified > 0)
            return driver;
    }
    return nullptr;
}

// The first bytes of a file (LandscapeProbe's, as many as GDAL first reads),
// or nothing if it cannot be opened.
std::optional<QByteArray> firstBytes(const char *path)
{
    VSILFILE *file = VSIFOpenL(path, "rb");
    if (!file)
        return std::nullopt;
    QByteArray bytes(qsizetype(LandscapeProbe::SniffBytes), Qt::Uninitialized);
    bytes.truncate(qsizetype(VSIFReadL(bytes.data(), 1, size_t(bytes.size()), file)));
    VSIFCloseL(file);
    return bytes;
}

const unsigned char *unsignedBytes(const QByteArray &bytes)
{
    return reinterpret_cast<const unsigned char *>(bytes.constData());
}

// What a /vsimem/ file is, by LandscapeProbe's rules on its first bytes.
LandscapeProbe::Kind memoryFileKind(const char *path)
{
    VSIStatBufL st;
    if (VSIStatL(path, &st) != 0 || !VSI_ISREG(st.st_mode))
        return LandscapeProbe::Kind::NotRegular;
    const std::optional<QByteArray> bytes = firstBytes(path);
    if (!bytes)
        return LandscapeProbe::Kind::NotRegular;
    return LandscapeProbe::kindOfBytes(unsignedBytes(*bytes), size_t(bytes->size()));
}

// A GDAL configuration option set for this thread while the object lives.
class ThreadOption
{
public:
    ThreadOption(const char *name, const char *value)
        : m_name(name)
    {
        if (const char *old = CPLGetThreadLocalConfigOption(name, nullptr))
            m_old = old;
        CPLSetThreadLocalConfigOption(name, value);
    }
    ~ThreadOption() { CPLSetThreadLocalConfigOption(m_name, m_old ? m_old->c_str() : nullptr); }
    ThreadOption(const ThreadOption &) = delete;
    ThreadOption &operator=(const ThreadOption &) = delete;

private:
    const char *m_name;
    std::optional<std::string> m_old;
};

QString tr(const char *text)
{
    return QCoreApplication::translate("RasterSource", text);
}

void setError(QString *errorString, const QString &text)
{
    if (errorString)
        *errorString = text;
}

// The cell types, as read from the band in its own type.
enum class Cell { U8, I8, U16, I16, U32, I32, U64, I64, F32, F64 };

template <Cell> struct CellType;
template <> struct CellType<Cell::U8> { using T = quint8; };
template <> struct CellType<Cell::I8> { using T = qint8; };
template <> struct CellType<Cell::U16> { using T = quint16; };
template <> struct CellType<Cell::I16> { using T = qint16; };
template <> struct CellType<Cell::U32> { using T = quint32; };
template <> struct CellType<Cell::I32> { using T = qint32; };
template <> struct CellType<Cell::U64> { using T = quint64; };
template <> struct CellType<Cell::I64> { using T = qint64; };
template <> struct CellType<Cell::F32> { using T = float; };
template <> struct CellType<Cell::F64> { using T = double; };

// Calls run(CellType<cell>()) for the cell type of a band: the one place
// that turns a band's type into code for it.
template <typename Run>
bool withCellType(Cell cell, Run &&run)
{
    switch (cell) {
    case Cell::U8: return run(CellType<Cell::U8>());
    case Cell::I8: return run(CellType<Cell::I8>());
    case Cell::U16: return run(CellType<Cell::U16>());
    case Cell::I16: return run(CellType<Cell::I16>());
    case Cell::U32: return run(CellType<Cell::U32>());
    case Cell::I32: return run(CellType<Cell::I32>());
    case Cell::U64: return run(CellType<Cell::U64>());
    case Cell::I64: return run(CellType<Cell::I64>());
    case Cell::F32: return run(CellType<Cell::F32>());
    case Cell::F64: return run(CellType<Cell::F64>());
    }
    return false;
}

// The band's nodata value in its own type.
struct Nodata
{
    bool set = false; // whether cells can equal it
    double real = 0;  // floating-point bands
    qint64 signedValue = 0;
    quint64 unsignedValue = 0;
};

template <typename T>
inline T nodataAs(const Nodata &n)
{
    if constexpr (std::is_floating_point_v<T>)
        return T(n.real);
    else if constexpr (std::is_signed_v<T>)
        return T(n.signedValue);
    else
        return T(n.unsignedValue);
}

// The cell code of a value for a cover: NoValue for nodata and for a value
// that is no 32-bit integer, else Habitat or Matrix.
template <typename T>
inline qint8 habitatCode(T v, const CoverSet &cover, bool hasNodata, T nodata)
{
    qint32 i = 0;
    if (!toInt32(v, i) || (hasNodata && v == nodata))
        return CellCode::NoValue;
    return cover.contains(i) ? CellCode::Habitat : CellCode::Matrix;
}

template <typename T>
void habitatLine(const T *src, qint8 *out, qint64 n, const CoverSet &cover, bool hasNodata, T nodata)
{
    for (qint64 i = 0; i < n; ++i)
        out[i] = habitatCode(src[i], cover, hasNodata, nodata);
}

// Cell types of at most 16 bits map through a table of every value's code.
template <typename T>
constexpr bool hasCodeTable = sizeof(T) <= 2 && !std::is_floating_point_v<T>;

template <typename T>
using TableIndex = std::make_unsigned_t<T>;

// Values of one line, 32-bit or (from bytes) bytes; src may be values.
template <typename T, typename Value>
void valueLine(const T *src, Value *values, quint8 *present, qint64 n, bool hasNodata, T nodata)
{
    for (qint64 i = 0; i < n; ++i) {
        qint32 v = 0;
        const bool ok = toInt32(src[i], v) && !(hasNodata && src[i] == nodata);
        values[i] = ok ? Value(v) : 0;
        present[i] = quint8(ok);
    }
}

// A mask band's lines (null: none) over values read: no value where the
// mask is 0.
template <typename Value>
void maskValues(const quint8 *mask, Value *values, quint8 *present, qint64 columns, qint64 line, qint64 col, qint64 h,
                qint64 w)
{
    if (!mask)
        return;
    for (qint64 r = 0; r < h; ++r) {
        Value *v = values + (line + r) * columns + col;
        quint8 *p = present + (line + r) * columns + col;
        const quint8 *m = mask + r * w;
        for (qint64 i = 0; i < w; ++i) {
            const bool ok = p[i] && m[i];
            p[i] = quint8(ok);
            v[i] = ok ? v[i] : 0;
        }
    }
}

} // namespace

// A cover of byte cells as at most two comparisons a cell, which vectorise:
// where one value at most is habitat and one at most has no value (most
// land cover). Any other cover goes through the table of codes.
struct ByteCover
{
    bool compare = false;
    quint8 habitatValue = 0;
    quint8 noValue = 0;
    quint8 habitatBit = 0; // 1 when habitatValue is habitat (some value is)
    quint8 noValueBit = 0; // 1 when noValue has no value

    explicit ByteCover(const qint8 *codes)
    {
        int habitatValues = 0, noValues = 0;
        for (int v = 0; v < 256; ++v) {
            if (codes[v] == CellCode::Habitat && ++habitatValues)
                habitatValue = quint8(v);
            if (codes[v] == CellCode::NoValue && ++noValues)
                noValue = quint8(v);
        }
        compare = habitatValues <= 1 && noValues <= 1;
        habitatBit = habitatValues == 1 ? 1 : 0;
        noValueBit = noValues == 1 ? 1 : 0;
    }
};

// The bits of h lines of w byte cells (lines `stride` bytes apart) under a
// ByteCover that compares: a line's habitat words at habitat, its words
// without a value `words` further, a word of each per 64 cells (the last
// word's bits past w clear); the next line's 2 words further on.
void byteCoverBits(const quint8 *lines, qint64 stride, qint64 h, qint64 w, const ByteCover &cover, quint64 *habitat,
                   qint64 words)
{
    const quint64 habitatMask = cover.habitatBit ? ~quint64(0) : 0;
    const quint64 noValueMask = cover.noValueBit ? ~quint64(0) : 0;
#ifdef __SSE2__
    const __m128i hv = _mm_set1_epi8(char(cover.habitatValue));
    const __m128i nv = _mm_set1_epi8(char(cover.noValue));
#endif
    for (qint64 r = 0; r < h; ++r, lines += stride, habitat += 2 * words) {
        const quint8 *const from = lines;
        quint64 *const noValue = habitat + words;
        qint64 i = 0;
#ifdef __SSE2__
        for (; i + 64 <= w; i += 64) {
            quint64 bits = 0;
            quint64 none = 0;
            for (int part = 0; part < 4; ++part) {
                const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + i + 16 * part));
                bits |= quint64(quint32(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, hv)))) << (16 * part);
                none |= quint64(quint32(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, nv)))) << (16 * part);
            }
            habitat[i / 64] = bits & habitatMask;
            noValue[i / 64] = none & noValueMask;
        }
#endif
        for (; i < w; i += 64) {
            const int width = int(std::min<qint64>(64, w - i));
            quint64 bits = 0;
            quint64 none = 0;
            for (int k = 0; k < width; ++k) {
                bits |= quint64(from[i + k] == cover.habitatValue) << k;
                none |= quint64(from[i + k] == cover.noValue) << k;
            }
            habitat[i / 64] = bits & habitatMask;
            noValue[i / 64] = none & noValueMask;
        }
    }
}

struct GdalRaster::Private
{
    GDALDatasetH dataset = nullptr;
    GDALRasterBandH band = nullptr;
    GDALRasterBandH mask = nullptr; // a mask band to read, when validity comes from one
    Cell cell = Cell::U8;
    GDALDataType readType = GDT_Byte;
    int cellBytes = 1;
    Nodata nodata;
    qint64 width = 0;
    qint64 height = 0;
    qint64 blockWidth = 1;
    qint64 blockLines = 1;
    int blockX = 1; // GDAL's block, which may reach past the raster's edges
    int blockY = 1;
    QString driver;
    std::vector<unsigned char> scratch;
    std::vector<unsigned char> blockScratch; // blocks read whole, a few at a time
    std::vector<unsigned char> heldRow;      // a block row read in parts: its blocks
    qint64 heldBlockRow = -1;
    qint64 heldColumns = 0;
    std::vector<quint8> maskScratch;
    // The code of every value of a band of at most 16 bits, for codeCover.
    std::vector<qint8> codeTable;
    CoverSet codeCover;
    // The values of an ESRI ASCII grid, parsed without GDAL.
    std::unique_ptr<EsriGridBody> esri;
    // Whether the last read failed because GDAL could not allocate memory.
    bool outOfMemory = false;

    // The table of codes for cover, made when the cover changes.
    template <typename T>
    const qint8 *codesFor(const CoverSet &cover)
    {
        if (codeTable.empty() || !(codeCover == cover)) {
            const T none = nodataAs<T>(nodata);
            codeTable.resize(size_t(1) << (8 * sizeof(T)));
            for (size_t i = 0; i < codeTable.size(); ++i)
                codeTable[i] = habitatCode(T(TableIndex<T>(i)), cover, nodata.set, none);
            codeCover = cover;
        }
        return codeTable.data();
    }

    bool checkRead(qint64 firstLine, qint64 lineCount, qint64 columns, const void *out, QString *errorString) const;
    // The caller's buffer, when cells are read straight into it in the band's
    // own type: line r of those asked for at base + r * stride bytes.
    struct Into
    {
        unsigned char *base;
        qint64 stride;
    };
    // Calls take(src, stride, mask, line, column, lines, columns) for windows
    // that together cover the lines and columns asked for, block row by block
    // row (line relative to firstLine; mask null without a mask band, else
    // its lines `columns` apart). The window's cells are in the band's own
    // type at src, lines stride cells apart: without a mask, GDAL's blocks
    // (readBlocks()); with one, the scratch strip, or with into, the
    // caller's buffer, where take() finds them (src null).
    template <typename Take>
    bool readWindows(qint64 firstLine, qint64 lineCount, qint64 columns, Take &&take, const Into *into,
                     QString *errorString);
    // Lines [rowStart, rowEnd) of one block row, columns [0, columns): each
    // block decoded by GDAL straight into a scratch (not through its block
    // cache, which a map read once only fills, nor copied out of it) and
    // taken while it is in cache.
    template <typename Take>
    CPLErr readBlocks(qint64 firstLine, qint64 rowStart, qint64 rowEnd, qint64 columns, Take &take);
};

GdalRaster::GdalRaster()
    : d(std::make_unique<Private>())
{
}

GdalRaster::~GdalRaster()
{
    close();
}

RasterSource::OpenResult GdalRaster::open(const QByteArray &path, bool text, int band, QString *errorString)
{
    const Gdal &g = gdal();
    close();
    if (path.isEmpty() || path.contains('\0'))
        return RasterSource::NotRaster;

    // The caller has probed a file on disk (a regular file that is not a
    // plain grid of numbers); GDAL's in-memory files are probed here. A path
    // is never a GDAL connection string ("NITF_IM:0:x.ntf", "PG:..."):
    // relative paths are made to start with "./".
    QByteArray name = path;
    if (path.startsWith("/vsimem/")) {
        const LandscapeProbe::Kind kind = memoryFileKind(name.constData());
        if (kind != LandscapeProbe::Kind::Text && kind != LandscapeProbe::Kind::Binary)
            return RasterSource::NotRaster;
        text = kind == LandscapeProbe::Kind::Text;
    } else if (!path.startsWith('/')) {
        name.prepend("./");
    }

    clearMessages();
    // ESRI and GRASS ASCII grids are read as Float64: exact for every integer
    // of 32 bits (the Int32 reading wraps larger ones around), 1.5 stays
    // invalid, and GDAL does not scan the whole file for a decimal point first.
    const ThreadOption esriType("AAIGRID_DATATYPE", "Float64");
    const ThreadOption grassType("GRASSASCIIGRID_DATATYPE", "Float64");
    const char *const *allowed = allowedDrivers(g);
    GDALDatasetH dataset = GDALOpenEx(name.constData(), GDAL_OF_RASTER | GDAL_OF_READONLY, allowed, nullptr, nullptr);
    if (!dataset) {
        // A text file that GDAL cannot open as a raster is a text landscape,
        // whatever its first line looks like to a driver ("ncols 5" over rows
        // of numbers), unless it begins with an ESRI ASCII grid's header: that
        // is a grid GDAL refuses, never cells made of the header's numbers. A
        // binary file a driver fails on is a damaged raster.
        if (text) {
            // GDAL's AAIGrid driver starts its messages with the file's name.
            QString reason = hasFailure() ? gdalReason() : QString();
            if (const QString prefix = QString::fromUtf8(name) + QStringLiteral(": "); reason.startsWith(prefix))
                reason.remove(0, prefix.size());
            clearMessages();
            const std::optional<QByteArray> head = firstBytes(name.constData());
            if (!head || !LandscapeProbe::beginsWithEsriHeader(unsignedBytes(*head), size_t(head->size())))
                return RasterSource::NotRaster;
            setError(errorString, esriGridRefusal(*head, reason));
            return RasterSource::Failed;
        }
        if (hasFailure()) {
            setError(errorString, gdalReason());
            return RasterSource::Failed;
        }
        if (GDALDriver *driver = identifyingDriver(name.constData(), allowed)) {
            setError(errorString, tr("GDAL's %1 driver (%2) recognises the file but cannot open it as a raster")
                                          .arg(QString::fromUtf8(driver->GetDescription()),
                                               QString::fromUtf8(driver->GetMetadataItem(GDAL_DMD_LONGNAME))));
            return RasterSource::Failed;
        }
        return RasterSource::NotRaster;
    }
    d->dataset = dataset;
    d->driver = QString::fromUtf8(GDALGetDriverShortName(GDALGetDatasetDriver(dataset)));

    const auto fail = [&](const QString &reason) {
        setError(errorString, reason);
        close();
        return RasterSource::Failed;
    };
    const int bands = GDALGetRasterCount(dataset);
    if (band < 1 || band > bands) {
        return fail(bands == 1 ? tr("band %1 does not exist: the raster has 1 band").arg(band)
                               : tr("band %1 does not exist: the raster has %2 bands").arg(band).arg(bands));
    }
    d->band = GDALGetRasterBand(dataset, band);
    d->width = GDALGetRasterXSize(dataset);
    d->height = GDALGetRasterYSize(dataset);
    if (!d->band || d->width < 1 || d->height < 1)
        return fail(tr("the raster has no cells"));

    const GDALDataType type = GDALGetRasterDataType(d->band);
    d->readType = type;
    switch (type) {
    case GDT_Byte: {
        const char *pixelType = GDALGetMetadataItem(d->band, "PIXELTYPE", "IMAGE_STRUCTURE");
        d->cell = pixelType && EQUAL(pixelType, "SIGNEDBYTE") ? Cell::I8 : Cell::U8;
        break;
    }
#if GDAL_VERSION_NUM >= GDAL_COMPUTE_VERSION(3, 7, 0)
    case GDT_Int8: d->cell = Cell::I8; break;
#endif
    case GDT_UInt16: d->cell = Cell::U16; break;
    case GDT_Int16: d->cell = Cell::I16; break;
    case GDT_UInt32: d->cell = Cell::U32; break;
    case GDT_Int32: d->cell = Cell::I32; break;
    case GDT_UInt64: d->cell = Cell::U64; break;
    case GDT_Int64: d->cell = Cell::I64; break;
    case GDT_Float32: d->cell = Cell::F32; break;
    case GDT_Float64: d->cell = Cell::F64; break;
    case GDT_CInt16:
    case GDT_CInt32:
    case GDT_CFloat32:
    case GDT_CFloat64:
        return fail(tr("band %1 holds complex values (%2), not class values").arg(band).arg(QString::fromUtf8(GDALGetDataTypeName(type))));
    default:
        return fail(tr("band %1 has a data type Vantrix does not read (%2)").arg(band).arg(QString::fromUtf8(GDALGetDataTypeName(type))));
    }
    d->cellBytes = GDALGetDataTypeSizeBytes(type);

    int blockX = 0;
    int blockY = 0;
    GDALGetBlockSize(d->band, &blockX, &blockY);
    d->blockX = std::max(1, blockX);
    d->blockY = std::max(1, blockY);
    d->blockWidth = std::clamp<qint64>(blockX, 1, d->width);
    d->blockLines = std::clamp<qint64>(blockY, 1, d->height);
    if (qint64(blockX) * blockY * d->cellBytes > MaxBlockBytes) {
        return fail(tr("the raster's blocks of %1 x %2 cells take more than %3 MB each")
                            .arg(blockX).arg(blockY).arg(MaxBlockBytes >> 20));
    }

    // Validity: the band's nodata value when that is all GDAL has, else its
    // mask band (alpha, a mask per dataset, an explicit mask file).
    clearMessages();
    const int maskFlags = GDALGetMaskFlags(d->band);
    if (maskFlags == GMF_NODATA) {
        int has = 0;
        if (d->cell == Cell::I64) {
            const int64_t v = GDALGetRasterNoDataValueAsInt64(d->band, &has);
            d->nodata.set = has != 0;
            d->nodata.signedValue = v;
        } else if (d->cell == Cell::U64) {
            const uint64_t v = GDALGetRasterNoDataValueAsUInt64(d->band, &has);
            d->nodata.set = has != 0;
            d->nodata.unsignedValue = v;
        } else {
            const double v = GDALGetRasterNoDataValue(d->band, &has);
            d->nodata.real = v;
            if (has) {
                if (d->cell == Cell::F32 || d->cell == Cell::F64) {
                    d->nodata.set = true;
                } else if (v == std::trunc(v) && v >= -9.3e18 && v <= 9.3e18) {
                    // An integer band's nodata is an integer in its range, or matches no cell.
                    const qint64 i = qint64(v);
                    d->nodata.signedValue = i;
                    d->nodata.unsignedValue = quint64(i);
                    switch (d->cell) {
                    case Cell::U8: d->nodata.set = i >= 0 && i <= 255; break;
                    case Cell::I8: d->nodata.set = i >= -128 && i <= 127; break;
                    case Cell::U16: d->nodata.set = i >= 0 && i <= 65535; break;
                    case Cell::I16: d->nodata.set = i >= -32768 && i <= 32767; break;
                    case Cell::U32: d->nodata.set = i >= 0 && i <= 4294967295LL; break;
                    case Cell::I32: d->nodata.set = i >= std::numeric_limits<qint32>::min() && i <= std::numeric_limits<qint32>::max(); break;
                    default: break;
                    }
                }
            }
        }
    } else if (!(maskFlags & GMF_ALL_VALID)) {
        d->mask = GDALGetMaskBand(d->band);
        if (!d->mask)
            return fail(!gdalReason().isEmpty() ? gdalReason() : tr("the raster's mask cannot be read"));
    }

    // An ESRI ASCII grid's values are parsed here, with GDAL's meaning and
    // at the speed of plain text; GDAL has read the header. The parser finds
    // the values where GDAL does or, when their first line starts with
    // "nan", earlier; should it not find them, GDAL reads them.
    if (d->driver == QLatin1String("AAIGrid") && !d->mask && d->cell == Cell::F64) {
        auto esri = std::make_unique<EsriGridBody>();
        if (esri->open(name, d->width, d->height, d->nodata.set, d->nodata.real))
            d->esri = std::move(esri);
    }
    return RasterSource::Opened;
}

void GdalRaster::close()
{
    if (d->dataset) {
        clearMessages();
        GDALClose(d->dataset);
    }
    *d = Private(); // the scratch strips go with the dataset
}

qint64 GdalRaster::width() const
{
    return d->width;
}

qint64 GdalRaster::height() const
{
    return d->height;
}

qint64 GdalRaster::blockHeight() const
{
    if (!d->dataset)
        return 1;
    if (d->blockLines * d->width <= MaxStripCells)
        return d->blockLines;
    // A taller block (one strip for the whole raster): the largest part of it
    // that keeps strips small; GDAL's cache keeps the block between them.
    for (qint64 lines = MaxStripCells / d->width; lines > 1; --lines) {
        if (d->blockLines % lines == 0)
            return lines;
    }
    return 1;
}

QString GdalRaster::driverName() const
{
    return d->driver;
}

bool GdalRaster::outOfMemory() const
{
    return d->outOfMemory;
}

// Whether geo's projection is geographic, and a projected system's units.
void describeProjection(RasterSource::GeoReference &geo)
{
    geo.geographic = false;
    geo.units.clear();
    if (geo.projection.isEmpty())
        return;
    gdal(); // set up, with its silent error handler
    OGRSpatialReferenceH reference = OSRNewSpatialReference(nullptr);
    if (!reference)
        return;
    if (OSRSetFromUserInput(reference, geo.projection.constData()) == OGRERR_NONE) {
        geo.geographic = OSRIsGeographic(reference) != 0;
        if (OSRIsProjected(reference)) {
            char *name = nullptr;
            OSRGetLinearUnits(reference, &name);
            geo.units = name ? QByteArray(name) : QByteArray();
        }
    }
    OSRDestroySpatialReference(reference);
}

RasterSource::GeoReference GdalRaster::geoReference() const
{
    RasterSource::GeoReference geo;
    if (!d->dataset)
        return geo;
    if (const char *wkt = GDALGetProjectionRef(d->dataset))
        geo.projection = wkt;
    geo.hasTransform = GDALGetGeoTransform(d->dataset, geo.transform) == CE_None;
    describeProjection(geo);
    return geo;
}

bool GdalRaster::Private::checkRead(qint64 firstLine, qint64 lineCount, qint64 columns, const void *out,
                                      QString *errorString) const
{
    if (!dataset) {
        setError(errorString, tr("no raster is open"));
        return false;
    }
    if (firstLine < 0 || lineCount < 0 || firstLine > height || lineCount > height - firstLine || columns < 0
        || columns > width || (lineCount > 0 && columns > 0 && !out)) {
        setError(errorString, tr("%1 lines from line %2, %3 columns each, lie outside the raster of %4 x %5 cells")
                                      .arg(lineCount).arg(firstLine).arg(columns).arg(width).arg(height));
        return false;
    }
    return true;
}

template <typename Take>
CPLErr GdalRaster::Private::readBlocks(qint64 firstLine, qint64 rowStart, qint64 rowEnd, qint64 columns, Take &take)
{
    const qint64 blockBytes = qint64(blockX) * blockY * cellBytes;
    const qint64 blocksInRow = (columns + blockX - 1) / blockX;
    const qint64 blockRow = rowStart / blockY;
    const qint64 blockTop = blockRow * blockY;
    const qint64 skip = rowStart - blockTop; // lines of the block above rowStart
    const auto decode = [&](qint64 first, qint64 count, unsigned char *to) {
        for (qint64 b = 0; b < count; ++b) {
            if (const CPLErr err = GDALReadBlock(band, int(first + b), int(blockRow), to + b * blockBytes);
                err != CE_None) {
                // Where, as GDAL's own reading through its cache says it.
                CPLError(CE_Failure, CPLE_AppDefined, "IReadBlock failed at X offset %d, Y offset %d", int(first + b),
                         int(blockRow));
                return err;
            }
        }
        return CE_None;
    };
    // Room for n bytes of blocks, or GDAL's own failure for want of memory.
    const auto room = [](std::vector<unsigned char> &blocks, qint64 n) {
        try {
            if (qint64(blocks.size()) < n)
                blocks.resize(size_t(n));
            return true;
        } catch (const std::bad_alloc &) {
            CPLError(CE_Failure, CPLE_OutOfMemory, "Cannot allocate %lld bytes for a row's blocks", (long long)n);
            return false;
        }
    };
    // Blocks side by side from `first`, each taken while it is in cache.
    const auto takeBlocks = [&](qint64 first, qint64 count, const unsigned char *blocks) {
        for (qint64 b = 0; b < count; ++b) {
            const qint64 col = (first + b) * blockX;
            take(blocks + b * blockBytes + skip * blockX * cellBytes, qint64(blockX), nullptr, rowStart - firstLine,
                 col, rowEnd - rowStart, std::min<qint64>(blockX, columns - col));
        }
    };
    // The whole block row, a few blocks at a time. Or part of it (strips
    // shorter than the blocks, or a band that begins or ends inside them):
    // the row's blocks decoded once and held for its other parts, unless the
    // row is too large to hold, then decoded again for each part.
    const qint64 group = std::clamp<qint64>(BlockGroupBytes / blockBytes, 1, blocksInRow);
    const bool whole = skip == 0 && rowEnd == std::min(height, blockTop + blockY);
    if (whole || blocksInRow * blockBytes > HeldRowBytes) {
        if (!room(blockScratch, group * blockBytes))
            return CE_Failure;
        for (qint64 first = 0; first < blocksInRow; first += group) {
            const qint64 count = std::min(group, blocksInRow - first);
            if (const CPLErr err = decode(first, count, blockScratch.data()); err != CE_None)
                return err;
            takeBlocks(first, count, blockScratch.data());
        }
        return CE_None;
    }
    if (heldBlockRow != blockRow || heldColumns < columns) {
        heldBlockRow = -1;
        if (!room(heldRow, blocksInRow * blockBytes))
            return CE_Failure;
        if (const CPLErr err = decode(0, blocksInRow, heldRow.data()); err != CE_None)
            return err;
        heldBlockRow = blockRow;
        heldColumns = columns;
    }
    takeBlocks(0, blocksInRow, heldRow.data());
    return CE_None;
}

template <typename Take>
bool GdalRaster::Private::readWindows(qint64 firstLine, qint64 lineCount, qint64 columns, Take &&take,
                                        const Into *into, QString *errorString)
{
    outOfMemory = false;
    if (lineCount == 0 || columns == 0)
        return true;
    const bool toScratch = !into;
    const qint64 end = firstLine + lineCount;
    // Window shape: whole block rows where they fit the scratch strip, else
    // fewer lines, and where even one line does not fit, columns in runs of
    // whole blocks.
    const qint64 cellCost = (toScratch ? cellBytes : 0) + (mask ? 1 : 0);
    qint64 windowColumns = columns;
    if (cellCost > 0 && columns * cellCost > ScratchBytes) {
        windowColumns = std::max<qint64>(1, ScratchBytes / cellCost);
        if (windowColumns >= blockWidth)
            windowColumns -= windowColumns % blockWidth;
    }
    const qint64 windowLines = cellCost > 0 ? std::max<qint64>(1, ScratchBytes / (windowColumns * cellCost)) : blockLines;
    if (toScratch && mask) // without a mask, blocks are read whole (readBlocks())
        scratch.resize(size_t(std::min(windowLines, blockLines) * windowColumns * cellBytes));
    if (mask)
        maskScratch.resize(size_t(std::min(windowLines, blockLines) * windowColumns));

    clearMessages();
    for (qint64 rowStart = firstLine; rowStart < end;) {
        const qint64 rowEnd = std::min(end, (rowStart / blockLines + 1) * blockLines);
        if (!mask) {
            if (readBlocks(firstLine, rowStart, rowEnd, columns, take) != CE_None || hasFailure()) {
                outOfMemory = threadMessages.outOfMemory;
                const QString reason = gdalReason();
                setError(errorString, !reason.isEmpty()
                                 ? reason
                                 : tr("GDAL could not read lines %1 to %2").arg(rowStart).arg(rowEnd));
                return false;
            }
            rowStart = rowEnd;
            continue;
        }
        for (qint64 col = 0; col < columns; col += windowColumns) {
            const qint64 w = std::min(windowColumns, columns - col);
            for (qint64 line = rowStart; line < rowEnd; line += windowLines) {
                const qint64 h = std::min(windowLines, rowEnd - line);
                CPLErr err = CE_None;
                const void *src = nullptr;
                if (toScratch) {
                    err = GDALRasterIOEx(band, GF_Read, int(col), int(line), int(w), int(h), scratch.data(), int(w),
                                         int(h), readType, cellBytes, GSpacing(w) * cellBytes, nullptr);
                    src = scratch.data();
                } else {
                    err = GDALRasterIOEx(band, GF_Read, int(col), int(line), int(w), int(h),
                                         into->base + (line - firstLine) * into->stride + col * cellBytes, int(w),
                                         int(h), readType, cellBytes, GSpacing(into->stride), nullptr);
                }
                if (err == CE_None && mask) {
                    err = GDALRasterIOEx(mask, GF_Read, int(col), int(line), int(w), int(h), maskScratch.data(),
                                         int(w), int(h), GDT_Byte, 1, GSpacing(w), nullptr);
                }
                if (err != CE_None || hasFailure()) {
                    outOfMemory = threadMessages.outOfMemory;
                    const QString reason = gdalReason();
                    setError(errorString, !reason.isEmpty() ? reason
                                                            : tr("GDAL could not read lines %1 to %2").arg(line).arg(line + h));
                    return false;
                }
                take(src, w, mask ? maskScratch.data() : nullptr, line - firstLine, col, h, w);
            }
        }
        rowStart = rowEnd;
    }
    return true;
}

bool GdalRaster::readHabitat(qint64 firstLine, qint64 lineCount, qint64 columns, const CoverSet &cover, qint8 *out,
                             QString *errorString)
{
    if (!d->checkRead(firstLine, lineCount, columns, out, errorString))
        return false;
    if (cover.isEach()) {
        setError(errorString, tr("habitat is read for a cover of class values, not for each class"));
        return false;
    }
    if (d->esri)
        return lineCount == 0 || columns == 0 || d->esri->readHabitat(firstLine, lineCount, columns, cover, out, errorString);

    const auto applyMask = [columns, out](const quint8 *mask, qint64 line, qint64 col, qint64 h, qint64 w) {
        if (!mask)
            return;
        for (qint64 r = 0; r < h; ++r) {
            qint8 *o = out + (line + r) * columns + col;
            const quint8 *m = mask + r * w;
            for (qint64 i = 0; i < w; ++i)
                o[i] = m[i] ? o[i] : CellCode::NoValue;
        }
    };
    const auto run = [&](auto tag) {
        using T = typename decltype(tag)::T;
        const bool hasNodata = d->nodata.set;
        const T nodata = nodataAs<T>(d->nodata);
        if constexpr (sizeof(T) == 1) {
            // Byte cells are turned into codes as they are taken from the
            // blocks (with a mask band, read straight into the caller's
            // buffer and turned there), through the table of all 256.
            const Private::Into into{reinterpret_cast<unsigned char *>(out), columns};
            const qint8 *codes = d->codesFor<T>(cover);
            const ByteCover byteCover(codes);
            const bool compare = byteCover.compare;
            return d->readWindows(
                    firstLine, lineCount, columns,
                    [&](const void *src, qint64 stride, const quint8 *mask, qint64 line, qint64 col, qint64 h,
                        qint64 w) {
                        for (qint64 r = 0; r < h; ++r) {
                            qint8 *o = out + (line + r) * columns + col;
                            const quint8 *from = src ? static_cast<const quint8 *>(src) + r * stride
                                                     : reinterpret_cast<const quint8 *>(o);
                            if (compare) {
                                // Locals: the cells may alias anything the lambda refers to.
                                const quint8 hv = byteCover.habitatValue, nv = byteCover.noValue,
                                             hb = byteCover.habitatBit, nb = byteCover.noValueBit;
                                for (qint64 i = 0; i < w; ++i) {
                                    const quint8 v = from[i];
                                    o[i] = qint8(quint8(v == hv) & hb) - qint8(quint8(v == nv) & nb);
                                }
                            } else {
                                for (qint64 i = 0; i < w; ++i)
                                    o[i] = codes[from[i]];
                            }
                        }
                        applyMask(mask, line, col, h, w);
                    },
                    &into, errorString);
        } else if constexpr (hasCodeTable<T>) {
            const qint8 *codes = d->codesFor<T>(cover);
            return d->readWindows(
                    firstLine, lineCount, columns,
                    [&](const void *src, qint64 stride, const quint8 *mask, qint64 line, qint64 col, qint64 h,
                        qint64 w) {
                        const T *cells = static_cast<const T *>(src);
                        for (qint64 r = 0; r < h; ++r) {
                            const T *from = cells + r * stride;
                            qint8 *o = out + (line + r) * columns + col;
                            for (qint64 i = 0; i < w; ++i)
                                o[i] = codes[TableIndex<T>(from[i])];
                        }
                        applyMask(mask, line, col, h, w);
                    },
                    nullptr, errorString);
        } else {
            return d->readWindows(
                    firstLine, lineCount, columns,
                    [&](const void *src, qint64 stride, const quint8 *mask, qint64 line, qint64 col, qint64 h,
                        qint64 w) {
                        const T *cells = static_cast<const T *>(src);
                        for (qint64 r = 0; r < h; ++r)
                            habitatLine(cells + r * stride, out + (line + r) * columns + col, w, cover, hasNodata,
                                        nodata);
                        applyMask(mask, line, col, h, w);
                    },
                    nullptr, errorString);
        }
    };
    return withCellType(d->cell, run);
}

bool GdalRaster::readHabitatBits(qint64 firstLine, qint64 lineCount, qint64 columns, const CoverSet &cover,
                                 quint64 *bits, bool *handled, QString *errorString)
{
    // Byte cells without a mask band, under a cover that compares, in
    // blocks that begin on a word: the bits straight from GDAL's blocks.
    *handled = false;
    if (!d->dataset || d->esri || d->mask || d->cell != Cell::U8 || cover.isEach()
        || (d->blockX % 64 != 0 && d->blockX < columns))
        return false;
    const ByteCover byteCover(d->codesFor<quint8>(cover));
    if (!byteCover.compare)
        return false;
    *handled = true;
    if (!d->checkRead(firstLine, lineCount, columns, bits, errorString))
        return false;
    const qint64 words = CoverBits::wordsFor(columns);
    return d->readWindows(
            firstLine, lineCount, columns,
            [&](const void *src, qint64 stride, const quint8 *, qint64 line, qint64 col, qint64 h, qint64 w) {
                byteCoverBits(static_cast<const quint8 *>(src), stride, h, w, byteCover,
                              bits + 2 * line * words + col / 64, words);
            },
            nullptr, errorString);
}

bool GdalRaster::readValues(qint64 firstLine, qint64 lineCount, qint64 columns, qint32 *values, quint8 *present,
                              QString *errorString)
{
    if (!d->checkRead(firstLine, lineCount, columns, values, errorString)
        || !d->checkRead(firstLine, lineCount, columns, present, errorString))
        return false;
    if (d->esri) {
        return lineCount == 0 || columns == 0
                || d->esri->readValues(firstLine, lineCount, columns, values, present, errorString);
    }

    const auto applyMask = [columns, values, present](const quint8 *mask, qint64 line, qint64 col, qint64 h, qint64 w) {
        maskValues(mask, values, present, columns, line, col, h, w);
    };
    const auto run = [&](auto tag) {
        using T = typename decltype(tag)::T;
        const bool hasNodata = d->nodata.set;
        const T nodata = nodataAs<T>(d->nodata);
        if constexpr (std::is_same_v<T, qint32>) {
            // Int32 cells are the values (with a mask band, read straight
            // into the caller's values).
            const Private::Into into{reinterpret_cast<unsigned char *>(values), columns * 4};
            return d->readWindows(
                    firstLine, lineCount, columns,
                    [&](const void *src, qint64 stride, const quint8 *mask, qint64 line, qint64 col, qint64 h,
                        qint64 w) {
                        for (qint64 r = 0; r < h; ++r) {
                            qint32 *v = values + (line + r) * columns + col;
                            const qint32 *from = src ? static_cast<const qint32 *>(src) + r * stride : v;
                            valueLine(from, v, present + (line + r) * columns + col, w, hasNodata, nodata);
                        }
                        applyMask(mask, line, col, h, w);
                    },
                    &into, errorString);
        } else {
            return d->readWindows(
                    firstLine, lineCount, columns,
                    [&](const void *src, qint64 stride, const quint8 *mask, qint64 line, qint64 col, qint64 h,
                        qint64 w) {
                        const T *cells = static_cast<const T *>(src);
                        for (qint64 r = 0; r < h; ++r) {
                            valueLine(cells + r * stride, values + (line + r) * columns + col,
                                      present + (line + r) * columns + col, w, hasNodata, nodata);
                        }
                        applyMask(mask, line, col, h, w);
                    },
                    nullptr, errorString);
        }
    };
    return withCellType(d->cell, run);
}

bool GdalRaster::valuesAreBytes() const
{
    return d->dataset && !d->esri && d->cell == Cell::U8;
}

// Byte cells are their values, read straight into the caller's values.
bool GdalRaster::readByteValues(qint64 firstLine, qint64 lineCount, qint64 columns, quint8 *values, quint8 *present,
                                QString *errorString)
{
    if (!d->checkRead(firstLine, lineCount, columns, values, errorString)
        || !d->checkRead(firstLine, lineCount, columns, present, errorString))
        return false;
    if (!valuesAreBytes()) {
        setError(errorString, tr("the raster's values are not bytes"));
        return false;
    }
    const bool hasNodata = d->nodata.set;
    const quint8 nodata = nodataAs<quint8>(d->nodata);
    const Private::Into into{values, columns};
    return d->readWindows(
            firstLine, lineCount, columns,
            [&](const void *src, qint64 stride, const quint8 *mask, qint64 line, qint64 col, qint64 h, qint64 w) {
                for (qint64 r = 0; r < h; ++r) {
                    quint8 *v = values + (line + r) * columns + col;
                    const quint8 *from = src ? static_cast<const quint8 *>(src) + r * stride : v;
                    valueLine(from, v, present + (line + r) * columns + col, w, hasNodata, nodata);
                }
                maskValues(mask, values, present, columns, line, col, h, w);
            },
            &into, errorString);
}

namespace {

QStringList excludedDrivers()
{
    QStringList out;
    for (const Excluded &e : excludedList)
        out << QLatin1String(e.name) + QLatin1String(": ") + QLatin1String(e.reason);
    return out;
}

QString gdalVersion()
{
    gdal();
    return QString::fromLatin1(GDALVersionInfo("RELEASE_NAME"));
}

RasterDataset *createDataset()
{
    return new GdalRaster;
}

// The writer of the maps Vantrix makes: a tiled, DEFLATE-compressed GeoTIFF,
// BigTIFF when it may pass 4 GB.
class GdalWriter : public RasterWriterBackend
{
public:
    ~GdalWriter() override { close(nullptr); }

    bool create(const QByteArray &path, qint64 width, qint64 height, int bands, RasterSource::Writer::Type type,
                const RasterSource::GeoReference &geo, QString *errorString) override
    {
        gdal();
        clearMessages();
        GDALDriverH driver = GDALGetDriverByName("GTiff");
        switch (type) {
        case RasterSource::Writer::Byte: m_type = GDT_Byte; break;
        case RasterSource::Writer::UInt32: m_type = GDT_UInt32; break;
        case RasterSource::Writer::UInt64: m_type = GDT_UInt64; break;
        case RasterSource::Writer::Float32: m_type = GDT_Float32; break;
        case RasterSource::Writer::Float64: m_type = GDT_Float64; break;
        }
        m_width = width;
        m_height = height;
        if (width < 1 || height < 1 || width > std::numeric_limits<int>::max() || height > std::numeric_limits<int>::max()) {
            setError(errorString, tr("a raster of %1 x %2 cells cannot be written").arg(width).arg(height));
            return false;
        }
        // Bands one after the other (a band is written whole, once), in
        // tiles of 256 x 256; a raster narrower or lower than a tile in strips
        // of about a megabyte instead, so that a map of one column is not
        // padded to 256 columns (each written band would recompress them all).
        const bool tiled = width >= 256 && height >= 256;
        const qint64 stripRows = std::clamp<qint64>((qint64(1) << 20) / (width * GDALGetDataTypeSizeBytes(m_type)), 1,
                                                    height);
        const QByteArray rowsPerStrip = "BLOCKYSIZE=" + QByteArray::number(stripRows);
        // DEFLATE at its fastest level: maps of patches compress well anyway,
        // and the default level costs several times the search.
        const char *tiledOptions[] = {"TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256", "COMPRESS=DEFLATE", "ZLEVEL=1",
                                      "INTERLEAVE=BAND", "BIGTIFF=IF_SAFER", nullptr};
        const char *stripOptions[] = {"TILED=NO", rowsPerStrip.constData(), "COMPRESS=DEFLATE", "ZLEVEL=1",
                                      "INTERLEAVE=BAND", "BIGTIFF=IF_SAFER", nullptr};
        m_dataset = driver ? GDALCreate(driver, path.constData(), int(width), int(height), bands, m_type,
                                        const_cast<char **>(tiled ? tiledOptions : stripOptions))
                           : nullptr;
        if (!m_dataset) {
            setError(errorString, gdalReason());
            return false;
        }
        if (geo.hasTransform)
            GDALSetGeoTransform(m_dataset, const_cast<double *>(geo.transform));
        if (!geo.projection.isEmpty())
            GDALSetProjection(m_dataset, geo.projection.constData());
        return true;
    }

    void describeBand(int band, const QString &description, bool hasNodata, double nodata) override
    {
        if (!m_dataset)
            return;
        GDALRasterBandH handle = GDALGetRasterBand(m_dataset, band);
        if (!handle)
            return;
        GDALSetDescription(handle, description.toUtf8().constData());
        if (hasNodata)
            GDALSetRasterNoDataValue(handle, nodata);
    }

    bool write(int band, qint64 firstRow, qint64 rows, const void *values, QString *errorString) override
    {
        GDALRasterBandH handle = m_dataset ? GDALGetRasterBand(m_dataset, band) : nullptr;
        if (!handle || firstRow < 0 || rows < 0 || firstRow + rows > m_height) {
            setError(errorString, tr("rows %1 to %2 of band %3 lie outside the raster").arg(firstRow).arg(firstRow + rows).arg(band));
            return false;
        }
        clearMessages();
        if (GDALRasterIO(handle, GF_Write, 0, int(firstRow), int(m_width), int(rows), const_cast<void *>(values),
                         int(m_width), int(rows), m_type, 0, 0)
                    != CE_None
            || hasFailure()) {
            setError(errorString, gdalReason());
            return false;
        }
        return true;
    }

    bool close(QString *errorString) override
    {
        if (!m_dataset)
            return false;
        clearMessages();
        GDALFlushCache(m_dataset);
        bool ok = !hasFailure();
        GDALClose(m_dataset);
        m_dataset = nullptr;
        ok = ok && !hasFailure();
        if (!ok)
            setError(errorString, gdalReason());
        return ok;
    }

private:
    GDALDatasetH m_dataset = nullptr;
    GDALDataType m_type = GDT_Byte;
    qint64 m_width = 0;
    qint64 m_height = 0;
};

RasterWriterBackend *createWriter()
{
    return new GdalWriter;
}

// A square of cells as a Byte GeoTIFF (DEFLATE), at path as it is: the
// caller makes it take its place.
bool writeGeoTiff(const QByteArray &path, const qint8 *cells, qint64 size, QString *errorString)
{
    gdal();
    clearMessages();
    GDALDriverH driver = GDALGetDriverByName("GTiff");
    const char *options[] = {"COMPRESS=DEFLATE", nullptr};
    GDALDatasetH dataset = driver ? GDALCreate(driver, path.constData(), int(size), int(size), 1, GDT_Byte,
                                               const_cast<char **>(options))
                                  : nullptr;
    bool ok = dataset != nullptr;
    if (ok) {
        GDALRasterBandH band = GDALGetRasterBand(dataset, 1);
        ok = GDALRasterIO(band, GF_Write, 0, 0, int(size), int(size), const_cast<qint8 *>(cells), int(size),
                          int(size), GDT_Byte, 0, 0)
                == CE_None;
    }
    if (dataset) {
        GDALFlushCache(dataset);
        ok = ok && !hasFailure();
        GDALClose(dataset);
        ok = ok && !hasFailure();
    }
    if (!ok)
        setError(errorString, gdalReason());
    return ok;
}

} // namespace

extern "C" Q_DECL_EXPORT const RasterBackend *vantrixRasterBackend()
{
    static const RasterBackend backend{createDataset, excludedDrivers, gdalVersion, writeGeoTiff, createWriter,
                                       [](RasterSource::FatalHandler handler) { fatalHandler = handler; },
                                       describeProjection};
    return &backend;
}
