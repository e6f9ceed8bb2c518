#pragma once

#include <QStringList>

#include <cstdio>

// The vantrix-generate command: writes neutral landscapes as landscape files.
//
//   vantrix-generate --model MODEL --size L --share P --count N --seed S [-o DIR]
//
// Replicates 1 to N of the model (NeutralLandscape) at share P go to DIR
// (created if missing; default the working directory) as text landscapes, 1
// for habitat and 0 otherwise, a blank after every value. File names:
// MODEL-L<L>-p<P>-s<S>-r<replicate>.txt with the replicate number
// zero-padded to at least 4 digits and to the digits of N, so that ls lists
// them in order; with --format geotiff, as one-band Byte GeoTIFFs (.tif)
// instead. Each file is replaced only when written whole.
//
// Exit status: 0 when every file was written; 1 when one could not be (said
// on standard error; the files before it stay); 2 for a usage error.
class GenerateCommand
{
public:
    // arguments as the bytes of argv decoded as Latin-1, program name first.
    explicit GenerateCommand(QStringList arguments);
    int run();

private:
    int usageError(const QString &message);

    QStringList m_arguments;
    std::FILE *m_err = stderr;
};
