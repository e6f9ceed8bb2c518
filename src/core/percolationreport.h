#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

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
// Every line is written and flushed at once; open a file Unbuffered, so that a
// short write (a full disk) is seen at once. The device is not owned. If it is
// not open, or a write fails, later lines are dropped, hasError() turns true
// and errorString() keeps the first reason; the results are still counted.
class PercolationReport
{
public:
    explicit PercolationReport(QIODevice *device);

    void addResult(const QByteArray &encodedPath, int result);
    // Writes the mean line. Call once, after the last result.
    void finish();

    qint64 resultCount() const { return m_count; }
    double sum() const { return m_sum; }
    bool hasError() const { return !m_errorString.isEmpty(); }
    QString errorString() const { return m_errorString; }

    static QByteArray resultLine(const QByteArray &encodedPath, int result);
    static QByteArray meanLine(double sum, qint64 count);
    // The mean in the general notation with 6 significant digits; NaN as "nan".
    static QByteArray formatMean(double mean);
    static constexpr const char *meanPrefix() { return "Probability Percolation (PP) = "; }

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
    // so that a stream is refused at its first wrong line.
    class Parser
    {
    public:
        // Returns false, with errorString(), once the lines cannot be a report.
        bool addLine(const QByteArray &line);
        // After the last line, which ended with a newline when lastLineEnded.
        bool finish(bool lastLineEnded);
        QList<Entry> &entries() { return m_entries; }
        QString errorString() const { return m_errorString; }

    private:
        bool fail(const QString &why);
        bool addResult(const QByteArray &line, qint64 lineNumber);

        QList<Entry> m_entries;
        double m_sum = 0;
        qint64 m_lineNumber = 0;
        bool m_meanSeen = false; // the last line read as the mean line
        QByteArray m_meanCandidate;
        QString m_errorString;
    };

private:
    void write(const QByteArray &line);

    QIODevice *m_device;
    double m_sum = 0.0;
    qint64 m_count = 0;
    QString m_errorString;
};
