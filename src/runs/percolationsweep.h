#pragma once

#include "neutrallandscape.h"
#include "shard.h"
#include "spanningrule.h"

#include <QByteArrayList>

#include <functional>
#include <optional>
#include <vector>

// A PP sweep: neutral landscapes generated in memory at every share asked
// for, each tested under every rule asked for.
//
// Replicate i (from 1) at a share is the landscape NeutralLandscape gives for
// the model's parameters and replicate number i, so any replicate can be
// written out with vantrix-generate and opened in the desktop program. A
// shard tests its contiguous block of the replicate numbers (Shard), at every
// share. Each replicate is built once and thresholded at each share.
//
// Results do not depend on the number of jobs or on the split into shards:
// the counts are sums over replicates. Memory: one landscape per thread.
class PercolationSweep
{
public:
    struct Parameters
    {
        NeutralLandscape::Parameters landscape;
        QByteArrayList shareTexts;   // the shares as the table writes them
        std::vector<double> shares;  // their values
        qint64 replicates = 0;       // of the whole run
        std::vector<SpanningRule::Kind> rules;
        SpanningRule::Direction direction = SpanningRule::Either;
        std::optional<Shard> shard;  // none for the whole run
    };

    // What a sweep (or a shard of it) found.
    struct Result
    {
        qint64 replicates = 0;          // tested at every share: those of the shard
        std::vector<qint64> spanning;   // per share s and rule k, at s * rules + k
    };

    // Runs the sweep on jobs threads (WorkerPool). progress(done, total), when
    // given, is called on the calling thread after each replicate.
    static Result run(const Parameters &parameters, int jobs,
                      const std::function<void(qint64, qint64)> &progress = {});

    // The description a shard line carries: every parameter of the run.
    static QByteArray description(const Parameters &parameters);
};
