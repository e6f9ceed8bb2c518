#pragma once

#include "cluster.h"

#include <QString>

#include <vector>

// Unsigned numbers written one after the other (LEB128: a byte for numbers
// below 128), to a temporary file without a name (nothing is left behind
// whatever happens) or to memory, and read back from any offset: how the
// patch passes keep what a map's rows and patches leave behind, in a few
// bytes per run and per cluster.
class VarintSpool
{
public:
    VarintSpool() = default;
    ~VarintSpool();
    VarintSpool(const VarintSpool &) = delete;
    VarintSpool &operator=(const VarintSpool &) = delete;

    // Drops what was kept; false, with errno in error(), when there is no
    // temporary file.
    bool open(bool inMemory);
    qint64 offset() const { return m_written + qint64(m_buffer.size()); }

    void put(quint64 value)
    {
        while (value >= 0x80) {
            m_buffer.push_back((unsigned char)(value | 0x80));
            value >>= 7;
        }
        m_buffer.push_back((unsigned char)value);
        if (!m_inMemory && m_buffer.size() >= (1 << 16))
            flush();
    }
    void putWide(unsigned __int128 value)
    {
        put(quint64(value));
        put(quint64(value >> 64));
    }
    void putSigned(qint64 value) { put((quint64(value) << 1) ^ quint64(value >> 63)); }
    void putCluster(const Cluster &c);

    // Hands what waits to the file; false once anything could not be written.
    bool flush();
    bool failed() const { return m_failed; }
    int error() const { return m_error; }
    // The bytes in [begin, end) into out; false when they cannot be read.
    bool read(qint64 begin, qint64 end, std::vector<unsigned char> &out) const;

    // Reads back what a spool wrote; ok turns false at bytes that are not
    // what was written.
    struct Reader
    {
        const unsigned char *at;
        const unsigned char *end;
        bool ok = true;

        quint64 get()
        {
            quint64 value = 0;
            int shift = 0;
            while (at < end) {
                const unsigned char byte = *at++;
                value |= quint64(byte & 0x7F) << shift;
                if (!(byte & 0x80))
                    return value;
                shift += 7;
                if (shift > 63)
                    break;
            }
            ok = false;
            return 0;
        }
        unsigned __int128 getWide()
        {
            const quint64 low = get();
            return (unsigned __int128)low | ((unsigned __int128)get() << 64);
        }
        qint64 getSigned()
        {
            const quint64 v = get();
            return qint64(v >> 1) ^ -qint64(v & 1);
        }
        bool getCluster(Cluster &c);
    };

private:
    bool m_inMemory = false;
    int m_fd = -1;
    std::vector<unsigned char> m_buffer; // what waits to be written, or everything in memory
    qint64 m_written = 0;                // bytes handed to the file
    bool m_failed = false;
    int m_error = 0;
};
