#pragma once

#include "platform/qtservices.h"

#include <memory>

namespace natter {

class Tnatterform;

// The application object: the real platform services and the program's
// windows, created in order (main window, About box, help window) and kept
// for the whole run.
class NatterApplication {
public:
    NatterApplication();
    ~NatterApplication();
    NatterApplication(const NatterApplication &) = delete;
    NatterApplication &operator=(const NatterApplication &) = delete;

    Tnatterform &mainWindow() { return *m_main; }

    // Shows the main window and runs the event loop until it closes.
    int run();

private:
    struct Parts;
    std::unique_ptr<Parts> m_parts;
    Tnatterform *m_main = nullptr;
};

} // namespace natter
