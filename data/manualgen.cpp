// Builds the manual's two installed forms from data/manual/manual.txt: the
// help data file the help window loads (rich text) and the web page that
// Help > Web site opens (HTML).
//
//   natter-manualgen <manual.txt> <help file> <page.html>
#include "messaging/cipher.h"
#include "messaging/codec1252.h"
#include "richtext/rtf.h"

#include <QFile>
#include <QList>
#include <QSaveFile>
#include <QString>
#include <QStringList>

#include <cstdio>

namespace {

using natter::TranscriptLine;

constexpr QRgb kTitleColour = 0x000080;   // dark blue
constexpr QRgb kHeadingColour = 0x000080; // dark blue
constexpr QRgb kBodyColour = 0;           // the page's own (black)

enum class Kind { Title, Heading, Paragraph, Item };

struct Block {
    Kind kind;
    QString text;
};

QString characterSet()
{
    QString characters;
    // Entry 1 is the space, which the text names in words.
    for (int j = 2; j <= static_cast<int>(natter::cipher::kSetSize); ++j) {
        const char byte = static_cast<char>(natter::cipher::setEntry(j));
        characters += natter::cp1252::toUnicode(QByteArrayView(&byte, 1));
    }
    return characters;
}

QString expand(QString text)
{
    text.replace(QStringLiteral("@COUNT@"), QString::number(natter::cipher::kSetSize));
    text.replace(QStringLiteral("@CHARACTERS@"), characterSet());
    return text;
}

// Title, headings, list items and paragraphs, in order. Text lines run
// together until a blank line, a heading or a list item.
QList<Block> parse(const QString &source)
{
    QList<Block> blocks;
    bool open = false; // the last block still takes continuation lines
    const QStringList lines = source.split(QLatin1Char('\n'));
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1Char('#')))
            continue;
        if (line.isEmpty()) {
            open = false;
        } else if (line.startsWith(QStringLiteral("== "))) {
            blocks.append({Kind::Heading, line.mid(3)});
            open = false;
        } else if (line.startsWith(QStringLiteral("= "))) {
            blocks.append({Kind::Title, line.mid(2)});
            open = false;
        } else if (line.startsWith(QStringLiteral("- "))) {
            blocks.append({Kind::Item, line.mid(2)});
            open = true;
        } else if (open) {
            blocks.last().text += QLatin1Char(' ') + line;
        } else {
            blocks.append({Kind::Paragraph, line});
            open = true;
        }
    }
    for (Block &block : blocks)
        block.text = expand(block.text);
    return blocks;
}

// One line per block, a blank line before each heading.
QList<TranscriptLine> helpLines(const QList<Block> &blocks)
{
    QList<TranscriptLine> lines;
    for (const Block &block : blocks) {
        switch (block.kind) {
        case Kind::Title:
            lines.append({block.text, kTitleColour});
            break;
        case Kind::Heading:
            lines.append({QString(), kBodyColour});
            lines.append({block.text, kHeadingColour});
            break;
        case Kind::Item:
            lines.append({QStringLiteral("\u2022 ") + block.text, kBodyColour});
            break;
        case Kind::Paragraph:
            lines.append({block.text, kBodyColour});
            break;
        }
    }
    return lines;
}

QByteArray htmlPage(const QList<Block> &blocks)
{
    QString html = QStringLiteral(
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>Natter Duo manual</title>\n<style>\n"
        "body { max-width: 42em; margin: 2em auto; padding: 0 1em; font-family: sans-serif;"
        " line-height: 1.45; background: #fffbf0; color: #000; }\n"
        "h1, h2 { color: #000080; }\n.charset { font-family: monospace; overflow-wrap: anywhere; }\n"
        "</style>\n</head>\n<body>\n");
    bool inList = false;
    for (const Block &block : blocks) {
        if (inList && block.kind != Kind::Item) {
            html += QStringLiteral("</ul>\n");
            inList = false;
        }
        const QString text = block.text.toHtmlEscaped();
        switch (block.kind) {
        case Kind::Title:
            html += QStringLiteral("<h1>%1</h1>\n").arg(text);
            break;
        case Kind::Heading:
            html += QStringLiteral("<h2>%1</h2>\n").arg(text);
            break;
        case Kind::Item:
            if (!inList)
                html += QStringLiteral("<ul>\n");
            inList = true;
            html += QStringLiteral("<li>%1</li>\n").arg(text);
            break;
        case Kind::Paragraph:
            html += block.text == characterSet() ? QStringLiteral("<p class=\"charset\">%1</p>\n").arg(text)
                                                 : QStringLiteral("<p>%1</p>\n").arg(text);
            break;
        }
    }
    if (inList)
        html += QStringLiteral("</ul>\n");
    html += QStringLiteral("</body>\n</html>\n");
    return html.toUtf8();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit())
        return true;
    std::fprintf(stderr, "natter-manualgen: cannot write %s: %s\n", qPrintable(path),
                 qPrintable(file.errorString()));
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: natter-manualgen <manual.txt> <help file> <page.html>\n");
        return 2;
    }
    QFile source(QString::fromLocal8Bit(argv[1]));
    if (!source.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "natter-manualgen: cannot read %s\n", argv[1]);
        return 1;
    }
    const QList<Block> blocks = parse(QString::fromUtf8(source.readAll()));
    if (blocks.isEmpty() || blocks.constFirst().kind != Kind::Title) {
        std::fprintf(stderr, "natter-manualgen: %s does not start with a title\n", argv[1]);
        return 1;
    }
    const bool written = writeFile(QString::fromLocal8Bit(argv[2]), natter::rtf::write(helpLines(blocks))) &&
                         writeFile(QString::fromLocal8Bit(argv[3]), htmlPage(blocks));
    return written ? 0 : 1;
}
