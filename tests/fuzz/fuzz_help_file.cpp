// The help window loads whatever bytes lie in the help data file: it shows
// them (or keeps its page and raises the program's exception) and never
// crashes, hangs or reads out of bounds.
#include "fuzzsupport.h"
#include "richtext/rtf.h"
#include "tests/support/fakeservices.h"
#include "ui/helpunit.h"

#include <QApplication>
#include <QTextEdit>

static natter::Thelpform *form = nullptr;

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    // Never destroyed: the window and the fonts it holds stay reachable.
    new QApplication(*argc, *argv);
    auto *system = new natter::test::FixedSystemFacts;
    system->directory = natter::fuzz::scratchDirectory();
    form = new natter::Thelpform(*system);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView input(data, static_cast<qsizetype>(size));
    natter::fuzz::writeFile(
        natter::fuzz::scratchDirectory() + QLatin1String(natter::Thelpform::kHelpFileName), input);
    try {
        form->FormShow();
    } catch (const natter::Exception &) {
        return 0;
    }
    natter::fuzz::checkShown(*form->Helpage()->document(), natter::rtf::read(input).lines);
    return 0;
}
