#pragma once

#include <QtGlobal>

// How much memory this process may use: the machine's physical memory, and
// the limits set on the process (ulimit -v, ulimit -d), whichever is least.
// 0 where nothing is known. For refusing, before they start, what cannot fit.
namespace SystemMemory {

qint64 physical();
// The least of the physical memory and the address-space and data limits.
qint64 limit();
// limit() less what the process already uses of the limits (its address
// space), so the most one more allocation may still get.
qint64 available();

} // namespace SystemMemory
