#include "percolatecommand.h"

#include "configfile.h"
#include "percolationbatch.h"
#include "percolationreport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSaveFile>
#include <QThread>

#include <memory>

#include <unistd.h>

namespace {

QByteArray local(const QString &text)
{
    return text.toLocal8Bit();
}

// Progress on standard error, at most five times a second.
class ProgressLine
{
public:
    ProgressLine(std::FILE *out, qsizetype total)
        : m_out(out)
        , m_total(total)
    {
        m_clock.start();
    }

    void update(qsizetype done)
    {
        if (done < m_total && m_clock.elapsed() - m_lastPrint < 200)
            return;
        m_lastPrint = m_clock.elapsed();
        const double seconds = std::max(1e-3, double(m_clock.elapsed()) / 1000.0);
        const double rate = double(done) / seconds;
        const double left = rate > 0 ? double(m_total - done) / rate : 0.0;
        std::fprintf(m_out, "\r%lld/%lld files, %.1f files/s, %.0f s left   ", (long long)done,
                     (long long)m_total, rate, left);
        if (done == m_total)
            std::fputc('\n', m_out);
        std::fflush(m_out);
    }

private:
    std::FILE *m_out;
    qsizetype m_total;
    QElapsedTimer m_clock;
    qint64 m_lastPrint = -1000;
};

// Where the report goes: standard output, or a file replaced only by a
// complete report.
class ReportTarget
{
public:
    bool open(const QString &path)
    {
        if (path.isEmpty()) {
            auto out = std::make_unique<QFile>();
            if (!out->open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered)) {
                m_error = out->errorString();
                return false;
            }
            m_device = std::move(out);
            return true;
        }
        auto file = std::make_unique<QSaveFile>(path);
        if (!file->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            m_error = file->errorString();
            return false;
        }
        m_save = file.get();
        m_device = std::move(file);
        return true;
    }
    QIODevice *device() const { return m_device.get(); }
    // Makes the report final, or discards it after a failed write.
    bool close(const PercolationReport &report)
    {
        if (report.hasError()) {
            m_error = report.errorString();
            if (m_save)
                m_save->cancelWriting();
            return false;
        }
        if (m_save && !m_save->commit()) {
            m_error = m_save->errorString();
            return false;
        }
        return true;
    }
    QString errorString() const { return m_error; }

private:
    std::unique_ptr<QIODevice> m_device;
    QSaveFile *m_save = nullptr;
    QString m_error;
};

} // namespace

PercolateCommand::PercolateCommand(QStringList arguments)
    : m_arguments(std::move(arguments))
{
}

int PercolateCommand::usageError(const QString &message)
{
    std::fprintf(m_err, "vantrix-percolate: %s (see --help)\n", local(message).constData());
    return 2;
}

int PercolateCommand::run()
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate(
            "PercolateCommand",
            "Tests landscape files for percolation and writes the report: a line per file (path, tab, 1 or 0),\n"
            "then \"Probability Percolation (PP) = \" and the mean. The same test and report as Vantrix."));
    const QCommandLineOption cover({"c", "cover"},
                                   "The class value that counts as habitat. Default: the cover value of "
                                   "config.txt in the working directory, else 1.",
                                   "VALUE");
    const QCommandLineOption output({"o", "output"},
                                    "Write the report to FILE, replacing it only with a complete report. "
                                    "Default: standard output.",
                                    "FILE");
    const QCommandLineOption jobs({"j", "jobs"}, "Test N files at a time. Default: the number of processor cores.",
                                  "N");
    const QCommandLineOption filesFrom("files-from", "Also test the paths in LIST, one per line; - is standard input.",
                                       "LIST");
    const QCommandLineOption merge("merge", "Join reports made from parts of one batch, given in place of FILEs, "
                                            "into the report of the whole batch.");
    const QCommandLineOption quiet({"q", "quiet"}, "No progress on standard error.");
    parser.addOptions({cover, output, jobs, filesFrom, merge, quiet});
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument("FILE", "Landscape files to test (with --merge: reports to join).", "[FILE...]");

    if (!parser.parse(m_arguments))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    m_output = parser.value(output);

    if (parser.isSet(merge)) {
        if (parser.isSet(cover) || parser.isSet(jobs) || parser.isSet(filesFrom))
            return usageError(QStringLiteral("--merge takes only reports, --output and --quiet"));
        if (parser.positionalArguments().isEmpty())
            return usageError(QStringLiteral("no reports to merge"));
        return this->merge(parser.positionalArguments());
    }

    qint32 coverValue;
    if (parser.isSet(cover)) {
        bool ok = false;
        coverValue = parser.value(cover).toInt(&ok, 10);
        if (!ok)
            return usageError(QStringLiteral("the cover value '%1' is not a 32-bit integer").arg(parser.value(cover)));
    } else {
        ConfigFile config;
        config.read(QStringLiteral("config.txt"));
        coverValue = config.coverValue;
    }

    int jobCount = QThread::idealThreadCount();
    if (parser.isSet(jobs)) {
        bool ok = false;
        jobCount = parser.value(jobs).toInt(&ok, 10);
        if (!ok || jobCount < 1)
            return usageError(QStringLiteral("--jobs takes a whole number of at least 1, not '%1'").arg(parser.value(jobs)));
    }

    QStringList paths = parser.positionalArguments();
    if (parser.isSet(filesFrom)) {
        if (!readPathList(parser.value(filesFrom), paths))
            return 2;
    } else if (paths.isEmpty()) {
        return usageError(QStringLiteral("no files given"));
    }
    return runTests(paths, coverValue, jobCount, !parser.isSet(quiet) && isatty(fileno(m_err)));
}

