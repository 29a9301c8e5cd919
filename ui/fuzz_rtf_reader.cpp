// libFuzzer entry point: the RTF reader must take any bytes without crashing,
// hanging or reading out of bounds, and a document it writes must read back.
#include "ui/rtf.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView input(data, static_cast<qsizetype>(size));
    const natter::rtf::Document document = natter::rtf::read(input);
    // What was read, written again, reads back as the same lines (ignoring
    // line breaks inside lines, which the writer turns into paragraph ends).
    bool plainLines = true;
    for (const natter::TranscriptLine &line : document.lines) {
        if (line.text.contains(QLatin1Char('\n')) || line.text.contains(QLatin1Char('\r')))
            plainLines = false;
    }
    if (plainLines) {
        const natter::rtf::Document again = natter::rtf::read(natter::rtf::write(document.lines));
        if (again.lines.size() != document.lines.size())
            std::abort();
        for (qsizetype i = 0; i < again.lines.size(); ++i) {
            if (again.lines.at(i).text != document.lines.at(i).text)
                std::abort();
        }
    }
    return 0;
}
