#include "app/CommandSupport.h"

#include "dsp/UserMessages.h"
#include "engine/Engine.h"
#include "presets/EngineEffects.h"
#include "presets/PresetFile.h"
#include "presets/PresetStore.h"
#include "presets/RegistryStore.h"

#include <csignal>
#include <memory>

namespace stravik::app {
namespace {

std::atomic<bool> g_stopSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void onStopSignal(int) { g_stopSignalled.store(true); }

// Says what goes wrong, but not how many presets a file held.
class ProblemsOnly final : public UserMessages {
public:
    explicit ProblemsOnly(UserMessages& to) : to_(to) {}
    void show(const std::string& text, const std::string& title, MessageIcon icon) override
    {
        if (icon != MessageIcon::Information) to_.show(text, title, icon);
    }
    MessageAnswer ask(const std::string& text, const std::string& title, MessageButtons buttons,
                      MessageIcon icon) override
    {
        return to_.ask(text, title, buttons, icon);
    }

private:
    UserMessages& to_;
};

} // namespace

void installStopSignals()
{
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

const std::atomic<bool>& stopSignal() { return g_stopSignalled; }

bool loadPresetForRun(Engine& engine, const std::string& name, const std::string& fxp, UserMessages& messages)
{
    std::unique_ptr<RegistryStore> store;
    if (!fxp.empty()) {
        store = std::make_unique<RegistryStore>(":memory:", &messages);
        ProblemsOnly quiet(messages);
        if (importPresetFile(*store, fxp, true, true, quiet) != 0) return false;
    } else {
        // A run only reads the presets.
        store = std::make_unique<RegistryStore>(RegistryStore::defaultPath(), &messages,
                                                RegistryStore::Access::ReadOnly);
        if (!store->ok()) return false;
    }
    EngineEffects effects(engine);
    PresetStore presets(engine, *store, messages, effects);
    return presets.LoadPreset(name, false) == 0;
}

} // namespace stravik::app
