// The rich-text reader takes any bytes without crashing, hanging or reading
// out of bounds, and what it read, written again, reads back the same lines
// in the same colours.
#include "richtext/rtf.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView input(data, static_cast<qsizetype>(size));
    const natter::rtf::Document document = natter::rtf::read(input);
    if (document.rich != natter::rtf::looksLikeRtf(input))
        std::abort();
    for (const natter::TranscriptLine &line : document.lines) {
        // Line breaks inside a line become paragraph ends when written.
        if (line.text.contains(u'\n') || line.text.contains(u'\r'))
            return 0;
    }
    if (natter::rtf::read(natter::rtf::write(document.lines)).lines != document.lines)
        std::abort();
    return 0;
}
