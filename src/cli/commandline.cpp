#include "commandline.h"

#include <QThread>

namespace CommandLine {

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

} // namespace CommandLine
