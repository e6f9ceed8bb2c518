// config.txt reading on any bytes: no crash, and the values read back after
// writing them.
#include "configfile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ConfigFile config;
    config.parse(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    ConfigFile again;
    again.parse(config.serialize());
    if (again.coverValue != config.coverValue || again.matrixValue != config.matrixValue)
        std::abort();
    return 0;
}
