#include "generatecommand.h"

#include "commandline.h"
#include "landscapeoptions.h"
#include "neutrallandscape.h"
#include "outputfile.h"
#include "rastersource.h"

#include <QCommandLineParser>
#include <QDir>

#include <cerrno>

#include <sys/stat.h>

GenerateCommand::GenerateCommand(QStringList arguments)
    : m_arguments(std::move(arguments))
{
}

int GenerateCommand::usageError(const QString &message)
{
    std::fprintf(m_err, "vantrix-generate: %s (see --help)\n", message.toLatin1().constData());
    return 2;
}

int GenerateCommand::run()
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Writes neutral landscapes (1 habitat, 0 matrix) as landscape files, replicates 1 to N,\n"
            "the same on every machine for the same parameters and seed."));
    LandscapeOptions landscapeOptions;
    landscapeOptions.addTo(parser);
    const QCommandLineOption share("share", "The habitat share P, 0 to 1.", "P");
    const QCommandLineOption count("count", "The number N of landscapes (replicates 1 to N).", "N");
    const QCommandLineOption output({"o", "output"}, "The folder to write into, created if missing. Default: the "
                                                     "working directory.", "DIR");
    const QCommandLineOption format("format", "text (the landscape text format, .txt) or geotiff (a Byte GeoTIFF, "
                                              ".tif). Default: text.", "FORMAT", "text");
    parser.addOptions({share, count, output, format});
    parser.addHelpOption();
    parser.addVersionOption();
    QString error;
    if (!CommandLine::parse(parser, m_arguments, &error))
        return usageError(error);
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    NeutralLandscape::Parameters parameters;
    if (!landscapeOptions.read(parser, parameters, &error))
        return usageError(error);
    if (!parser.isSet(share) || !parser.isSet(count))
        return usageError(QStringLiteral("--share and --count are needed"));
    double shareValue;
    QByteArray shareText;
    if (!LandscapeOptions::parseShare(parser.value(share), shareValue, shareText, &error))
        return usageError(error);
    bool ok = false;
    const qint64 replicates = parser.value(count).toLongLong(&ok, 10);
    if (!ok || replicates < 1 || replicates > 100000000)
        return usageError(QStringLiteral("--count takes a whole number from 1 to 100000000, not '%1'").arg(parser.value(count)));

    const bool geotiff = parser.value(format) == QLatin1String("geotiff");
    if (!geotiff && parser.value(format) != QLatin1String("text"))
        return usageError(QStringLiteral("--format takes text or geotiff, not '%1'").arg(parser.value(format)));

    QByteArray directory = parser.value(output).toLatin1();
    if (!directory.isEmpty()) {
        // Every level of the folder, as the bytes given.
        for (qsizetype slash = directory.indexOf('/', 1); ; slash = directory.indexOf('/', slash + 1)) {
            const QByteArray level = slash < 0 ? directory : directory.left(slash);
            if (::mkdir(level.constData(), 0777) != 0 && errno != EEXIST) {
                std::fprintf(m_err, "vantrix-generate: cannot create %s: %s\n", level.constData(),
                             qt_error_string(errno).toLocal8Bit().constData());
                return 1;
            }
            if (slash < 0)
                break;
        }
        if (!directory.endsWith('/'))
            directory += '/';
    }
    const int digits = std::max<int>(4, int(QByteArray::number(replicates).size()));
    const QByteArray stem = NeutralLandscape::name(parameters.model).toLatin1() + "-L"
            + QByteArray::number(parameters.size) + "-p" + shareText + "-s" + QByteArray::number(parameters.seed) + "-r";
    RaggedRows<qint8> rows;
    for (qint64 replicate = 1; replicate <= replicates; ++replicate) {
        NeutralLandscape(parameters, replicate).cells(shareValue, rows);
        const QByteArray path = directory + stem + QByteArray::number(replicate).rightJustified(digits, '0')
                + (geotiff ? ".tif" : ".txt");
        QString why;
        if (geotiff) {
            if (!RasterSource::writeGeoTiff(path, rows.cells.data(), parameters.size, &why)) {
                std::fprintf(m_err, "vantrix-generate: cannot write %s: %s\n", path.constData(),
                             why.toLocal8Bit().constData());
                return 1;
            }
            continue;
        }
        const QByteArray text = NeutralLandscape::text(rows);
        OutputFile file;
        if (!file.open(path) || file.write(text) != text.size() || !file.commit()) {
            std::fprintf(m_err, "vantrix-generate: cannot write %s: %s\n", path.constData(),
                         file.errorString().toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}
