#include "percolationreport.h"

#include "linereader.h"
#include "splitparts.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFileDevice>
#include <QIODevice>

#include <charconv>
#include <cmath>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include <sys/stat.h>

namespace {

const char PartPrefix[] = "# vantrix-percolate shard ";

QString tr(const char *text)
{
    return QCoreApplication::translate("PercolationReport", text);
}

} // namespace

PercolationReport::PercolationReport(QIODevice *device)
    : m_device(device)
{
    if (!m_device || !m_device->isOpen() || !m_device->isWritable()) {
        m_errorString = m_device && !m_device->errorString().isEmpty()
                ? m_device->errorString()
                : QCoreApplication::translate("PercolationReport", "the report is not open for writing");
    }
}

void PercolationReport::beginPart(const Shard &shard, const QByteArray &description)
{
    write(partLine(shard, description));
}

QByteArray PercolationReport::partLine(const Shard &shard, const QByteArray &description)
{
    return SplitParts::shardLine(PartPrefix, shard, description);
}

QByteArray PercolationReport::partDescription(const QByteArrayList &wholeList, const QByteArrayList &parameters)
{
    QCryptographicHash digest(QCryptographicHash::Sha256);
    for (const QByteArray &path : wholeList) {
        digest.addData(path);
        digest.addData(QByteArrayView("\n", 1));
    }
    QByteArray out = "files=" + QByteArray::number(wholeList.size()) + " list=" + digest.result().toHex().left(16);
    for (const QByteArray &parameter : parameters)
        out += ' ' + parameter;
    return out;
}

void PercolationReport::addResult(const QByteArray &encodedPath, int result)
{
    m_sum += result;
    ++m_count;
    write(resultLine(encodedPath, result));
}

void PercolationReport::finish()
{
    write(meanLine(m_sum, m_count));
    setBuffered(false);
}

void PercolationReport::setBuffered(bool buffered)
{
    m_buffered = buffered;
    if (!buffered && !m_pending.isEmpty()) {
        writeOut(m_pending);
        m_pending.clear();
    }
}

void PercolationReport::write(const QByteArray &line)
{
    if (hasError())
        return;
    if (!m_buffered) {
        writeOut(line);
        return;
    }
    constexpr qsizetype Block = qsizetype(1) << 16;
    if (m_pending.isEmpty())
        m_pending.reserve(Block + 256);
    m_pending += line;
    if (m_pending.size() >= Block) {
        writeOut(m_pending);
        m_pending.clear();
    }
}

void PercolationReport::writeOut(const QByteArray &line)
{
    if (hasError())
        return;
    const qint64 written = m_device->write(line);
    bool ok = written == line.size();
    if (ok) {
        if (auto *file = qobject_cast<QFileDevice *>(m_device))
            ok = file->flush();
    }
    if (!ok) {
        m_errorString = written >= 0 && written < line.size()
                ? QCoreApplication::translate("PercolationReport", "a line could not be written completely (is the disk full?)")
                : m_device->errorString();
        if (m_errorString.isEmpty())
            m_errorString = QCoreApplication::translate("PercolationReport", "the report could not be written");
    }
}

QByteArray PercolationReport::resultLine(const QByteArray &encodedPath, int result)
{
    QByteArray line;
    line.reserve(encodedPath.size() + 3);
    line += encodedPath;
    line += '\t';
    line += QByteArray::number(result);
    line += '\n';
    return line;
}

QByteArray PercolationReport::meanLine(double sum, qint64 count)
{
    return QByteArray(meanPrefix()) + formatMean(sum / double(count)) + '\n';
}

QByteArray PercolationReport::formatMean(double mean)
{
    if (std::isnan(mean))
        return QByteArrayLiteral("nan");
    // std::to_chars ignores the C locale, which QCoreApplication sets from the
    // environment and which would turn the decimal point into a comma.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, mean, std::chars_format::general, 6);
    return QByteArray(buffer, int(result.ptr - buffer));
}

PercolationReport::Parser::Parser(std::function<void(const Entry &)> onEntry)
    : m_onEntry(std::move(onEntry))
{
}

bool PercolationReport::Parser::fail(const QString &why)
{
    if (m_errorString.isEmpty())
        m_errorString = why;
    return false;
}

bool PercolationReport::Parser::addResult(const QByteArray &line, qint64 lineNumber)
{
    const qsizetype tab = line.lastIndexOf('\t');
    if (tab <= 0 || line.size() != tab + 2 || (line.back() != '0' && line.back() != '1')) {
        QString why = QCoreApplication::translate("PercolationReport", "line %1 is not a path, a tab and 0 or 1")
                              .arg(lineNumber);
        if (tab < 0) {
            why += QCoreApplication::translate("PercolationReport",
                                               " (it has no tab; if a listed path holds a line break, its "
                                               "line is split in two and the report cannot be read back)");
        }
        return fail(why);
    }
    const Entry entry{line.left(tab), line.back() == '1' ? 1 : 0};
    m_sum += entry.result;
    ++m_count;
    if (m_onEntry)
        m_onEntry(entry);
    return true;
}

