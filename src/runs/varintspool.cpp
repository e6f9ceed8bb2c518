#include "varintspool.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

VarintSpool::~VarintSpool()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool VarintSpool::open(bool inMemory)
{
    m_inMemory = inMemory;
    m_buffer.clear();
    m_written = 0;
    m_failed = false;
    m_error = 0;
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_inMemory)
        return true;
    QByteArray name = QFile::encodeName(QDir::tempPath()) + "/vantrix-patches.XXXXXX";
    m_fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (m_fd < 0) {
        m_error = errno;
        return false;
    }
    ::unlink(name.constData());
    m_buffer.reserve(1 << 16);
    return true;
}

bool VarintSpool::flush()
{
    if (m_inMemory)
        return true;
    size_t done = 0;
    while (!m_failed && done < m_buffer.size()) {
        const ssize_t wrote = ::write(m_fd, m_buffer.data() + done, m_buffer.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            m_failed = true;
            m_error = wrote < 0 ? errno : ENOSPC;
            break;
        }
        done += size_t(wrote);
    }
    m_written += qint64(done);
    m_buffer.clear();
    return !m_failed;
}

bool VarintSpool::read(qint64 begin, qint64 end, std::vector<unsigned char> &out) const
{
    out.resize(size_t(end - begin));
    if (m_inMemory) {
        std::copy(m_buffer.begin() + begin, m_buffer.begin() + end, out.begin());
        return true;
    }
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::pread(m_fd, out.data() + done, out.size() - done, off_t(begin + qint64(done)));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += size_t(got);
    }
    return true;
}

void VarintSpool::putCluster(const Cluster &c)
{
    putSigned(c.value);
    put(c.edges);
    put(quint64(c.cells));
    put(quint64(c.runs));
    put(quint64(c.overlaps));
    put(quint64(c.otherSidesVertical));
    putWide(c.sumX);
    putWide(c.sumY);
    putWide(c.sumSquares);
    put(quint64(c.rowMin));
    put(quint64(c.rowMax));
    put(quint64(c.columnMin));
    put(quint64(c.columnMax));
    put(quint64(c.startColumn));
    put(c.start);
}

bool VarintSpool::Reader::getCluster(Cluster &c)
{
    c.value = qint32(getSigned());
    c.edges = quint8(get());
    c.cells = qint64(get());
    c.runs = qint64(get());
    c.overlaps = qint64(get());
    c.otherSidesVertical = qint64(get());
    c.sumX = getWide();
    c.sumY = getWide();
    c.sumSquares = getWide();
    c.rowMin = qint64(get());
    c.rowMax = qint64(get());
    c.columnMin = qint64(get());
    c.columnMax = qint64(get());
    c.startColumn = qint64(get());
    c.start = get();
    return ok;
}
