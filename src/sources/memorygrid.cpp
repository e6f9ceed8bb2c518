#include "memorygrid.h"

#include "cellcodes.h"
#include "cellvalue.h"
#include "rasterbackend.h"

#include <QCoreApplication>

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MemoryGrid", text);
}

template <typename T>
bool nodataFits(double nodata)
{
    if constexpr (std::is_floating_point_v<T>)
        return true;
    else
        return nodata == std::floor(nodata) && nodata >= double(std::numeric_limits<T>::min())
                && nodata <= double(std::numeric_limits<T>::max());
}

template <typename F>
decltype(auto) withType(MemoryGrid::Type type, F &&f)
{
    switch (type) {
    case MemoryGrid::Int8: return f(qint8());
    case MemoryGrid::UInt8: return f(quint8());
    case MemoryGrid::Int16: return f(qint16());
    case MemoryGrid::UInt16: return f(quint16());
    case MemoryGrid::Int32: return f(qint32());
    case MemoryGrid::UInt32: return f(quint32());
    case MemoryGrid::Int64: return f(qint64());
    case MemoryGrid::UInt64: return f(quint64());
    case MemoryGrid::Float32: return f(float());
    case MemoryGrid::Float64: return f(double());
    }
    return f(qint32());
}

// The grid as a raster dataset: every read converts its cells in place.
class MemoryDataset : public RasterDataset
{
public:
    explicit MemoryDataset(std::shared_ptr<const MemoryGrid> grid)
        : m_grid(std::move(grid))
    {
    }

    RasterSource::OpenResult open(const QByteArray &, bool, int, QString *) override { return RasterSource::Opened; }
    void close() override {}
    qint64 width() const override { return m_grid->columns; }
    qint64 height() const override { return m_grid->rows; }
    qint64 blockHeight() const override { return 1; }
    QString driverName() const override { return QStringLiteral("memory"); }
    bool outOfMemory() const override { return false; }
    RasterSource::GeoReference geoReference() const override { return m_grid->geo; }

    bool readHabitat(qint64 firstLine, qint64 lineCount, qint64 columns, const CoverSet &cover, qint8 *out,
                     QString *errorString) override
    {
        if (!check(firstLine, lineCount, columns, cover.isEach(), errorString))
            return false;
        if (cover.isSingle()) {
            const qint32 single = cover.single();
            read(firstLine, lineCount, columns, [&](qint64 i, bool has, qint32 value) {
                out[i] = !has ? CellCode::NoValue : value == single ? CellCode::Habitat : CellCode::Matrix;
            });
        } else {
            read(firstLine, lineCount, columns, [&](qint64 i, bool has, qint32 value) {
                out[i] = !has ? CellCode::NoValue : cover.contains(value) ? CellCode::Habitat : CellCode::Matrix;
            });
        }
        return true;
    }

    bool readValues(qint64 firstLine, qint64 lineCount, qint64 columns, qint32 *values, quint8 *present,
                    QString *errorString) override
    {
        if (!check(firstLine, lineCount, columns, false, errorString))
            return false;
        read(firstLine, lineCount, columns, [&](qint64 i, bool has, qint32 value) {
            values[i] = has ? value : 0;
            present[i] = has ? 1 : 0;
        });
        return true;
    }

private:
    bool check(qint64 firstLine, qint64 lineCount, qint64 columns, bool each, QString *errorString) const
    {
        const MemoryGrid &g = *m_grid;
        if (firstLine < 0 || lineCount < 0 || firstLine > g.rows || lineCount > g.rows - firstLine || columns < 0
            || columns > g.columns || each) {
            if (errorString)
                *errorString = each ? tr("each class is read as values") : tr("rows or columns outside the grid");
            return false;
        }
        return true;
    }

    // to(i, has, value) for each cell of the lines, i counting row-major.
    // Lines of adjacent cells without a mask (a C-contiguous array) take a
    // loop of their own, which the compiler can unroll.
    template <typename To>
    void read(qint64 firstLine, qint64 lineCount, qint64 columns, To &&to) const
    {
        const MemoryGrid &g = *m_grid;
        withType(g.type, [&](auto zero) {
            using T = decltype(zero);
            const auto cells = [&](auto adjacent, auto masked, auto withNodata) {
                const T nodata = withNodata ? T(*g.nodata) : T();
                const auto *base = static_cast<const char *>(g.data);
                for (qint64 r = 0; r < lineCount; ++r) {
                    const char *line = base + (firstLine + r) * g.rowStride;
                    const quint8 *mask = masked ? g.mask + (firstLine + r) * g.maskRowStride : nullptr;
                    const qint64 at = r * columns;
                    for (qint64 c = 0; c < columns; ++c) {
                        T v;
                        std::memcpy(&v, line + c * (adjacent ? qint64(sizeof(T)) : g.columnStride), sizeof v);
                        qint32 value = 0;
                        bool has = toInt32(v, value);
                        if constexpr (decltype(withNodata)::value)
                            has = has && !(v == nodata);
                        if constexpr (decltype(masked)::value)
                            has = has && !mask[c * g.maskColumnStride];
                        to(at + c, has, value);
                    }
                }
            };
            using Yes = std::true_type;
            using No = std::false_type;
            if (g.mask)
                g.nodata ? cells(No(), Yes(), Yes()) : cells(No(), Yes(), No());
            else if (g.columnStride == qint64(sizeof(T)))
                g.nodata ? cells(Yes(), No(), Yes()) : cells(Yes(), No(), No());
            else
                g.nodata ? cells(No(), No(), Yes()) : cells(No(), No(), No());
            return 0;
        });
    }

    std::shared_ptr<const MemoryGrid> m_grid;
};

} // namespace

qint64 MemoryGrid::bytesOf(Type type)
{
    return withType(type, [](auto zero) { return qint64(sizeof zero); });
}

QString MemoryGrid::refusal() const
{
    if (rows < 0 || columns < 0 || rows > std::numeric_limits<qint32>::max()
        || columns > std::numeric_limits<qint32>::max())
        return tr("a grid of %1 x %2 cells cannot be read").arg(rows).arg(columns);
    if (rows > 0 && columns > 0 && !data)
        return tr("the grid has no cells to read");
    if (nodata && !withType(type, [this](auto zero) { return nodataFits<decltype(zero)>(*nodata); }))
        return tr("the nodata value %1 is not a value of the grid's type").arg(*nodata, 0, 'g', 17);
    return QString();
}

std::unique_ptr<RasterDataset> makeMemoryDataset(std::shared_ptr<const MemoryGrid> grid)
{
    return std::make_unique<MemoryDataset>(std::move(grid));
}
