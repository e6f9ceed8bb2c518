#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

// Reads a text stream line by line, for the lists of paths and the reports
// that the command-line programs read: files, standard input, pipes and
// process substitutions alike.
//
// A line ends at a newline (not included; a carriage return before it is
// kept, callers decide); the last line needs none. Memory is bounded by
// maxLineLength(): a longer line, or a NUL byte anywhere (no path and no
// report holds one), ends the reading with an error, so that a binary file
// is refused after at most one read buffer, in bounded time and memory. Read
// errors end it too. The buffer starts small and grows only for long lines,
// so that many readers may be open at once.
//
// What is read: a regular file; standard input ("-"), whatever it is; a pipe
// that was asked for by name, /dev/stdin or /dev/fd/N (a shell's process
// substitution); and a character device that is not a terminal (/dev/null).
// Anything else (a named FIFO, which would wait for a writer for ever; a
// terminal; a block device; a directory) is refused at open().
class LineReader
{
public:
    static constexpr qsizetype maxLineLength() { return 1 << 16; }

    LineReader();
    ~LineReader();
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    // Opens path (file-system bytes); "-" is standard input.
    bool open(const QByteArray &path);

    enum Status { Line, End, Error };
    // The next line into line; End after the last one; Error with
    // errorString() (which names the line) for an unreadable stream, an
    // over-long line or a NUL byte.
    Status next(QByteArray &line);
    QString errorString() const { return m_errorString; }
    qint64 lineNumber() const { return m_lineNumber; }
    // Whether the last line returned ended with a newline.
    bool lineEnded() const { return m_lineEnded; }

private:
    bool fill();

    int m_fd = -1;
    bool m_ownsFd = false;
    std::unique_ptr<char[]> m_buffer;
    qsizetype m_capacity = 0;
    qsizetype m_start = 0;
    qsizetype m_end = 0;
    bool m_eof = false;
    bool m_lineEnded = false;
    qint64 m_lineNumber = 0;
    QString m_errorString;
};
