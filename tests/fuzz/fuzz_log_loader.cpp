// The log reader loads any file: the loader gives the lines it found (a
// readable regular file is never refused), a page shows exactly those lines,
// and saved as plain text they load back the same.
#include "fuzzsupport.h"
#include "logreader/logloader.h"
#include "richtext/rtf.h"

#include <QGuiApplication>

namespace {

QString logPath;
QString textPath;

// Saved as plain text the lines load back the same, where plain text can
// hold them: no line breaks itself or holds a lone surrogate (lost to
// UTF-8), and the text begins neither like a rich-text document nor with a
// byte-order mark.
void checkPlainTextRoundTrip(const QList<natter::TranscriptLine> &lines)
{
    QStringList texts;
    for (const natter::TranscriptLine &line : lines)
        texts << line.text;
    const QString text = texts.join(u'\n');
    const QByteArray utf8 = text.toUtf8();
    if (text.contains(u'\r') || text.count(u'\n') != texts.size() - 1 || QString::fromUtf8(utf8) != text ||
        utf8.startsWith("\xEF\xBB\xBF") || natter::rtf::looksLikeRtf(utf8))
        return;
    if (!natter::logreader::saveAsPlainText(textPath, lines).isEmpty())
        std::abort();
    const natter::logreader::LoadedLog again = natter::logreader::loadLog(textPath);
    QStringList back;
    for (const natter::TranscriptLine &line : again.lines)
        back << line.text;
    if (!again.error.isEmpty() || again.rich || back != texts)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    // Never destroyed: the fonts the pages load stay reachable.
    new QGuiApplication(*argc, *argv);
    logPath = natter::fuzz::scratchDirectory() + QStringLiteral("log.ntl");
    textPath = natter::fuzz::scratchDirectory() + QStringLiteral("log.txt");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    natter::fuzz::writeFile(logPath, QByteArrayView(data, static_cast<qsizetype>(size)));
    const natter::logreader::LoadedLog log = natter::logreader::loadLog(logPath);
    if (!log.error.isEmpty())
        std::abort();
    QTextDocument page;
    natter::setDocumentLines(page, log.lines);
    natter::fuzz::checkShown(page, log.lines);
    checkPlainTextRoundTrip(log.lines);
    return 0;
}
