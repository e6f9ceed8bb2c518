#include "percolationreport.h"

#include <QCoreApplication>
#include <QFileDevice>
#include <QIODevice>

#include <charconv>
#include <cmath>

PercolationReport::PercolationReport(QIODevice *device)
    : m_device(device)
{
    if (!m_device || !m_device->isOpen() || !m_device->isWritable()) {
        m_errorString = m_device && !m_device->errorString().isEmpty()
                ? m_device->errorString()
                : QCoreApplication::translate("PercolationReport", "the report is not open for writing");
    }
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
}

void PercolationReport::write(const QByteArray &line)
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

bool PercolationReport::Parser::fail(const QString &why)
{
    if (m_errorString.isEmpty())
        m_errorString = why;
    return false;
}

bool PercolationReport::Parser::addResult(const QByteArray &line, qint64 lineNumber)
{
    const qsizetype tab = line.lastIndexOf('\t');
    const QByteArray value = tab < 0 ? QByteArray() : line.mid(tab + 1);
    if (tab <= 0 || (value != "0" && value != "1")) {
        QString why = QCoreApplication::translate("PercolationReport", "line %1 is not a path, a tab and 0 or 1")
                              .arg(lineNumber);
        if (tab < 0) {
            why += QCoreApplication::translate("PercolationReport",
                                               " (it has no tab; if a listed path holds a line break, its "
                                               "line is split in two and the report cannot be read back)");
        }
        return fail(why);
    }
    m_entries.append({line.left(tab), value == "1" ? 1 : 0});
    m_sum += m_entries.last().result;
    return true;
}

bool PercolationReport::Parser::addLine(const QByteArray &line)
{
    if (!m_errorString.isEmpty())
        return false;
    ++m_lineNumber;
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
        if (meanLine(m_sum, m_entries.size()) == line + '\n') {
            m_meanSeen = true;
            m_meanCandidate = line;
            return true;
        }
        if (!addResult(line, m_lineNumber)) {
            m_errorString.clear();
            return fail(QCoreApplication::translate("PercolationReport",
                                                    "the mean line does not match the %n result line(s)", nullptr,
                                                    int(m_entries.size())));
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
    Parser parser;
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
    entries += parser.entries();
    return true;
}
