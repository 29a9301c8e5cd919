#pragma once

#include "platform/services.h"

#include <memory>

namespace natter {

class PortMapper;
class Tnatterform;

// The subsystems behind a chat window and the windows it calls up (About box,
// help window). Destroying the set detaches them from the window.
class WindowSet {
public:
    virtual ~WindowSet() = default;
};

// Creates the About box and the help window (in that order), and the
// subsystems the window's handlers delegate to, and attaches them.
// The port mapper is the one the My IP address window's router option
// drives for this window.
std::unique_ptr<WindowSet> attachSubsystems(Tnatterform &window, Services services,
                                            std::unique_ptr<PortMapper> routerPort);

// The real sound output of this platform.
std::unique_ptr<ISoundService> makeSoundService();

} // namespace natter
