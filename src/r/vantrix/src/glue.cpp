// The engine's calls (calls.h) for R. Each function takes the landscape as R
// hands it (a matrix, read in place, or paths) and the program's options as a
// named character vector, and returns list(value =, notes =) or, when the
// call fails, list(error = kind, message =): the R functions turn that into a
// condition, so that no C++ exception and no R error ever crosses the other
// language's frames.
// Rcpp's headers are not -Wextra clean (casts of R's callables).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
#include <Rcpp.h>
#pragma GCC diagnostic pop

#include "calls.h"

#include <QByteArray>
#include <QString>

#include <climits>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <optional>

namespace {

Calls::Options optionsOf(const Rcpp::CharacterVector &options)
{
    Calls::Options out;
    if (options.size() == 0)
        return out;
    const Rcpp::CharacterVector names = options.names();
    for (R_xlen_t i = 0; i < options.size(); ++i) {
        out.emplace_back(QString::fromUtf8(Rcpp::as<std::string>(names[i]).c_str()),
                         QString::fromUtf8(Rcpp::as<std::string>(options[i]).c_str()));
    }
    return out;
}

// What a call reads: the paths, or the matrix grid with its georeference
// (geo: NULL, or list(wkt =, transform = numeric(6))) and nodata (NULL or a
// number). A matrix is column-major as R keeps it; a SpatRaster's values (the
// landscapes that come with geo) come row by row (terra's values()), given
// as the columns x rows matrix they make.
// An integer matrix's NA cells hold no value; with another nodata they are
// masked, the mask kept in maskStore.
Calls::Landscapes landscapesOf(SEXP landscape, SEXP nodata, SEXP geo, std::vector<quint8> &maskStore)
{
    Calls::Landscapes out;
    if (TYPEOF(landscape) == STRSXP) {
        const Rcpp::CharacterVector paths(landscape);
        for (R_xlen_t i = 0; i < paths.size(); ++i) {
            const char *path = Rf_translateCharUTF8(STRING_ELT(landscape, i));
            out.paths << QByteArray(path);
        }
        return out;
    }
    auto grid = std::make_shared<MemoryGrid>();
    const SEXP dims = Rf_getAttrib(landscape, R_DimSymbol);
    const bool rowMajor = !Rf_isNull(geo);
    const qint64 first = INTEGER(dims)[0];
    const qint64 second = INTEGER(dims)[1];
    const bool integers = TYPEOF(landscape) == INTSXP;
    grid->type = integers ? MemoryGrid::Int32 : MemoryGrid::Float64;
    grid->data = integers ? static_cast<const void *>(INTEGER(landscape)) : static_cast<const void *>(REAL(landscape));
    const qint64 bytes = integers ? qint64(sizeof(int)) : qint64(sizeof(double));
    grid->rows = rowMajor ? second : first;
    grid->columns = rowMajor ? first : second;
    grid->rowStride = rowMajor ? first * bytes : bytes;
    grid->columnStride = rowMajor ? bytes : first * bytes;
    if (!Rf_isNull(nodata))
        grid->nodata = Rf_asReal(nodata);
    if (integers) {
        if (!grid->nodata) {
            grid->nodata = double(NA_INTEGER);
        } else {
            const int *values = INTEGER(landscape);
            const R_xlen_t cells = Rf_xlength(landscape);
            R_xlen_t firstNA = 0;
            while (firstNA < cells && values[firstNA] != NA_INTEGER)
                ++firstNA;
            if (firstNA < cells) {
                maskStore.assign(size_t(cells), 0);
                for (R_xlen_t i = firstNA; i < cells; ++i)
                    maskStore[size_t(i)] = values[i] == NA_INTEGER;
                grid->mask = maskStore.data();
                grid->maskRowStride = rowMajor ? first : 1;
                grid->maskColumnStride = rowMajor ? 1 : first;
            }
        }
    }
    if (!Rf_isNull(geo)) {
        const Rcpp::List g(geo);
        grid->geo.projection = QByteArray(Rcpp::as<std::string>(g["wkt"]).c_str());
        const Rcpp::NumericVector transform = g["transform"];
        if (transform.size() == 6) {
            grid->geo.hasTransform = true;
            for (int i = 0; i < 6; ++i)
                grid->geo.transform[i] = transform[i];
        }
    }
    out.grid = grid;
    return out;
}

// An integer column as R integers when every value fits, else as doubles.
SEXP integersOf(const std::vector<qint64> &values)
{
    bool fits = true;
    for (qint64 v : values)
        fits = fits && v > qint64(INT_MIN) && v <= qint64(INT_MAX);
    if (fits) {
        Rcpp::IntegerVector out(values.size());
        std::copy(values.begin(), values.end(), out.begin());
        return out;
    }
    Rcpp::NumericVector out(values.size());
    std::copy(values.begin(), values.end(), out.begin());
    return out;
}

Rcpp::List frameOf(const TableColumns &table)
{
    const std::vector<TableColumns::Column> &columns = table.columns();
    Rcpp::List out(columns.size());
    Rcpp::CharacterVector names(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) {
        const TableColumns::Column &column = columns[i];
        names[i] = Rcpp::String(column.name.toStdString(), CE_UTF8);
        switch (column.kind) {
        case TableColumns::Integer:
            out[i] = integersOf(column.integers);
            break;
        case TableColumns::Real:
            out[i] = Rcpp::NumericVector(column.reals.begin(), column.reals.end());
            break;
        case TableColumns::Text: {
            // Paths are bytes; R keeps them as they are (native encoding).
            Rcpp::CharacterVector texts(column.texts.size());
            for (qsizetype t = 0; t < column.texts.size(); ++t)
                SET_STRING_ELT(texts, t, Rf_mkCharLenCE(column.texts[t].constData(), int(column.texts[t].size()), CE_NATIVE));
            out[i] = texts;
            break;
        }
        }
    }
    out.attr("names") = names;
    out.attr("class") = "data.frame";
    out.attr("row.names") = Rcpp::IntegerVector::create(NA_INTEGER, -int(table.rows()));
    return out;
}

Rcpp::CharacterVector notesOf(const Calls::Notes &notes)
{
    Rcpp::CharacterVector out(notes.size());
    for (qsizetype i = 0; i < notes.size(); ++i)
        out[i] = Rcpp::String(notes[i].toStdString(), CE_UTF8);
    return out;
}

Rcpp::List failure(const char *kind, const std::string &message)
{
    return Rcpp::List::create(Rcpp::Named("error") = kind, Rcpp::Named("message") = Rcpp::String(message, CE_UTF8));
}

// Runs a call, its failures as values: Calls::Error by its kind, a lack of
// memory as memory, anything else the engine throws as usage.
template<typename Call>
Rcpp::List guarded(Call call)
{
    try {
        return call();
    } catch (const Calls::Error &e) {
        return failure(e.kind() == Calls::Error::Usage  ? "usage"
                               : e.kind() == Calls::Error::File ? "file"
                                                                : "memory",
                       e.what());
    } catch (const std::bad_alloc &) {
        return failure("memory", "there is not enough memory for the answer");
    } catch (const Rcpp::internal::InterruptedException &) {
        throw;
    } catch (const std::exception &e) {
        return failure("usage", e.what());
    }
}

// One map of label(): row-major, as the engine writes it.
struct Map
{
    qint64 rows = 0;
    qint64 columns = 0;
    bool wide = false;
    std::vector<quint32> narrow;
    std::vector<quint64> values;
};

// A map as an R matrix (column-major): NA where the landscape has no value,
// integers when every id or size fits, else doubles.
template<typename T>
SEXP matrixOf(const std::vector<T> &cells, qint64 rows, qint64 columns)
{
    const T none = std::numeric_limits<T>::max();
    T largest = 0;
    for (T v : cells) {
        if (v != none && v > largest)
            largest = v;
    }
    if (largest <= T(INT_MAX)) {
        Rcpp::IntegerMatrix out(static_cast<int>(rows), static_cast<int>(columns));
        int *to = out.begin();
        for (qint64 r = 0; r < rows; ++r) {
            for (qint64 c = 0; c < columns; ++c) {
                const T v = cells[size_t(r * columns + c)];
                to[c * rows + r] = v == none ? NA_INTEGER : int(v);
            }
        }
        return out;
    }
    Rcpp::NumericMatrix out(static_cast<int>(rows), static_cast<int>(columns));
    double *to = out.begin();
    for (qint64 r = 0; r < rows; ++r) {
        for (qint64 c = 0; c < columns; ++c) {
            const T v = cells[size_t(r * columns + c)];
            to[c * rows + r] = v == none ? NA_REAL : double(v);
        }
    }
    return out;
}

} // namespace