bool PercolationReport::Parser::addLine(const QByteArray &line)
{
    if (!m_errorString.isEmpty())
        return false;
    ++m_lineNumber;
    if (m_lineNumber == 1 && line.startsWith(PartPrefix) && !line.endsWith("\t0") && !line.endsWith("\t1")) {
        const QByteArray rest = line.mid(qsizetype(sizeof PartPrefix) - 1);
        const qsizetype colon = rest.indexOf(": ");
        QString why;
        if (colon > 0)
            m_shard = Shard::parse(QString::fromLatin1(rest.left(colon)), &why);
        if (!m_shard)
            return fail(tr("line 1 is not a shard line"));
        m_description = rest.mid(colon + 2);
        return true;
    }
    if (m_meanSeen) {
        // The line that read as the mean line was not the last one: it can
        // only have been the result line of a path that starts like it.
        m_meanSeen = false;
        if (!addResult(m_meanCandidate, m_lineNumber - 1)) {
            m_errorString.clear();
            return fail(QCoreApplication::translate("PercolationReport", "line %1 follows the mean line")
                                .arg(m_lineNumber));
        }
    }
    if (line.startsWith(meanPrefix())) {
        if (meanLine(m_sum, m_count) == line + '\n') {
            m_meanSeen = true;
            m_meanCandidate = line;
            return true;
        }
        if (!addResult(line, m_lineNumber)) {
            m_errorString.clear();
            return fail(QCoreApplication::translate("PercolationReport",
                                                    "the mean line does not match the %n result line(s)", nullptr,
                                                    int(m_count)));
        }
        return true;
    }
    return addResult(line, m_lineNumber);
}

bool PercolationReport::Parser::finish(bool lastLineEnded)
{
    if (!m_errorString.isEmpty())
        return false;
    if (!m_meanSeen)
        return fail(QCoreApplication::translate("PercolationReport", "the report has no mean line at its end"));
    if (!lastLineEnded)
        return fail(QCoreApplication::translate("PercolationReport", "the report does not end with a complete line"));
    return true;
}

bool PercolationReport::parse(const QByteArray &bytes, QList<Entry> &entries, QString *errorString)
{
    QList<Entry> found;
    Parser parser([&found](const Entry &entry) { found.append(entry); });
    qsizetype pos = 0;
    bool ok = true;
    while (ok && pos < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', pos);
        const bool ended = end >= 0;
        if (!ended)
            end = bytes.size();
        ok = parser.addLine(bytes.mid(pos, end - pos));
        pos = end + 1;
        if (ok && pos >= bytes.size())
            ok = parser.finish(ended);
    }
    if (ok && bytes.isEmpty())
        ok = parser.finish(false);
    if (!ok) {
        if (errorString)
            *errorString = parser.errorString();
        return false;
    }
    entries += found;
    return true;
}

bool PercolationReport::merge(const QByteArrayList &paths, PercolationReport &report, QString *errorString)
{
    // Lines in blocks while merging; whatever waits is written on the way out.
    struct Buffering
    {
        PercolationReport &report;
        ~Buffering() { report.setBuffered(false); }
    } buffering{report};
    report.setBuffered(true);
    auto refuse = [errorString](const QByteArray &path, const QString &why) {
        if (errorString)
            *errorString = QString::fromLocal8Bit(path) + QStringLiteral(": ") + why;
        return false;
    };
    const SplitParts::Kind kind{tr("reports"), tr("report"), PartPrefix};
    std::vector<SplitParts::Part> parts;
    if (!SplitParts::openAll(paths, kind, false, parts, errorString))
        return false;
    if (!parts.front().shard) {
        // Parts from before shard lines, or from a split of one's own: names
        // that carry a shard must stand in shard order.
        QList<Shard> named;
        for (const SplitParts::Part &part : parts) {
            if (const auto shard = Shard::fromName(part.path))
                named << *shard;
        }
        if (!named.isEmpty() && named.size() != qsizetype(parts.size()))
            return refuse(parts.front().path, tr("the names of some parts say which shard they hold, others do not"));
        for (qsizetype i = 0; i < named.size(); ++i) {
            if (named[i].count != named[0].count)
                return refuse(parts[size_t(i)].path, tr("holds shard %1 of %2, but the parts before it are of %3: parts of "
                                                        "different splits").arg(named[i].index).arg(named[i].count).arg(named[0].count));
            if (named[i].index != i + 1)
                return refuse(parts[size_t(i)].path, tr("holds shard %1 of %2, but shard %3 belongs here: a part is "
                                                        "missing, doubled or out of order").arg(named[i].index).arg(named[i].count).arg(i + 1));
        }
        if (!named.isEmpty() && named.size() != named[0].count)
            return refuse(parts.back().path, tr("is the last part given, but there are %1").arg(named[0].count));
    }

    // Then every part line by line: the files are read once to check them,
    // so that a bad part stops the merge before a line is written; a pipe,
    // which can be read only once, is checked as its results are written.
    auto readPart = [&](SplitParts::Part &part, bool write) {
        if (!part.reader && !SplitParts::open(part, kind, errorString))
            return false;
        Parser parser(write ? std::function<void(const Entry &)>([&report](const Entry &entry) {
            report.addResult(entry.encodedPath, entry.result);
        })
                            : std::function<void(const Entry &)>());
        bool ok = !part.shard || parser.addLine(partLine(*part.shard, part.description).chopped(1));
        bool ended = true;
        if (ok && part.hasHead) {
            ok = parser.addLine(part.head);
            ended = part.headEnded;
        }
        QByteArray line;
        LineReader::Status status = LineReader::Line;
        while (ok && (status = part.reader->next(line)) == LineReader::Line) {
            ok = parser.addLine(line);
            ended = part.reader->lineEnded();
        }
        if (status == LineReader::Error)
            return refuse(part.path, tr("not a report: %1").arg(part.reader->errorString()));
        if (!ok || !parser.finish(ended))
            return refuse(part.path, tr("not a complete report: %1").arg(parser.errorString()));
        part.reader.reset();
        return true;
    };
    for (SplitParts::Part &part : parts) {
        if (!part.reader && !readPart(part, false))
            return false;
    }
    for (SplitParts::Part &part : parts) {
        if (!readPart(part, true))
            return false;
    }
    return true;
}
