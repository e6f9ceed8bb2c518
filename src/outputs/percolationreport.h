#pragma once

#include "shard.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

class QIODevice;

// Writer of the percolation report: one line per tested file, then the mean.
//
// Format, all lines ending in '\n':
//   <path bytes> TAB <1 or 0>
//   ...
//   Probability Percolation (PP) = <mean>
// The path is written as given, without quoting. The mean is the sum of the
// results divided by their number, in the general notation with 6 significant
// digits ("1", "0.5", "0.666667"); with no result it is "nan".
//
// A part of a split run (--shard) begins with one more line,
//   # vantrix-percolate shard K/N: <description>
// where the description names the run: the number of files and a digest of
// the whole list, and the parameters of the test (see partDescription()).
// The line cannot be a result line (those end in a tab and 0 or 1), and a
// report made without --shard has none.
//
// Every line is written and flushed at once (unless setBuffered() asks
// otherwise); open a file Unbuffered, so that a short write (a full disk) is
// seen at once. The device is not owned. If it is not open, or a write fails,
// later lines are dropped, hasError() turns true and errorString() keeps the
// first reason; the results are still counted.
class PercolationReport
{
public:
    explicit PercolationReport(QIODevice *device);

    // Writes the shard line of a part; call before the first result.
    void beginPart(const Shard &shard, const QByteArray &description);
    void addResult(const QByteArray &encodedPath, int result);
    // Writes the mean line (and whatever buffered lines wait). Call once,
    // after the last result.
    void finish();
    // Buffered, lines are gathered and written in blocks of about 64 KB, so
    // that millions of lines (a merge) cost thousands of writes, not
    // millions; a write error shows at the block. Turning it off writes what
    // waits.
    void setBuffered(bool buffered);

    qint64 resultCount() const { return m_count; }
    double sum() const { return m_sum; }
    bool hasError() const { return !m_errorString.isEmpty(); }
    QString errorString() const { return m_errorString; }

    static QByteArray resultLine(const QByteArray &encodedPath, int result);
    static QByteArray meanLine(double sum, qint64 count);
    // The mean in the general notation with 6 significant digits; NaN as "nan".
    static QByteArray formatMean(double mean);
    static constexpr const char *meanPrefix() { return "Probability Percolation (PP) = "; }
    static QByteArray partLine(const Shard &shard, const QByteArray &description);
    // The description of a part: the whole list (its length and a digest of
    // its paths) and the test's parameters, each "name=value".
    static QByteArray partDescription(const QByteArrayList &wholeList, const QByteArrayList &parameters);

    struct Entry
    {
        QByteArray encodedPath;
        int result = 0;
    };
    // Reads a complete report back: its result lines, in order (a path holding
    // tabs is split at the last one). Returns false, with the reason, for
    // anything that is not a whole report: a line that is not a path, a tab and
    // 0 or 1; a missing or malformed mean line; a mean that does not match the
    // result lines (a report cut short or edited); anything after the mean
    // line. A report whose paths hold line breaks cannot be read back (the
    // format has no quoting), and the reason says so. Cost is linear in its size.
    static bool parse(const QByteArray &bytes, QList<Entry> &entries, QString *errorString = nullptr);

    // The same rules for a report given line by line (without the newlines),
    // so that a stream is refused at its first wrong line; each result is
    // handed to onEntry as soon as it is known not to be the mean line (one
    // line later), so that memory is bounded by a line. A first line that is
    // a shard line is taken as such (part()).
    class Parser
    {
    public:
        explicit Parser(std::function<void(const Entry &)> onEntry);
        // Returns false, with errorString(), once the lines cannot be a report.
        bool addLine(const QByteArray &line);
        // After the last line, which ended with a newline when lastLineEnded.
        bool finish(bool lastLineEnded);
        QString errorString() const { return m_errorString; }
        // A part's shard and description, from its first line.
        const std::optional<Shard> &shard() const { return m_shard; }
        const QByteArray &description() const { return m_description; }
        qint64 resultCount() const { return m_count; }

    private:
        bool fail(const QString &why);
        bool addResult(const QByteArray &line, qint64 lineNumber);

        std::function<void(const Entry &)> m_onEntry;
        std::optional<Shard> m_shard;
        QByteArray m_description;
        qint64 m_count = 0;
        double m_sum = 0;
        qint64 m_lineNumber = 0;
        bool m_meanSeen = false; // the last line read as the mean line
        QByteArray m_meanCandidate;
        QString m_errorString;
    };

    // Joins reports made from parts of one batch into the report of the whole
    // batch, written to report, reading each part line by line (memory
    // bounded by a line, whatever their size). Parts with shard lines are
    // taken in shard order, whatever order they are given in, and must be
    // every part of one run, once each; parts without are taken in the order
    // given, and a part whose name carries a shard ("03-of-10") must stand at
    // its place. A part is a regular file, or a pipe reached through "-"
    // (standard input) or /dev/fd/N. Returns false with the reason (naming
    // the part) when a part cannot be read or is not a report, or the parts
    // are not those of one run; lines already written to report then stand
    // (a file written through OutputFile is not replaced).
    static bool merge(const QByteArrayList &parts, PercolationReport &report, QString *errorString);

private:
    void write(const QByteArray &line);
    void writeOut(const QByteArray &bytes);

    QIODevice *m_device;
    bool m_buffered = false;
    QByteArray m_pending;
    double m_sum = 0.0;
    qint64 m_count = 0;
    QString m_errorString;
};
