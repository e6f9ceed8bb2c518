#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <QByteArrayList>

#include <functional>
#include <memory>
#include <optional>

// Where a program writes a result: standard output, or a file that is
// replaced only by a complete result, or something that is not a file.
//
// What the name is decides how it is written:
//  - a regular file, or nothing yet: a temporary file beside it
//    ("NAME.XXXXXX", kept by TemporaryFiles so that a signal removes it) is
//    written and renamed over NAME by commit(); cancel(), a failed commit()
//    or destruction without commit() removes the temporary, so NAME holds
//    the old content or the whole new one, never a part. The file keeps its
//    permissions. A file with other hard links becomes a new file: the other
//    names keep the old content.
//  - a symbolic link (a chain of them too): the same for the file it points
//    to, in that file's folder; the link stays a link.
//  - a device or a FIFO (/dev/null, /dev/stdout, a named pipe): written
//    directly, as a shell's redirection would; it is never replaced by a
//    file. A FIFO's open waits for a reader.
//  - a directory: refused.
// Writes go straight to the system (unbuffered) and each is checked, so a full
// disk or a file-size limit is seen at the write that meets it. Names are
// file-system bytes, used as given.
class OutputFile : public QIODevice
{
    Q_OBJECT

public:
    OutputFile() = default;
    ~OutputFile() override;

    // An empty path, or "-", is standard output.
    bool open(const QByteArray &path);
    bool commit();
    void cancel();
    bool isSequential() const override { return true; }

    // Where the result will be once committed: the path given, or the file
    // a symbolic link points to.
    QByteArray target() const { return m_target; }
    // Whether the result goes straight to its target (standard output, a
    // device, a FIFO), with no temporary file.
    bool isDirect() const { return m_temporary.isEmpty(); }

    // The file a name finally stands for: the name itself unless it is a
    // symbolic link, else the end of the chain of links (which need not
    // exist yet). False, with errno set, for a loop or an unreadable link.
    static bool resolveLinks(const QByteArray &path, QByteArray &target);

    // The first of outputs that is the same file as one of inputs (through
    // links too: the same device and inode), with that input; nullopt when
    // none is. Outputs that do not exist yet, standard output ("-", empty)
    // and what is not a regular file (a device, a FIFO) collide with nothing.
    struct Collision
    {
        QByteArray output;
        QByteArray input;
    };
    static std::optional<Collision> overwritesInput(const QByteArrayList &outputs, const QByteArrayList &inputs);

    // Writes bytes whole to path as open() and commit() do; false, with the
    // reason, if that fails.
    static bool writeWhole(const QByteArray &path, const QByteArray &bytes, QString *errorString);

    // For a file that another writer makes by name (GDAL, say): writer(name)
    // writes the whole result to the temporary file name, which then takes
    // path's place as open() and commit() would; for a device or a FIFO the
    // temporary lies in the system's temporary folder and is copied into it.
    // The temporary is gone afterwards, whatever happened, and a signal
    // removes it meanwhile. False, with the reason, if anything fails.
    static bool writeVia(const QByteArray &path, const std::function<bool(const QByteArray &, QString *)> &writer,
                         QString *errorString);

    // The same in steps, for several such files made at once: begin()
    // gives the temporary name the writer makes the file at, commit() puts
    // it in path's place (and removes it; for a device or a FIFO it is
    // copied there). A Staged that is not committed removes its file.
    class Staged
    {
    public:
        Staged() = default;
        ~Staged();
        Staged(const Staged &) = delete;
        Staged &operator=(const Staged &) = delete;
        bool begin(const QByteArray &path, QString *errorString);
        QByteArray name() const { return m_name; }
        bool commit(QString *errorString);
        void cancel();

    private:
        std::unique_ptr<OutputFile> m_target;
        QByteArray m_name;
        int m_handle = -1;
    };

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override;

private:
    bool fail(int error);

    QByteArray m_target;
    QByteArray m_temporary;
    int m_temporaryHandle = -1;
    int m_fd = -1;
    bool m_ownsFd = false;
};
