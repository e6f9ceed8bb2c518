#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

// Where a command-line program writes its result: standard output, or a
// file that is replaced only by a complete result.
//
// A file is written to a temporary file beside it ("NAME.XXXXXX") that
// commit() renames over NAME; cancel(), a failed commit() or destruction
// without commit() removes the temporary, so NAME holds the old content or
// the whole new one, never a part. Writes go straight to the system
// (unbuffered) and each is checked, so a full disk or a file-size limit is
// seen at the write that meets it. Names are file-system bytes, used as given.
class OutputFile : public QIODevice
{
    Q_OBJECT

public:
    OutputFile() = default;
    ~OutputFile() override;

    // An empty path is standard output.
    bool open(const QByteArray &path);
    bool commit();
    void cancel();
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override;

private:
    bool fail(int error);

    QByteArray m_path;
    QByteArray m_temporary;
    int m_fd = -1;
};
