// Times one PP study in process: random landscapes, cluster4, either
// direction, grown once per replicate (one-pass) or tested at every share
// (per-share, the method the sweep used before growing replicates).
//   vantrix-bench-sweep SIZE REPLICATES SHARES one-pass|per-share JOBS
// Prints the seconds of PercolationSweep::run and the spanning count of the
// first share, so that both methods can be seen to agree.
#include "landscapeoptions.h"
#include "percolationsweep.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 6) {
        std::fprintf(stderr, "usage: vantrix-bench-sweep SIZE REPLICATES SHARES one-pass|per-share JOBS\n");
        return 2;
    }
    PercolationSweep::Parameters parameters;
    parameters.landscape.model = NeutralLandscape::Random;
    parameters.landscape.size = arguments[1].toLongLong();
    parameters.landscape.seed = 1;
    parameters.replicates = arguments[2].toLongLong();
    QString error;
    if (!LandscapeOptions::parseShares(arguments[3], parameters.shares, parameters.shareTexts, &error)) {
        std::fprintf(stderr, "vantrix-bench-sweep: %s\n", qPrintable(error));
        return 2;
    }
    parameters.rules = {SpanningRule::Cluster4};
    parameters.method = arguments[4] == QLatin1String("per-share") ? PercolationSweep::PerShare
                                                                  : PercolationSweep::OnePass;
    const auto start = std::chrono::steady_clock::now();
    const PercolationSweep::Result result = PercolationSweep::run(parameters, arguments[5].toInt());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.6f %lld\n", seconds, (long long)result.spanning.front());
    return 0;
}
