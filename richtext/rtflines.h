#pragma once

#include "richtext/codepage.h"
#include "richtext/rtf.h"

// The rich-text reader's output: text gathered into lines and runs of one
// format each, its bytes decoded in their code page.

namespace natter::rtf::detail {

class LineBuilder {
public:
    // Text from here on looks like `format`; its bytes are in `codePage`.
    void setLook(const CharFormat &format, int codePage);
    void addBytes(QByteArrayView bytes)
    {
        joinIfPending();
        m_pending.append(bytes);
    }
    void addByte(char byte)
    {
        joinIfPending();
        m_pending += byte;
    }
    void addUnits(char16_t unit, qsizetype count = 1);
    // Ends the line; an empty one takes `emptyColour`.
    void endLine(QRgb emptyColour);
    Document take();

private:
    void flush(bool carry) { m_decoder.decode(m_codePage, m_pending, m_line, carry); }
    void appendLine(QRgb emptyColour);
    // Past the line limit a line break is a space before the next text.
    void joinIfPending();
    void closeRun();
    QRgb firstColour() const;

    codepage::Decoder m_decoder;
    int m_codePage = codepage::kWestern;
    CharFormat m_format;
    QList<TranscriptLine> m_lines;
    QList<Run> m_runs;
    QString m_line;
    qsizetype m_runStart = 0;
    bool m_joinPending = false;
    QByteArray m_pending; // bytes of text in m_codePage, not yet decoded
};

} // namespace natter::rtf::detail