bool PercolateCommand::readPathList(const QString &list, QStringList &paths)
{
    QFile file;
    const bool opened = list == QLatin1String("-") ? file.open(stdin, QIODevice::ReadOnly)
                                                   : (file.setFileName(list), file.open(QIODevice::ReadOnly));
    if (!opened) {
        usageError(QStringLiteral("cannot read the list %1: %2").arg(list, file.errorString()));
        return false;
    }
    const QByteArray bytes = file.readAll();
    for (QByteArray line : bytes.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1); // lists written with CR LF line ends
        if (!line.isEmpty())
            paths << QFile::decodeName(line);
    }
    return true;
}

int PercolateCommand::writeReport(const std::function<void(PercolationReport &)> &fill)
{
    ReportTarget target;
    if (!target.open(m_output)) {
        std::fprintf(m_err, "vantrix-percolate: cannot write the report %s: %s\n", local(m_output).constData(),
                     local(target.errorString()).constData());
        return 1;
    }
    PercolationReport report(target.device());
    fill(report);
    report.finish();
    if (!target.close(report)) {
        std::fprintf(m_err, "vantrix-percolate: the report %s could not be written: %s\n",
                     m_output.isEmpty() ? "on standard output" : local(m_output).constData(),
                     local(target.errorString()).constData());
        return 1;
    }
    return 0;
}

int PercolateCommand::runTests(const QStringList &paths, qint32 cover, int jobs, bool progress)
{
    std::unique_ptr<ProgressLine> progressLine;
    if (progress)
        progressLine = std::make_unique<ProgressLine>(m_err, paths.size());
    bool allRead = true;
    const int status = writeReport([&](PercolationReport &report) {
        PercolationBatch::run(paths, cover, jobs, [&](const PercolationBatch::Result &result) {
            const QString &path = paths[result.index];
            if (!result.errorString.isEmpty()) {
                allRead = false;
                if (progressLine)
                    std::fputc('\n', m_err);
                std::fprintf(m_err, "vantrix-percolate: %s: %s\n", QFile::encodeName(path).constData(),
                             local(result.errorString).constData());
            }
            report.addResult(QFile::encodeName(path), result.percolates);
            if (progressLine)
                progressLine->update(result.index + 1);
        });
    });
    return status != 0 ? status : (allRead ? 0 : 1);
}

int PercolateCommand::merge(const QStringList &reports)
{
    QList<PercolationReport::Entry> entries;
    for (const QString &path : reports) {
        QFile file(path);
        QString error;
        if (!file.open(QIODevice::ReadOnly))
            error = file.errorString();
        else if (!PercolationReport::parse(file.readAll(), entries, &error))
            error = QStringLiteral("not a complete report: %1").arg(error);
        if (!error.isEmpty()) {
            std::fprintf(m_err, "vantrix-percolate: %s: %s\n", QFile::encodeName(path).constData(),
                         local(error).constData());
            return 1;
        }
    }
    return writeReport([&entries](PercolationReport &report) {
        for (const PercolationReport::Entry &entry : entries)
            report.addResult(entry.encodedPath, entry.result);
    });
}
