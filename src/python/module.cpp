// vantrix._vantrix: the engine's calls (Calls) for Python. The arguments come
// already sorted out by vantrix/__init__.py: landscapes as a list of paths
// (bytes) or one array with its mask, nodata and georeference; options as
// (name, value) pairs of text. Tables come back as {name: column}, columns
// as NumPy arrays (integers, reals) or lists of bytes (texts), with the
// notes as a list of str; __init__.py makes data frames and warnings of them.
// Python's headers before Qt's, whose "slots" they use as a name.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "calls.h"
#include "systemmemory.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

namespace py = pybind11;

namespace {

QString qstring(const std::string &text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

Calls::Options optionsOf(const std::vector<std::pair<std::string, std::string>> &options)
{
    Calls::Options out;
    for (const auto &[name, value] : options)
        out.emplace_back(qstring(name), qstring(value));
    return out;
}

py::list notesOf(const Calls::Notes &notes)
{
    py::list out;
    for (const QString &note : notes)
        out.append(py::str(note.toStdString()));
    return out;
}

MemoryGrid::Type typeOf(const py::dtype &dtype)
{
    const char kind = dtype.kind();
    const auto size = dtype.itemsize();
    if (kind == 'i' || kind == 'u') {
        const bool u = kind == 'u';
        switch (size) {
        case 1: return u ? MemoryGrid::UInt8 : MemoryGrid::Int8;
        case 2: return u ? MemoryGrid::UInt16 : MemoryGrid::Int16;
        case 4: return u ? MemoryGrid::UInt32 : MemoryGrid::Int32;
        case 8: return u ? MemoryGrid::UInt64 : MemoryGrid::Int64;
        default: break;
        }
    } else if (kind == 'f') {
        if (size == 4)
            return MemoryGrid::Float32;
        if (size == 8)
            return MemoryGrid::Float64;
    }
    throw py::value_error("an array of " + dtype.attr("name").cast<std::string>() +
                          " cannot be a landscape: its values must be integers (or floating-point numbers)");
}

// The landscapes of a call: paths, or the array (read in place: the caller
// keeps it alive and unchanged until the call returns).
Calls::Landscapes landscapesOf(const py::object &paths, const py::object &array, const py::object &mask,
                               const py::object &nodata, const py::object &projection, const py::object &transform)
{
    Calls::Landscapes landscapes;
    if (!paths.is_none()) {
        for (const py::handle path : paths)
            landscapes.paths << QByteArray::fromStdString(path.cast<std::string>());
        return landscapes;
    }
    const auto values = py::reinterpret_borrow<py::array>(array);
    if (values.ndim() != 2)
        throw py::value_error("a landscape array must have 2 dimensions (rows, columns)");
    if (!values.dtype().attr("isnative").cast<bool>())
        throw py::value_error("a landscape array must be in the machine's byte order");
    auto grid = std::make_shared<MemoryGrid>();
    grid->type = typeOf(values.dtype());
    grid->data = values.data();
    grid->rows = values.shape(0);
    grid->columns = values.shape(1);
    grid->rowStride = values.strides(0);
    grid->columnStride = values.strides(1);
    if (!mask.is_none()) {
        const auto masked = py::reinterpret_borrow<py::array>(mask);
        if (masked.ndim() != 2 || masked.shape(0) != grid->rows || masked.shape(1) != grid->columns ||
            masked.itemsize() != 1)
            throw py::value_error("the mask must be an array of bool of the landscape's shape");
        grid->mask = static_cast<const quint8 *>(masked.data());
        grid->maskRowStride = masked.strides(0);
        grid->maskColumnStride = masked.strides(1);
    }
    if (!nodata.is_none())
        grid->nodata = nodata.cast<double>();
    if (!projection.is_none())
        grid->geo.projection = QByteArray::fromStdString(projection.cast<std::string>());
    if (!transform.is_none()) {
        const auto numbers = transform.cast<std::vector<double>>();
        if (numbers.size() != 6)
            throw py::value_error("a geotransform has 6 numbers");
        grid->geo.hasTransform = true;
        std::copy(numbers.begin(), numbers.end(), grid->geo.transform);
    }
    landscapes.grid = grid;
    return landscapes;
}

py::dict columnsOf(const TableColumns &table)
{
    py::dict out;
    for (const TableColumns::Column &column : table.columns()) {
        const py::str name(column.name.toStdString());
        if (column.kind == TableColumns::Integer) {
            out[name] = py::array_t<qint64>(py::ssize_t(column.integers.size()), column.integers.data());
        } else if (column.kind == TableColumns::Real) {
            out[name] = py::array_t<double>(py::ssize_t(column.reals.size()), column.reals.data());
        } else {
            py::list texts;
            for (const QByteArray &text : column.texts)
                texts.append(py::bytes(text.constData(), size_t(text.size())));
            out[name] = texts;
        }
    }
    return out;
}

using Table = TableColumns (*)(const Calls::Landscapes &, const Calls::Options &, Calls::Notes &);

py::tuple table(Table call, const py::object &paths, const py::object &array, const py::object &mask,
                const py::object &nodata, const py::object &projection, const py::object &transform,
                const std::vector<std::pair<std::string, std::string>> &options)
{
    const Calls::Landscapes landscapes = landscapesOf(paths, array, mask, nodata, projection, transform);
    const Calls::Options asked = optionsOf(options);
    Calls::Notes notes;
    std::optional<TableColumns> columns;
    {
        py::gil_scoped_release released;
        columns.emplace(call(landscapes, asked, notes));
    }
    return py::make_tuple(columnsOf(*columns), notesOf(notes));
}

// A map the engine fills, in memory of our own (the engine's threads cannot
// make Python objects); it becomes the NumPy array's memory afterwards.
struct Map
{
    std::unique_ptr<char, void (*)(void *)> cells{nullptr, std::free};
    qint64 rows = 0;
    qint64 columns = 0;
    bool wide = false;
};

template <typename T>
py::array arrayOf(Map &map)
{
    T *cells = reinterpret_cast<T *>(map.cells.release());
    // No value: the type's largest value in the engine's map, 0 (not a
    // patch) here.
    const size_t count = size_t(map.rows * map.columns);
    for (size_t i = 0; i < count; ++i) {
        if (cells[i] == std::numeric_limits<T>::max())
            cells[i] = 0;
    }
    py::capsule owner(cells, [](void *p) { std::free(p); });
    return py::array_t<T>({py::ssize_t(map.rows), py::ssize_t(map.columns)}, cells, owner);
}

py::tuple label(const py::object &paths, const py::object &array, const py::object &mask, const py::object &nodata,
                const py::object &projection, const py::object &transform,
                const std::vector<std::pair<std::string, std::string>> &options)
{
    const Calls::Landscapes landscapes = landscapesOf(paths, array, mask, nodata, projection, transform);
    const Calls::Options asked = optionsOf(options);
    Calls::Notes notes;
    std::mutex lock;
    std::map<std::optional<qint32>, Map> maps;
    {
        py::gil_scoped_release released;
        Calls::label(
                landscapes, asked,
                [&](std::optional<qint32> coverClass, qint64 rows, qint64 columns, bool wide) -> void * {
                    Map map;
                    map.rows = rows;
                    map.columns = columns;
                    map.wide = wide;
                    map.cells.reset(static_cast<char *>(
                            SystemMemory::allocateLarge(size_t(rows * columns) * (wide ? 8 : 4))));
                    if (!map.cells)
                        throw std::bad_alloc();
                    void *cells = map.cells.get();
                    const std::lock_guard<std::mutex> held(lock);
                    maps[coverClass] = std::move(map);
                    return cells;
                },
                notes);
    }
    py::dict out;
    for (auto &[coverClass, map] : maps) {
        const py::object key = coverClass ? py::object(py::int_(*coverClass)) : py::object(py::none());
        out[key] = map.wide ? arrayOf<quint64>(map) : arrayOf<quint32>(map);
    }
    return py::make_tuple(out, notesOf(notes));
}

py::tuple percolates(const py::object &paths, const py::object &array, const py::object &mask,
                     const py::object &nodata, const py::object &projection, const py::object &transform,
                     const std::vector<std::pair<std::string, std::string>> &options)
{
    const Calls::Landscapes landscapes = landscapesOf(paths, array, mask, nodata, projection, transform);
    const Calls::Options asked = optionsOf(options);
    Calls::Notes notes;
    std::vector<bool> answers;
    {
        py::gil_scoped_release released;
        answers = Calls::percolates(landscapes, asked, notes);
    }
    py::list out;
    for (const bool answer : answers)
        out.append(py::bool_(answer));
    return py::make_tuple(out, notesOf(notes));
}

py::array generate(const std::vector<std::pair<std::string, std::string>> &options, qint64 replicate)
{
    const Calls::Options asked = optionsOf(options);
    qint64 size = 0;
    std::vector<qint8> cells;
    {
        py::gil_scoped_release released;
        cells = Calls::generate(asked, replicate, size);
    }
    py::array_t<quint8> out({py::ssize_t(size), py::ssize_t(size)});
    std::memcpy(out.mutable_data(), cells.data(), cells.size());
    return out;
}

py::tuple sweep(const std::vector<std::pair<std::string, std::string>> &options)
{
    const Calls::Options asked = optionsOf(options);
    Calls::Notes notes;
    std::optional<Calls::Sweep> result;
    {
        py::gil_scoped_release released;
        result.emplace(Calls::sweep(asked, notes));
    }
    return py::make_tuple(columnsOf(result->table), columnsOf(result->thresholds), notesOf(notes));
}

} // namespace

PYBIND11_MODULE(_vantrix, m)
{
    m.doc() = "The Vantrix engine's calls; use the vantrix package, which wraps them.";
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown)
                std::rethrow_exception(thrown);
        } catch (const Calls::Error &e) {
            switch (e.kind()) {
            case Calls::Error::Usage: PyErr_SetString(PyExc_ValueError, e.what()); break;
            case Calls::Error::File: PyErr_SetString(PyExc_OSError, e.what()); break;
            case Calls::Error::Memory: PyErr_SetString(PyExc_MemoryError, e.what()); break;
            }
        }
    });
    m.def(
            "clusters",
            [](py::object paths, py::object array, py::object mask, py::object nodata, py::object projection,
               py::object transform, const std::vector<std::pair<std::string, std::string>> &options) {
                return table(&Calls::clusters, paths, array, mask, nodata, projection, transform, options);
            },
            py::arg("paths"), py::arg("array"), py::arg("mask"), py::arg("nodata"), py::arg("projection"),
            py::arg("transform"), py::arg("options"));
    m.def(
            "patches",
            [](py::object paths, py::object array, py::object mask, py::object nodata, py::object projection,
               py::object transform, const std::vector<std::pair<std::string, std::string>> &options) {
                return table(&Calls::patches, paths, array, mask, nodata, projection, transform, options);
            },
            py::arg("paths"), py::arg("array"), py::arg("mask"), py::arg("nodata"), py::arg("projection"),
            py::arg("transform"), py::arg("options"));
    // A band's round: searched without the GIL, its bytes.
    using BandCall = QByteArray (*)(const Calls::Landscapes &, const Calls::Options &, qint64, qint64,
                                    const QByteArray &);
    const auto defineBand = [&m](const char *name, BandCall call) {
        m.def(
                name,
                [call](py::object array, py::object mask, py::object nodata, py::object projection,
                       py::object transform, const std::vector<std::pair<std::string, std::string>> &options,
                       qint64 firstRow, qint64 rows, const py::bytes &given) {
                    const Calls::Landscapes landscapes =
                            landscapesOf(py::none(), array, mask, nodata, projection, transform);
                    const Calls::Options asked = optionsOf(options);
                    const std::string parts = given;
                    QByteArray bytes;
                    {
                        py::gil_scoped_release released;
                        bytes = call(landscapes, asked, firstRow, rows,
                                     QByteArray(parts.data(), qsizetype(parts.size())));
                    }
                    return py::bytes(bytes.constData(), size_t(bytes.size()));
                },
                py::arg("array"), py::arg("mask"), py::arg("nodata"), py::arg("projection"), py::arg("transform"),
                py::arg("options"), py::arg("first_row"), py::arg("rows"), py::arg("parts") = py::bytes());
    };
    defineBand("clusters_of_band", [](const Calls::Landscapes &l, const Calls::Options &o, qint64 f, qint64 r,
                                      const QByteArray &) { return Calls::clustersOfBand(l, o, f, r); });
    defineBand("patches_of_band", [](const Calls::Landscapes &l, const Calls::Options &o, qint64 f, qint64 r,
                                     const QByteArray &) { return Calls::patchesOfBand(l, o, f, r); });
    defineBand("patch_distances_of_band", &Calls::patchDistancesOfBand);
    const auto bytesOf = [](const std::vector<std::string> &bands) {
        std::vector<QByteArray> bytes;
        for (const std::string &band : bands)
            bytes.push_back(QByteArray(band.data(), qsizetype(band.size())));
        return bytes;
    };
    m.def(
            "clusters_of_bands",
            [bytesOf](const std::vector<std::string> &bands,
                      const std::vector<std::pair<std::string, std::string>> &options) {
                const std::vector<QByteArray> bytes = bytesOf(bands);
                const Calls::Options asked = optionsOf(options);
                Calls::Notes notes;
                std::optional<TableColumns> columns;
                {
                    py::gil_scoped_release released;
                    columns.emplace(Calls::clustersOfBands(bytes, asked, notes));
                }
                return py::make_tuple(columnsOf(*columns), notesOf(notes));
            },
            py::arg("bands"), py::arg("options"));
    m.def(
            "patch_parts_of_bands",
            [bytesOf](const std::vector<std::string> &bands) {
                const std::vector<QByteArray> bytes = bytesOf(bands);
                std::vector<QByteArray> parts;
                {
                    py::gil_scoped_release released;
                    parts = Calls::patchPartsOfBands(bytes);
                }
                py::list list;
                for (const QByteArray &p : parts)
                    list.append(py::bytes(p.constData(), size_t(p.size())));
                return list;
            },
            py::arg("bands"));
    m.def(
            "patches_of_bands",
            [bytesOf](const std::vector<std::string> &bands, const std::vector<std::string> &distances,
                      const std::vector<std::pair<std::string, std::string>> &options) {
                const std::vector<QByteArray> bytes = bytesOf(bands);
                const std::vector<QByteArray> shares = bytesOf(distances);
                const Calls::Options asked = optionsOf(options);
                Calls::Notes notes;
                std::optional<TableColumns> columns;
                {
                    py::gil_scoped_release released;
                    columns.emplace(Calls::patchesOfBands(bytes, shares, asked, notes));
                }
                return py::make_tuple(columnsOf(*columns), notesOf(notes));
            },
            py::arg("bands"), py::arg("distances"), py::arg("options"));
    m.def("label", &label, py::arg("paths"), py::arg("array"), py::arg("mask"), py::arg("nodata"),
          py::arg("projection"), py::arg("transform"), py::arg("options"));
    m.def("percolates", &percolates, py::arg("paths"), py::arg("array"), py::arg("mask"), py::arg("nodata"),
          py::arg("projection"), py::arg("transform"), py::arg("options"));
    m.def("generate", &generate, py::arg("options"), py::arg("replicate"));
    m.def("sweep", &sweep, py::arg("options"));
}
