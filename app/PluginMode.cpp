#include "app/PluginMode.h"

#include "engine/ConsoleMessages.h"
#include "engine/Engine.h"
#include "engine/FileRoles.h"
#include "engine/ProcessingRun.h"
#include "engine/devices/AlsaBackend.h"
#include "link/KorvexLink.h"
#include "presets/EngineEffects.h"
#include "presets/PresetStore.h"
#include "presets/RegistryStore.h"
#include "presets/SettingsStore.h"
#include "presets/Shortcuts.h"
#include "ui/MainWindow.h"
#include "ui/QtMessages.h"
#include "ui/Skin.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <vector>

namespace stravik::app {
namespace {

bool haveDisplay()
{
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* s = std::getenv(v); s && *s) return true;
    return false;
}

// The plug-in's commands, on the window's thread.
class CommandHandler {
public:
    CommandHandler(Engine& engine, link::KorvexLink& link, ui::MainWindow& window, ProcessingRun& run,
                   Shortcuts& shortcuts)
        : engine_(engine), link_(link), window_(window), run_(run), shortcuts_(shortcuts)
    {
    }

    void handle(const link::CommandRecord& c)
    {
        switch (c.code) {
        case link::kHello:
            if (!acknowledged_) {
                acknowledged_ = true;
                link_.commandFinished();
            }
            break;
        case link::kSuspend:
            run_.stop();
            break;
        case link::kResume:
            // A run still on its way out after a suspend is let finish first.
            if (run_.active() && engine_.StopRequest) run_.wait();
            if (!run_.active()) window_.startOrStop();
            break;
        case link::kShowPanel:
            if (c.argument == 0) {
                window_.hide();
            } else {
                panelShown_ = true;
                window_.setWindowFlag(Qt::WindowStaysOnTopHint, true);
                window_.showNormal();
                window_.raise();
                window_.activateWindow();
            }
            break;
        case link::kProgram:
            shortcuts_.programChange(c.argument);
            link_.commandFinished();
            break;
        case link::kQuit:
            quit();
            break;
        default:
            break; // nothing else is known to the window
        }
    }

    // The host closed the instance, or went away.
    void quit()
    {
        if (quitting_) return;
        quitting_ = true;
        window_.close(); // stops the run and waits for it
        QApplication::quit();
    }

private:
    Engine& engine_;
    link::KorvexLink& link_;
    ui::MainWindow& window_;
    ProcessingRun& run_;
    Shortcuts& shortcuts_;
    bool acknowledged_ = false;
    bool panelShown_ = false;
    bool quitting_ = false;
};

} // namespace

int pluginMode(int argc, char** argv)
{
    ConsoleMessages console;
    std::vector<std::string> words(argv + 1, argv + argc);
    const std::unique_ptr<link::KorvexLink> link = link::KorvexLink::bind(argv[0], words, console);
    if (!link) return 1;
    const char* fdText = std::getenv(link::kCommandFdVariable);
    char* end = nullptr;
    const long fd = fdText ? std::strtol(fdText, &end, 10) : -1;
    if (fdText == nullptr || *end != '\0' || fd < 0 || fcntl(static_cast<int>(fd), F_GETFD) < 0) {
        console.show(std::string("korvex: plug-in mode needs the plug-in's command channel (") +
                         link::kCommandFdVariable + ")",
                     {}, MessageIcon::Error);
        return 1;
    }
    fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    fcntl(static_cast<int>(fd), F_SETFL, fcntl(static_cast<int>(fd), F_GETFL) | O_NONBLOCK);

    // The window stays hidden until the plug-in asks for it; without a
    // display it is never shown, and messages go to standard error.
    const bool display = haveDisplay();
    if (!display) setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int qtArgc = 1;
    char name[] = "korvex";
    char* qtArgv[] = {name, nullptr};
    QApplication app(qtArgc, qtArgv);
    QApplication::setApplicationName("korvex");
    QApplication::setApplicationDisplayName("Stravik");
    QApplication::setQuitOnLastWindowClosed(false);
    ui::applySkin(app);

    ui::QtMessages windowMessages;
    UserMessages& messages = display ? static_cast<UserMessages&>(windowMessages) : console;
    auto engine = std::make_unique<Engine>(messages);
    engine->vstMode = true;
    FileRoles files(*engine);
    engine->setFiles(&files);
    AlsaBackend audio;
    RegistryStore store(RegistryStore::defaultPath(), &messages);
    readSettings(*engine, store, deviceCountsOf(audio));
    EngineEffects effects(*engine);
    PresetStore presets(*engine, store, messages, effects);
    Shortcuts shortcuts(*engine, presets, effects);
    int exitCode = 0;
    {
        ProcessingRun run(*engine, files, audio, messages);
        run.setPluginLink(link.get());
        ui::WindowContext context{*engine, effects, files, store, presets, shortcuts, run, messages};
        // The tuner's capture and the Setup page's lists use the standard devices here too.
        context.audio = &audio;
        ui::MainWindow window(context);
        windowMessages.setParentWindow(&window);
        CommandHandler handler(*engine, *link, window, run, shortcuts);
        link::CommandReader reader(static_cast<int>(fd));
        QSocketNotifier notifier(static_cast<int>(fd), QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
            link::CommandRecord record{};
            for (;;) {
                const auto result = reader.read(record);
                if (result == link::CommandReader::Result::Record) {
                    handler.handle(record);
                    continue;
                }
                if (result == link::CommandReader::Result::Closed) {
                    notifier.setEnabled(false);
                    handler.quit();
                }
                break;
            }
        });
        // The window is up: processing begins without the user.
        QTimer::singleShot(0, &window, [&] { window.startOrStop(); });
        exitCode = app.exec();
        windowMessages.setClosing();
        run.closeProgramWait();
        writeSettings(*engine, store);
    }
    engine->setFiles(nullptr);
    return exitCode;
}

} // namespace stravik::app
