#include "ui/Window.h"

#include "engine/Engine.h"
#include "engine/FileRoles.h"
#include "engine/ProcessingRun.h"
#include "engine/devices/AlsaBackend.h"
#include "presets/EngineEffects.h"
#include "presets/PresetFile.h"
#include "presets/PresetStore.h"
#include "presets/RegistryStore.h"
#include "presets/SettingsStore.h"
#include "presets/Shortcuts.h"
#include "ui/EffectPage.h"
#include "ui/MainWindow.h"
#include "ui/PresetDialogs.h"
#include "ui/PresetsManager.h"
#include "ui/TunerSetupDialog.h"
#include "ui/SetupDialogs.h"
#include "ui/WahDialogs.h"
#include "tools/Tuner.h"
#include "ui/QtMessages.h"
#include "ui/ShortcutDialogs.h"
#include "ui/Skin.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

namespace stravik::ui {
namespace {

std::string programDir()
{
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.parent_path().string();
}

bool haveDisplay()
{
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (const char* s = std::getenv(v); s && *s) return true;
    return false;
}

// The zoom is read before the window exists: it scales everything.
int storedZoom()
{
    RegistryStore store(RegistryStore::defaultPath(), nullptr, RegistryStore::Access::ReadOnly);
    return store.ok() ? store.ReadIntValue("ZoomWindows", 0, "cfg") : 0;
}

bool savePicture(QWidget& widget, const QString& dir, const QString& name)
{
    widget.adjustSize();
    QApplication::processEvents();
    const QPixmap picture = widget.grab();
    const QString file = dir + "/" + name + ".png";
    if (!picture.save(file, "PNG")) {
        std::fprintf(stderr, "korvex: cannot write %s\n", qPrintable(file));
        return false;
    }
    return true;
}

// One picture per page, then the dialogs.
int takeScreenshots(MainWindow& window, WindowContext& context, const QString& dir)
{
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "korvex: cannot make the folder %s\n", qPrintable(dir));
        return 1;
    }
    // The demonstration presets, in the store in memory, so that the lists
    // show what a user sees.
    if (importDemoPresetsOnFirstStart(1, context.store, programDir(), context.messages)) window.refillPresetBox();
    window.show();
    bool ok = true;
    const auto& pages = effectPages();
    for (int i = 0; i < static_cast<int>(pages.size()); ++i) {
        window.showEffectPage(i);
        ok &= savePicture(window, dir, QString("page-%1").arg(pages[static_cast<size_t>(i)].slug));
    }
    for (const QString& name : MainWindow::toolPageNames()) {
        window.showToolPage(name);
        ok &= savePicture(window, dir, "page-" + name.toLower());
    }
    SectionFlags all{};
    all.fill(true);
    SectionsDialog save(true, "Crunch", all, enabledEffectSections(context.engine), &window);
    save.show();
    ok &= savePicture(save, dir, "dialog-save-preset");
    SectionFlags held{};
    for (int s : {0, 2, 8, 12}) held[static_cast<size_t>(s)] = true;
    SectionsDialog load(false, "Crunch", held, held, &window);
    load.turnOffOthers()->setChecked(true);
    load.show();
    ok &= savePicture(load, dir, "dialog-load-preset");
    DefineShortcutDialog define("Select preset for this function key:", {"Clean", "Crunch", "Lead"}, "Crunch",
                                &window);
    define.show();
    ok &= savePicture(define, dir, "dialog-define-shortcut");
    MidiSetupDialog midi(context.engine.settings, {"USB MIDI foot controller", "Keyboard"}, &window);
    midi.show();
    ok &= savePicture(midi, dir, "dialog-midi-controller-setup");
    tools::Tuner tuner(context.engine.settings);
    std::array<int, 6> custom{};
    for (int i = 0; i < 6; ++i) custom[static_cast<size_t>(i)] = context.engine.settings.tuner_us[i].get();
    TunerSetupDialog tunerSetup(tuner, context.engine.settings.TunerMode.get(), 0, {"default", "USB audio interface"},
                                custom, context.messages, &window);
    tunerSetup.show();
    ok &= savePicture(tunerSetup, dir, "dialog-tuner-setup");
    PedalSetupDialog pedal(context.engine.settings, [] { return std::vector<std::string>{"USB expression pedal"}; },
                           &window);
    pedal.show();
    ok &= savePicture(pedal, dir, "dialog-external-pedal-setup");
    WahMidiSetupDialog wahMidi(context.engine.settings, {"USB MIDI foot controller", "Keyboard"}, &window);
    wahMidi.show();
    ok &= savePicture(wahMidi, dir, "dialog-wah-midi-setup");
    AdvancedOptionsDialog advanced(context.engine.settings, &window);
    advanced.show();
    ok &= savePicture(advanced, dir, "dialog-advanced-options");
    PresetsManager manager(context, &window);
    manager.show();
    ok &= savePicture(manager, dir, "dialog-presets-manager");
    return ok ? 0 : 1;
}

} // namespace

int runWindow(int argc, char** argv)
{
    QString screenshots;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
            screenshots = QString::fromLocal8Bit(argv[++i]);
        } else {
            std::fprintf(stderr, "korvex: unknown argument '%s' (korvex --help lists the modes)\n", argv[i]);
            return 2;
        }
    }
    const bool shooting = !screenshots.isEmpty();
    if (shooting) {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    } else if (!haveDisplay()) {
        std::fputs("korvex: there is no display to open the window on (DISPLAY is not set); use a "
                   "command-line mode (korvex --help) or korvex --screenshot DIR\n",
                   stderr);
        return 1;
    }
    if (!shooting && storedZoom() != 0) setenv("QT_SCALE_FACTOR", "2", 1);

    int qtArgc = 1;
    char name[] = "korvex";
    char* qtArgv[] = {name, nullptr};
    QApplication app(qtArgc, qtArgv);
    QApplication::setApplicationName("korvex");
    QApplication::setApplicationDisplayName("Stravik");
    applySkin(app);

    QtMessages messages;
    auto engine = std::make_unique<Engine>(messages);
    FileRoles files(*engine);
    engine->setFiles(&files);
    AlsaBackend audio;
    // Screenshots never touch the user's store.
    RegistryStore store(shooting ? std::string(":memory:") : RegistryStore::defaultPath(), &messages);
    readSettings(*engine, store, deviceCountsOf(audio));
    EngineEffects effects(*engine);
    PresetStore presets(*engine, store, messages, effects);
    Shortcuts shortcuts(*engine, presets, effects);
    int exitCode = 0;
    {
        ProcessingRun run(*engine, files, audio, messages);
        WindowContext context{*engine, effects, files, store, presets, shortcuts, run, messages};
        context.audio = &audio;
        MainWindow window(context);
        messages.setParentWindow(&window);
        if (shooting) {
            exitCode = takeScreenshots(window, context, screenshots);
        } else {
            window.show();
            if (importDemoPresetsOnFirstStart(engine->settings.FirstStart, store, programDir(), messages))
                window.refillPresetBox();
            exitCode = app.exec();
            messages.setClosing();
            run.closeProgramWait();
            writeSettings(*engine, store);
            // A new zoom: the program starts again with the settings just written.
            if (window.restartRequested() && !QProcess::startDetached(QCoreApplication::applicationFilePath(), {}))
                std::fputs("korvex: could not start again; start it yourself for the new window size\n", stderr);
        }
    }
    engine->setFiles(nullptr);
    return exitCode;
}

} // namespace stravik::ui
