#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Part K of N of a run, for job arrays and other splits across machines.
//
// K counts from 1 to N, so that a Slurm job array --array=1-N passes
// $SLURM_ARRAY_TASK_ID/$SLURM_ARRAY_TASK_COUNT as they are. Part K of M items
// is the contiguous block [floor((K-1) M / N), floor(K M / N)): the parts in
// order are the items in order, each item in exactly one part, part sizes
// differing by at most one (parts may be empty when N > M).
//
// Output names: "{shard}" in a name stands for K zero-padded to the digits of
// N, then "-of-", then N ("03-of-10"), so the names of one split sort in
// shard order and say which part they hold.
class Shard
{
public:
    qint64 index = 1; // K
    qint64 count = 1; // N

    // "K/N" with 1 <= K <= N; nullopt with the reason otherwise.
    static std::optional<Shard> parse(const QString &text, QString *errorString);

    qint64 begin(qint64 items) const { return qint64((__int128(index - 1) * items) / count); }
    qint64 end(qint64 items) const { return qint64((__int128(index) * items) / count); }

    static constexpr const char *placeholder() { return "{shard}"; }
    QByteArray tag() const;                          // "03-of-10"
    QByteArray expand(const QByteArray &name) const; // every {shard} replaced by tag()

    // The shard a name carries ("...03-of-10..." in its last path
    // component), if it carries exactly one.
    static std::optional<Shard> fromName(const QByteArray &name);
};
