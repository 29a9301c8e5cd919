// The rich-text reader takes any bytes without crashing, hanging or reading
// out of bounds, and what it read, written again, reads back the same lines
// in the same colours.
#include "richtext/rtf.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

bool hasLineBreak(const QList<natter::TranscriptLine> &lines)
{
    for (const natter::TranscriptLine &line : lines) {
        if (line.text.contains(QLatin1Char('\n')) || line.text.contains(QLatin1Char('\r')))
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView input(data, static_cast<qsizetype>(size));
    const natter::rtf::Document document = natter::rtf::read(input);
    if (document.rich != natter::rtf::looksLikeRtf(input))
        std::abort();
    // Line breaks inside a line become paragraph ends when written.
    if (hasLineBreak(document.lines))
        return 0;
    const natter::rtf::Document again = natter::rtf::read(natter::rtf::write(document.lines));
    if (again.lines.size() != document.lines.size())
        std::abort();
    for (qsizetype i = 0; i < again.lines.size(); ++i) {
        if (again.lines.at(i) != document.lines.at(i))
            std::abort();
    }
    return 0;
}
