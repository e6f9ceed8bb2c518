#pragma once

#include "neutrallandscape.h"

#include <QByteArray>
#include <QStringList>

#include <cstdio>

// What vantrix-generate is asked to do.
struct GenerateOptions
{
    NeutralLandscape::Parameters landscape;
    double share = 0;
    QByteArray shareText;       // the share as names carry it
    qint64 count = 0;           // replicates 1 to count
    QByteArray directory;       // where the files go ("" the working directory), ending in '/' when given
    bool geotiff = false;
};

// The vantrix-generate command: writes neutral landscapes as landscape files.
//
//   vantrix-generate --model MODEL --size L --share P --count N --seed S [-o DIR]
//
// Replicates 1 to N of the model (NeutralLandscape) at share P go to DIR
// (created if missing; default the working directory) as text landscapes, 1
// for habitat and 0 otherwise, a blank after every value. File names:
// MODEL[-H<H>|-Q<Q>]-L<L>-p<P>-s<S>-r<replicate>.txt, the fractal model's
// roughness H and the clusters model's seed share Q included, so that runs
// with other parameters in one folder keep apart; the replicate number is
// zero-padded to at least 4 digits and to the digits of N, so that ls lists
// them in order. With --format geotiff, one-band Byte GeoTIFFs (.tif)
// instead. Each file is replaced only when written whole.
//
// Exit status: 0 when every file was written; 1 when one could not be (said
// on standard error; the files before it stay) or memory ran out; 2 for a
// usage error, and for a model whose working memory this machine (or the
// process's limits) cannot give, refused before anything is made.
namespace GenerateTool {

bool parse(const QStringList &arguments, GenerateOptions &options, QString *errorString);
int run(const GenerateOptions &options, std::FILE *err = stderr);
// The file name of a replicate, without the folder.
QByteArray fileName(const GenerateOptions &options, qint64 replicate);

} // namespace GenerateTool