// [[Rcpp::export(.vt_table_call)]]
Rcpp::List vtTable(SEXP landscape, SEXP nodata, SEXP geo, Rcpp::CharacterVector options, bool patches)
{
    return guarded([&]() {
        std::vector<quint8> mask;
        const Calls::Landscapes landscapes = landscapesOf(landscape, nodata, geo, mask);
        Calls::Notes notes;
        const TableColumns table = patches ? Calls::patches(landscapes, optionsOf(options), notes)
                                           : Calls::clusters(landscapes, optionsOf(options), notes);
        return Rcpp::List::create(Rcpp::Named("value") = frameOf(table), Rcpp::Named("notes") = notesOf(notes));
    });
}

// [[Rcpp::export(.vt_percolates_call)]]
Rcpp::List vtPercolates(SEXP landscape, SEXP nodata, SEXP geo, Rcpp::CharacterVector options)
{
    return guarded([&]() {
        std::vector<quint8> mask;
        const Calls::Landscapes landscapes = landscapesOf(landscape, nodata, geo, mask);
        Calls::Notes notes;
        const std::vector<bool> answers = Calls::percolates(landscapes, optionsOf(options), notes);
        Rcpp::LogicalVector value(answers.size());
        for (size_t i = 0; i < answers.size(); ++i)
            value[i] = answers[i];
        return Rcpp::List::create(Rcpp::Named("value") = value, Rcpp::Named("notes") = notesOf(notes));
    });
}

