#pragma once

#include "shard.h"

#include <QByteArray>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

#include <optional>

// The parts of argument handling that the command-line programs share.
// Each reading function returns false with the reason (for a usage error,
// exit status 2) when the arguments do not say something valid.
namespace CommandLine {

// Parses arguments; --help and --version print and end the program here.
bool parse(QCommandLineParser &parser, const QStringList &arguments, QString *errorString);

// --shard K/N, and the output name with {shard} expanded; {shard} without
// --shard is an error.
bool readShard(const QCommandLineParser &parser, const QCommandLineOption &shardOption, QByteArray &output,
               std::optional<Shard> &shard, QString *errorString);

// --jobs N (at least 1); the number of processor cores when not given.
bool readJobs(const QCommandLineParser &parser, const QCommandLineOption &jobsOption, int &jobs, QString *errorString);

} // namespace CommandLine
