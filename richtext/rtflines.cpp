#include "richtext/rtflines.h"

namespace natter::rtf::detail {

namespace {
// Beyond this many runs (a hostile document) the look stops changing.
constexpr qsizetype kMaxRuns = 4'000'000;
} // namespace

void LineBuilder::setLook(const CharFormat &format, int codePage)
{
    if (codePage != m_codePage) {
        flush(false);
        m_codePage = codePage;
    }
    if (format != m_format && m_runs.size() < kMaxRuns) {
        // A character cut short waits for the rest of its bytes.
        flush(true);
        closeRun();
        m_format = format;
    }
}

void LineBuilder::joinIfPending()
{
    if (!m_joinPending)
        return;
    m_joinPending = false;
    flush(false);
    m_line += QLatin1Char(' ');
}

void LineBuilder::addUnits(char16_t unit, qsizetype count)
{
    joinIfPending();
    flush(false);
    if (count == 1)
        m_line += QChar(unit);
    else
        m_line += QString(count, QChar(unit));
}

void LineBuilder::closeRun()
{
    const qsizetype length = m_line.size() - m_runStart;
    if (length > 0) {
        const qsizetype line = m_lines.size();
        Run *last = m_runs.isEmpty() ? nullptr : &m_runs.last();
        if (last && last->line == line && last->start + last->length == m_runStart &&
            last->format == m_format)
            last->length += length;
        else
            m_runs.append(Run{line, m_runStart, length, m_format});
    }
    m_runStart = m_line.size();
}

void LineBuilder::endLine(QRgb emptyColour)
{
    if (m_lines.size() + 1 >= kMaxLines) {
        m_joinPending = true; // the last line takes the rest
        return;
    }
    appendLine(emptyColour);
}

void LineBuilder::appendLine(QRgb emptyColour)
{
    flush(false);
    closeRun();
    const bool hasRun = !m_runs.isEmpty() && m_runs.constLast().line == m_lines.size();
    m_lines.append(TranscriptLine{std::move(m_line), hasRun ? firstColour() : emptyColour});
    m_line = QString();
    m_runStart = 0;
}

QRgb LineBuilder::firstColour() const
{
    // The runs of a line follow each other; walk back to its first.
    qsizetype i = m_runs.size() - 1;
    while (i > 0 && m_runs.at(i - 1).line == m_runs.at(i).line)
        --i;
    return m_runs.at(i).format.colour;
}

Document LineBuilder::take()
{
    if (m_lines.size() + 1 >= kMaxLines && !m_line.isEmpty())
        appendLine(0); // the last line, which took the rest
    Document document;
    document.lines = std::move(m_lines);
    document.runs = std::move(m_runs);
    document.rich = true;
    document.unknownCodePages = m_decoder.unknown();
    return document;
}

} // namespace natter::rtf::detail
