#pragma once
// The window's real widgets for tests, offscreen: one QApplication for the
// test program, and a window on a store in memory, with output devices that
// keep what they are given (no sound card here).
#include "engine/Engine.h"
#include "engine/FileRoles.h"
#include "engine/ProcessingRun.h"
#include "engine/devices/AudioDevices.h"
#include "presets/EngineEffects.h"
#include "presets/PresetStore.h"
#include "presets/RegistryStore.h"
#include "presets/Shortcuts.h"
#include "ui/MainWindow.h"
#include "ui/Skin.h"
#include "ui/WindowContext.h"
#include "tools/Metronome.h"

#include "dsp/RecordingMessages.h"

#include <QApplication>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

namespace windowtest {

inline QApplication& application()
{
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "korvex-test";
        static char* argv[] = {name, nullptr};
        auto* a = new QApplication(argc, argv);
        stravik::ui::applySkin(*a);
        return a;
    }();
    return *app;
}

// Takes every block and paces nothing.
class KeepingOutput final : public stravik::LiveOutputDevice {
public:
    explicit KeepingOutput(std::atomic<long>& frames) : frames_(frames) {}
    void writeLive(const int16_t*, int bytes) override { frames_ += bytes / 2; }
    void writeFileInput(const int16_t*, int bytes) override { frames_ += bytes / 2; }
    void waitForRoom(const std::atomic<bool>&) override {}
    bool start(stravik::UserMessages&) override { return true; }
    void stop() override {}
    bool failed() const override { return false; }
    std::string failureText() const override { return {}; }
    long xruns() const override { return 0; }

private:
    std::atomic<long>& frames_;
};

class KeepingBackend final : public stravik::AudioBackend {
public:
    std::atomic<long> played{0};
    std::atomic<int> openedOutput{-1}; // the index of the last output opened
    std::vector<std::string> captureDevices() override { return {"default"}; }
    std::vector<std::string> playbackDevices() override { return {"default", "hw:Test"}; }
    std::unique_ptr<stravik::InputDevice> openInput(int, int, stravik::UserMessages& m) override
    {
        m.show("Error opening audio input device!", {}, stravik::MessageIcon::Warning);
        return nullptr;
    }
    std::unique_ptr<stravik::LiveOutputDevice> openOutput(int index, const stravik::OutputRequest&,
                                                          stravik::UserMessages&) override
    {
        openedOutput = index;
        return std::make_unique<KeepingOutput>(played);
    }
};

// Everything a window needs, and the window.
struct Window {
    stravik::RecordingMessages messages;
    std::unique_ptr<stravik::Engine> engine = std::make_unique<stravik::Engine>(messages);
    stravik::FileRoles files{*engine};
    stravik::RegistryStore store{":memory:"};
    stravik::EngineEffects effects{*engine};
    stravik::PresetStore presets{*engine, store, messages, effects};
    stravik::Shortcuts shortcuts{*engine, presets, effects};
    KeepingBackend audio;
    stravik::ProcessingRun run{*engine, files, audio, messages};
    // The metronome's clock, in milliseconds, set by the tests that tap.
    int64_t clockMs = 0;
    stravik::tools::Metronome metronome{engine->settings, messages, [this] { return clockMs; }};
    stravik::ui::WindowContext context{*engine, effects, files, store, presets, shortcuts, run, messages, &metronome};
    std::unique_ptr<stravik::ui::MainWindow> window;

    Window()
    {
        application();
        engine->setFiles(&files);
        engine->settings.BeepOnStart = 0;
        engine->settings.DisableSSaver = 0;
        window = std::make_unique<stravik::ui::MainWindow>(context);
    }
    ~Window()
    {
        window.reset();
        run.closeProgramWait();
        engine->setFiles(nullptr);
    }
};

} // namespace windowtest
