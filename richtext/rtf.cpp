#include "richtext/rtf.h"

#include "messaging/codec1252.h"

#include <QStringDecoder>

#include <cstdint>

namespace natter::rtf {

namespace {

// ---------------------------------------------------------------- writing

constexpr char kHex[] = "0123456789abcdef";

void appendHexEscape(QByteArray &out, unsigned value)
{
    out += "\\'";
    out += kHex[(value >> 4) & 0xF];
    out += kHex[value & 0xF];
}

void appendEscaped(QByteArray &out, const QString &text)
{
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar ch = text.at(i);
        const char16_t u = ch.unicode();
        if (u == u'\\' || u == u'{' || u == u'}') {
            out += '\\';
            out += static_cast<char>(u);
        } else if (u >= 0x20 && u < 0x7F) {
            out += static_cast<char>(u);
        } else if (u == u'\t') {
            out += "\\tab ";
        } else if (u == u'\r' || u == u'\n') {
            // A line break inside a line: CR LF counts once.
            if (u == u'\r' && i + 1 < n && text.at(i + 1) == u'\n')
                ++i;
            out += "\\line ";
        } else if (u < 0x20 || u == 0x7F) {
            appendHexEscape(out, u);
        } else if (const int b = cp1252::byteOf(ch); b >= 0x80) {
            appendHexEscape(out, static_cast<unsigned>(b));
        } else {
            // No Windows-1252 code: a Unicode escape with "?" for readers
            // that do not know \u (one fallback character, see \uc1).
            out += "\\u";
            out += QByteArray::number(static_cast<int>(static_cast<std::int16_t>(u)));
            out += '?';
        }
    }
}

} // namespace

QByteArray write(const QList<TranscriptLine> &lines)
{
    QList<QRgb> table;
    for (const TranscriptLine &line : lines) {
        if (!table.contains(line.colour & 0xFFFFFF))
            table.append(line.colour & 0xFFFFFF);
    }

    QByteArray out;
    qsizetype estimate = 256;
    for (const TranscriptLine &line : lines)
        estimate += line.text.size() + 16;
    out.reserve(estimate);

    out += "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1033"
           "{\\fonttbl{\\f0\\fswiss\\fcharset0 MS Sans Serif;}}\r\n"
           "{\\colortbl ;";
    for (QRgb c : table) {
        out += "\\red" + QByteArray::number(qRed(c)) + "\\green" + QByteArray::number(qGreen(c)) + "\\blue" +
               QByteArray::number(qBlue(c)) + ';';
    }
    out += "}\r\n\\viewkind4\\uc1\\pard\\f0\\fs20 ";
    for (const TranscriptLine &line : lines) {
        out += "\\cf";
        out += QByteArray::number(table.indexOf(line.colour & 0xFFFFFF) + 1);
        out += ' ';
        appendEscaped(out, line.text);
        out += "\\par\r\n";
    }
    out += "}\r\n";
    return out;
}

bool looksLikeRtf(QByteArrayView data)
{
    qsizetype i = data.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    while (i < data.size() && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n'))
        ++i;
    return data.sliced(i).startsWith("{\\rtf");
}

QList<TranscriptLine> readPlainText(QByteArrayView data)
{
    if (data.startsWith("\xEF\xBB\xBF"))
        data = data.sliced(3);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(data);
    if (utf8.hasError())
        text = cp1252::toUnicode(data);

    QList<TranscriptLine> lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n && lines.size() + 1 < kMaxLines; ++i) {
        const QChar c = text.at(i);
        if (c != u'\r' && c != u'\n')
            continue;
        lines.append(TranscriptLine{text.mid(start, i - start), 0});
        if (c == u'\r' && i + 1 < n && text.at(i + 1) == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < n) {
        QString last = text.mid(start);
        last.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
        lines.append(TranscriptLine{std::move(last), 0});
    }
    return lines;
}

} // namespace natter::rtf
