#include "temporaryfiles.h"

#include <QRandomGenerator>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

enum SlotState : int { Free, Writing, Kept };

struct Slot
{
    std::atomic<int> state{Free};
    char path[TemporaryFiles::maxPathBytes() + 1];
};

Slot keptFiles[TemporaryFiles::maxFiles()];

void unlinkKept()
{
    for (Slot &slot : keptFiles) {
        if (slot.state.load(std::memory_order_acquire) == Kept)
            ::unlink(slot.path);
    }
}

// Only async-signal-safe calls: unlink, sigaction, raise.
extern "C" void removeAndStop(int signal)
{
    unlinkKept();
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    raise(signal);
}

} // namespace

namespace TemporaryFiles {

int add(const QByteArray &path)
{
    if (path.isEmpty() || path.size() > maxPathBytes())
        return -1;
    for (int i = 0; i < maxFiles(); ++i) {
        int expected = Free;
        if (keptFiles[i].state.compare_exchange_strong(expected, Writing, std::memory_order_acq_rel)) {
            std::memcpy(keptFiles[i].path, path.constData(), size_t(path.size()));
            keptFiles[i].path[path.size()] = '\0';
            keptFiles[i].state.store(Kept, std::memory_order_release);
            return i;
        }
    }
    return -1;
}

int create(const QByteArray &base, QByteArray &name, int *handle)
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    // "NAME.XXXXXX" beside NAME; when that would be longer than a file name
    // may be (NAME_MAX, 255 bytes), a hidden name of its own in that folder.
    const qsizetype slash = base.lastIndexOf('/');
    const QByteArray stem = base.size() - (slash + 1) + 7 > 255 ? base.left(slash + 1) + ".vantrix" : base;
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = stem + '.';
        for (int i = 0; i < 6; ++i)
            name += letters[QRandomGenerator::system()->bounded(int(sizeof letters) - 1)];
        // Remembered first: with mkstemp() and add() after it, a signal
        // between the two would leave the file behind.
        const int kept = add(name);
        int fd;
        do {
            fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            *handle = kept;
            return fd;
        }
        const int error = errno;
        remove(kept);
        if (error != EEXIST) {
            errno = error;
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

void remove(int handle)
{
    if (handle >= 0 && handle < maxFiles())
        keptFiles[handle].state.store(Free, std::memory_order_release);
}

void removeAllAndExit(int status)
{
    unlinkKept();
    ::_exit(status);
}

void removeOnSignals()
{
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = removeAndStop;
        sigemptyset(&action.sa_mask);
        // A signal already ignored (nohup, a background job's SIGINT) stays ignored.
        struct sigaction old;
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        sigaction(signal, &action, nullptr);
    }
}

} // namespace TemporaryFiles
