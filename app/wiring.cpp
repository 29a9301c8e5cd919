#include "app/wiring.h"

#include "app/natterform.h"

namespace natter {

namespace {

class SilentSound final : public ISoundService {
public:
    int outputDeviceCount() override { return 0; }
    bool play(const QByteArray &) override { return false; }
    void stop() override {}
};

class Subsystems final : public WindowSet {
public:
    Subsystems(Tnatterform &window, Services services) : m_window(window), m_services(services)
    {
        Tnatterform::Actions &a = m_window.actions();
        a.clearChat = [this] { m_window.transcript().clear(); };
    }
    ~Subsystems() override { m_window.actions() = {}; }

private:
    Tnatterform &m_window;
    Services m_services;
};

} // namespace

std::unique_ptr<WindowSet> attachSubsystems(Tnatterform &window, Services services)
{
    return std::make_unique<Subsystems>(window, services);
}

std::unique_ptr<ISoundService> makeSoundService()
{
    return std::make_unique<SilentSound>();
}

} // namespace natter
