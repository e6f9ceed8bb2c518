#include "commandline.h"

#include "rastersource.h"
#include "systemmemory.h"
#include "temporaryfiles.h"

#include <QThread>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <exception>
#include <new>
#include <system_error>

#include <unistd.h>
#include <cstdio>

namespace CommandLine {

namespace {

const char *programName = "vantrix";

// Writes "PROGRAM: WHAT[: DETAIL]\n" with write(2) alone (no allocation),
// once: threads that meet a fatal failure after the first (they often meet
// the same memory limit together) wait for the process to end, so that one
// whole message is said.
void sayFatal(const char *what, const char *detail)
{
    static std::atomic<bool> said{false};
    if (said.exchange(true)) {
        for (;;)
            ::pause();
    }
    auto put = [](const char *text) {
        const size_t length = std::strlen(text);
        for (size_t done = 0; done < length;) {
            const ssize_t wrote = ::write(STDERR_FILENO, text + done, length - done);
            if (wrote <= 0)
                return;
            done += size_t(wrote);
        }
    };
    put(programName);
    put(": ");
    put(what);
    if (detail && *detail) {
        put(" (");
        put(detail);
        put(")");
    }
    put("\n");
}

void outOfMemoryInGdal(const char *message)
{
    sayFatal("GDAL cannot go on, for want of memory or through a fault of its own; nothing was written", message);
    TemporaryFiles::removeAllAndExit(1);
}

[[noreturn]] void outOfMemory()
{
    sayFatal("there is not enough memory to go on; nothing was written (give the process more memory, or fewer "
             "jobs)",
             nullptr);
    TemporaryFiles::removeAllAndExit(1);
}

void terminated()
{
    try {
        if (const std::exception_ptr failure = std::current_exception())
            std::rethrow_exception(failure);
    } catch (const std::bad_alloc &) {
        outOfMemory();
    } catch (const std::system_error &failure) {
        // A thread that cannot be started: no room for its stack.
        if (failure.code() == std::errc::resource_unavailable_try_again
            || failure.code() == std::errc::not_enough_memory)
            outOfMemory();
    } catch (...) {
    }
    sayFatal("an internal error ended the run; nothing was written", nullptr);
    TemporaryFiles::removeAllAndExit(70);
}

} // namespace

void prepareProcess(const char *program)
{
    programName = program;
    std::signal(SIGXFSZ, SIG_IGN);
    TemporaryFiles::removeOnSignals();
    std::set_terminate(terminated);
    RasterSource::setFatalHandler(outOfMemoryInGdal);
    SystemMemory::oneHeapUnderLimits();
}

QStringList arguments(int argc, char *argv[])
{
    QStringList out;
    for (int i = 0; i < argc; ++i)
        out << QString::fromLatin1(argv[i]);
    return out;
}

QByteArrayList bytes(const QStringList &arguments)
{
    QByteArrayList out;
    out.reserve(arguments.size());
    for (const QString &argument : arguments)
        out << argument.toLatin1();
    return out;
}

int usageError(const char *program, const QString &message)
{
    std::fprintf(stderr, "%s: %s (see --help)\n", program, message.toLatin1().constData());
    return 2;
}

bool parse(QCommandLineParser &parser, const QStringList &arguments, QString *errorString)
{
    if (!parser.parse(arguments)) {
        *errorString = parser.errorText();
        return false;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    return true;
}

bool readShard(const QCommandLineParser &parser, const QCommandLineOption &shardOption, QByteArray &output,
               std::optional<Shard> &shard, QString *errorString)
{
    if (parser.isSet(shardOption)) {
        shard = Shard::parse(parser.value(shardOption), errorString);
        if (!shard)
            return false;
        output = shard->expand(output);
    } else if (output.contains(Shard::placeholder())) {
        *errorString = QStringLiteral("--output names {shard}, but no --shard is given");
        return false;
    }
    return true;
}

bool readJobs(const QCommandLineParser &parser, const QCommandLineOption &jobsOption, int &jobs, QString *errorString)
{
    jobs = QThread::idealThreadCount();
    if (!parser.isSet(jobsOption))
        return true;
    bool ok = false;
    jobs = parser.value(jobsOption).toInt(&ok, 10);
    if (!ok || jobs < 1) {
        *errorString = QStringLiteral("--jobs takes a whole number of at least 1, not '%1'").arg(parser.value(jobsOption));
        return false;
    }
    return true;
}

bool readDirection(const QString &name, SpanningRule::Direction &direction, QString *errorString)
{
    const auto named = SpanningRule::directionNamed(name);
    if (!named) {
        *errorString = QStringLiteral("--direction takes either, left-right or top-bottom, not '%1'").arg(name);
        return false;
    }
    direction = *named;
    return true;
}

bool readRules(const QString &kinds, std::vector<SpanningRule::Kind> &rules, QString *errorString)
{
    rules.clear();
    for (const QString &name : kinds.split(QLatin1Char(','))) {
        const auto kind = SpanningRule::kindNamed(name);
        if (!kind) {
            *errorString = QStringLiteral("--rule takes walk, cluster4 or cluster8, not '%1'").arg(name);
            return false;
        }
        if (std::find(rules.begin(), rules.end(), *kind) != rules.end()) {
            *errorString = QStringLiteral("--rule names %1 twice").arg(name);
            return false;
        }
        rules.push_back(*kind);
    }
    return true;
}

bool readRule(const QString &kind, const QString &direction, SpanningRule &rule, QString *errorString)
{
    std::vector<SpanningRule::Kind> kinds;
    if (!readRules(kind, kinds, errorString))
        return false;
    if (kinds.size() != 1) {
        *errorString = QStringLiteral("--rule takes one rule here, not '%1'").arg(kind);
        return false;
    }
    rule.kind = kinds.front();
    return readDirection(direction, rule.direction, errorString);
}

} // namespace CommandLine