// [[Rcpp::export(.vt_label_call)]]
Rcpp::List vtLabel(SEXP landscape, SEXP nodata, SEXP geo, Rcpp::CharacterVector options)
{
    return guarded([&]() {
        std::vector<quint8> mask;
        const Calls::Landscapes landscapes = landscapesOf(landscape, nodata, geo, mask);
        Calls::Notes notes;
        // Maps are made on the engine's threads: plain memory here, R's
        // matrices after the call.
        std::mutex lock;
        std::map<std::optional<qint32>, Map> maps;
        Calls::label(
                landscapes, optionsOf(options),
                [&](std::optional<qint32> coverClass, qint64 rows, qint64 columns, bool wide) -> void * {
                    const std::lock_guard<std::mutex> held(lock);
                    Map &map = maps[coverClass];
                    map.rows = rows;
                    map.columns = columns;
                    map.wide = wide;
                    if (wide) {
                        map.values.resize(size_t(rows * columns));
                        return map.values.data();
                    }
                    map.narrow.resize(size_t(rows * columns));
                    return map.narrow.data();
                },
                notes);
        Rcpp::List value(maps.size());
        Rcpp::CharacterVector names(maps.size());
        size_t i = 0;
        for (const auto &[coverClass, map] : maps) {
            value[i] = map.wide ? matrixOf(map.values, map.rows, map.columns)
                                : matrixOf(map.narrow, map.rows, map.columns);
            names[i] = coverClass ? std::to_string(*coverClass) : std::string();
            ++i;
        }
        value.attr("names") = names;
        return Rcpp::List::create(Rcpp::Named("value") = value, Rcpp::Named("notes") = notesOf(notes));
    });
}

// [[Rcpp::export(.vt_generate_call)]]
Rcpp::List vtGenerate(Rcpp::CharacterVector options, double replicate)
{
    return guarded([&]() {
        qint64 size = 0;
        const std::vector<qint8> cells = Calls::generate(optionsOf(options), qint64(replicate), size);
        Rcpp::IntegerMatrix value(static_cast<int>(size), static_cast<int>(size));
        int *to = value.begin();
        for (qint64 r = 0; r < size; ++r) {
            for (qint64 c = 0; c < size; ++c)
                to[c * size + r] = cells[size_t(r * size + c)];
        }
        return Rcpp::List::create(Rcpp::Named("value") = value, Rcpp::Named("notes") = Rcpp::CharacterVector());
    });
}

// [[Rcpp::export(.vt_sweep_call)]]
Rcpp::List vtSweep(Rcpp::CharacterVector options)
{
    return guarded([&]() {
        Calls::Notes notes;
        const Calls::Sweep sweep = Calls::sweep(optionsOf(options), notes);
        Rcpp::List value = Rcpp::List::create(Rcpp::Named("table") = frameOf(sweep.table),
                                              Rcpp::Named("thresholds") = frameOf(sweep.thresholds));
        return Rcpp::List::create(Rcpp::Named("value") = value, Rcpp::Named("notes") = notesOf(notes));
    });
}
