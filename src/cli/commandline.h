#pragma once

#include "shard.h"
#include "spanningrule.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

#include <optional>
#include <vector>

// The parts of argument handling that the command-line programs share.
// Each reading function returns false with the reason (for a usage error,
// exit status 2) when the arguments do not say something valid.
namespace CommandLine {

// What every program does first: a file-size limit fails the write, which is
// then reported, rather than killing the program without a word; SIGTERM,
// SIGINT and SIGHUP remove the temporary files of outputs not yet complete;
// memory that runs out where no caller can take it back (in GDAL, in a
// thread, while writing a result) ends the program with a message on
// standard error, exit status 1 and no temporary file, not an abort.
void prepareProcess(const char *program);

// argv as the bytes given, each decoded as Latin-1, so that toLatin1() gives
// the bytes back: paths need not be valid in the locale's encoding.
QStringList arguments(int argc, char *argv[]);
QByteArrayList bytes(const QStringList &arguments);

// Prints "PROGRAM: MESSAGE (see --help)" and returns 2.
int usageError(const char *program, const QString &message);

// Parses arguments; --help and --version print and end the program here.
bool parse(QCommandLineParser &parser, const QStringList &arguments, QString *errorString);

// --shard K/N, and the output name with {shard} expanded; {shard} without
// --shard is an error.
bool readShard(const QCommandLineParser &parser, const QCommandLineOption &shardOption, QByteArray &output,
               std::optional<Shard> &shard, QString *errorString);

// --jobs N (at least 1); the number of processor cores when not given.
bool readJobs(const QCommandLineParser &parser, const QCommandLineOption &jobsOption, int &jobs, QString *errorString);

// The names of rules (walk, cluster4, cluster8) and directions (either,
// left-right, top-bottom): one rule, or a comma-separated list of different
// ones.
bool readRule(const QString &kind, const QString &direction, SpanningRule &rule, QString *errorString);
bool readRules(const QString &kinds, std::vector<SpanningRule::Kind> &rules, QString *errorString);
bool readDirection(const QString &name, SpanningRule::Direction &direction, QString *errorString);

} // namespace CommandLine
