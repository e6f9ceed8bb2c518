#pragma once

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

// A progress line on standard error, rewritten in place at most five times a
// second: done of total, the rate, and the time left. Meant for a terminal;
// callers show it only when standard error is one.
class ProgressLine
{
public:
    // unit names what is counted ("files", "replicates").
    ProgressLine(std::FILE *out, qint64 total, const char *unit);

    void update(qint64 done);
    // Ends the line, so that a message can follow on a line of its own.
    void interrupt();

private:
    std::FILE *m_out;
    qint64 m_total;
    const char *m_unit;
    QElapsedTimer m_clock;
    qint64 m_lastPrint = -1000;
    bool m_open = false;
};
