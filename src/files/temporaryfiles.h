#pragma once

#include <QByteArray>

// The temporary files of outputs not yet complete, removed should the
// process be told to stop (SIGTERM, SIGINT, SIGHUP) before they are renamed
// into place: a stopped run leaves the old outputs and no temporary file.
//
// Up to maxFiles() paths of up to maxPathBytes() bytes are kept at once
// (more are not removed on a signal, but are still removed by their owners).
// add() and remove() may be called from any thread.
namespace TemporaryFiles {

constexpr int maxFiles() { return 64; }
constexpr int maxPathBytes() { return 4095; }

// Remembers path (file-system bytes); returns a handle for remove(), or -1
// when it cannot be kept.
int add(const QByteArray &path);
// Creates a new file "BASE.XXXXXX" (six random letters or digits) for
// writing, mode 0600, and remembers it: its name is remembered before the
// file exists, so that a signal arriving at any moment finds every temporary
// file there is (a name not made yet is nothing to remove). Returns the open
// descriptor (close-on-exec) with name and *handle set, or -1 with errno.
int create(const QByteArray &base, QByteArray &name, int *handle);
// Forgets the path of handle (it was renamed or removed); -1 is ignored.
void remove(int handle);

// Installs the handlers: on SIGTERM, SIGINT or SIGHUP every remembered file
// is removed and the signal then ends the process as it would have.
void removeOnSignals();

// Removes every remembered file and ends the process with status, at once
// (no destructor runs): for failures the process cannot go on from. Only
// async-signal-safe calls.
[[noreturn]] void removeAllAndExit(int status);

} // namespace TemporaryFiles
