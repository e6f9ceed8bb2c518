#include "generatetool.h"

#include "commandline.h"
#include "landscapeoptions.h"
#include "outputfile.h"
#include "rastersource.h"
#include "systemmemory.h"

#include <QCommandLineParser>

#include <cerrno>
#include <new>

#include <sys/stat.h>

namespace {

const char Program[] = "vantrix-generate";

// What writing a GeoTIFF takes beyond the cells: GDAL's block cache (64 MB
// for the process, see RasterSource) and the compressor's buffers.
constexpr qint64 GdalWritingBytes = qint64(80) << 20;

} // namespace

namespace GenerateTool {

bool parse(const QStringList &arguments, GenerateOptions &options, QString *errorString)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Writes neutral landscapes (1 habitat, 0 matrix) as landscape files, replicates 1 to N,\n"
            "the same on every machine for the same parameters and seed."));
    LandscapeOptions landscapeOptions;
    landscapeOptions.addTo(parser);
    const QCommandLineOption share("share", "The habitat share P, 0 to 1.", "P");
    const QCommandLineOption count("count", "The number N of landscapes (replicates 1 to N).", "N");
    const QCommandLineOption output({"o", "output"}, "The folder to write into, created if missing; - writes the "
                                                     "one landscape of --count 1 to standard output. Default: the "
                                                     "working directory.", "DIR");
    const QCommandLineOption format("format", "text (the landscape text format, .txt) or geotiff (a Byte GeoTIFF, "
                                              ".tif). Default: text.", "FORMAT", "text");
    parser.addOptions({share, count, output, format});
    parser.addHelpOption();
    parser.addVersionOption();
    auto fail = [errorString](const QString &why) {
        *errorString = why;
        return false;
    };
    if (!CommandLine::parse(parser, arguments, errorString))
        return false;
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    if (!landscapeOptions.read(parser, options.landscape, errorString))
        return false;
    if (!parser.isSet(share) || !parser.isSet(count))
        return fail(QStringLiteral("--share and --count are needed"));
    if (!LandscapeOptions::parseShare(parser.value(share), options.share, options.shareText, errorString))
        return false;
    bool ok = false;
    options.count = parser.value(count).toLongLong(&ok, 10);
    if (!ok || options.count < 1 || options.count > 100000000)
        return fail(QStringLiteral("--count takes a whole number from 1 to 100000000, not '%1'").arg(parser.value(count)));
    options.geotiff = parser.value(format) == QLatin1String("geotiff");
    if (!options.geotiff && parser.value(format) != QLatin1String("text"))
        return fail(QStringLiteral("--format takes text or geotiff, not '%1'").arg(parser.value(format)));
    options.directory = parser.value(output).toLatin1();
    if (options.directory == "-") {
        if (options.count != 1)
            return fail(QStringLiteral("-o - writes one landscape to standard output: give --count 1, or a folder"));
    } else if (!options.directory.isEmpty() && !options.directory.endsWith('/')) {
        options.directory += '/';
    }
    // The model's working memory, and a text file's bytes, must fit; for a
    // GeoTIFF, GDAL's block cache and writer besides. GDAL is loaded first,
    // so that what its libraries take of the address space is counted as
    // used: under a tight ulimit -v a write that runs out of memory inside
    // GDAL may crash it rather than fail.
    const qint64 cells = options.landscape.size * options.landscape.size;
    qint64 needed = NeutralLandscape::workingBytes(options.landscape) + 2 * cells;
    if (options.geotiff) {
        RasterSource::gdalVersion();
        needed = NeutralLandscape::workingBytes(options.landscape) + cells + GdalWritingBytes;
    }
    if (const qint64 available = SystemMemory::available(); available > 0 && needed > available) {
        return fail(QStringLiteral("a %1 landscape of %2 x %2 cells needs about %3 MB, more than the %4 MB this "
                                   "process may use")
                            .arg(NeutralLandscape::name(options.landscape.model))
                            .arg(options.landscape.size)
                            .arg(needed >> 20)
                            .arg(available >> 20));
    }
    return true;
}

QByteArray fileName(const GenerateOptions &options, qint64 replicate)
{
    const int digits = std::max<int>(4, int(QByteArray::number(options.count).size()));
    return NeutralLandscape::name(options.landscape.model).toLatin1() + LandscapeOptions::parameterTag(options.landscape)
            + "-L" + QByteArray::number(options.landscape.size) + "-p" + options.shareText + "-s"
            + QByteArray::number(options.landscape.seed) + "-r" + QByteArray::number(replicate).rightJustified(digits, '0')
            + (options.geotiff ? ".tif" : ".txt");
}

int run(const GenerateOptions &options, std::FILE *err)
{
    const QByteArray &directory = options.directory;
    const bool toStandardOutput = directory == "-";
    if (!directory.isEmpty() && !toStandardOutput) {
        // Every level of the folder, as the bytes given.
        for (qsizetype slash = directory.indexOf('/', 1); slash >= 0; slash = directory.indexOf('/', slash + 1)) {
            const QByteArray level = directory.left(slash);
            if (::mkdir(level.constData(), 0777) != 0 && errno != EEXIST) {
                std::fprintf(err, "%s: cannot create %s: %s\n", Program, level.constData(),
                             qt_error_string(errno).toLocal8Bit().constData());
                return 1;
            }
        }
    }
    try {
        RaggedRows<qint8> rows;
        for (qint64 replicate = 1; replicate <= options.count; ++replicate) {
            NeutralLandscape(options.landscape, replicate).cells(options.share, rows);
            const QByteArray path = toStandardOutput ? directory : directory + fileName(options, replicate);
            QString why;
            const bool written = options.geotiff
                    ? OutputFile::writeVia(path,
                                           [&](const QByteArray &name, QString *error) {
                                               return RasterSource::writeGeoTiff(name, rows.cells.data(),
                                                                                 options.landscape.size, error);
                                           },
                                           &why)
                    : OutputFile::writeWhole(path, NeutralLandscape::text(rows), &why);
            if (!written) {
                std::fprintf(err, "%s: cannot write %s: %s\n", Program, path.constData(), why.toLocal8Bit().constData());
                return 1;
            }
        }
    } catch (const std::bad_alloc &) {
        std::fprintf(err, "%s: there is not enough memory for landscapes of %lld x %lld cells\n", Program,
                     (long long)options.landscape.size, (long long)options.landscape.size);
        return 1;
    }
    return 0;
}

} // namespace GenerateTool
