#pragma once
// What the window's pages and dialogs work with: the engine and its run, the
// presets and settings, the shortcuts, the messages. One of each, made by the
// program (or a test) and handed to the main window.
#include <functional>
#include <string>
#include <vector>

namespace stravik {
class AudioBackend;
class Engine;
class EngineEffects;
class FileRoles;
class PresetStore;
class ProcessingRun;
class RegistryStore;
class Shortcuts;
class UserMessages;
} // namespace stravik

namespace stravik::tools {
class Metronome;
}

namespace stravik::ui {

struct WindowContext {
    Engine& engine;
    EngineEffects& effects;
    FileRoles& files;
    RegistryStore& store;
    PresetStore& presets;
    Shortcuts& shortcuts;
    ProcessingRun& run;
    UserMessages& messages;
    // The metronome of the Metro page and the chain's click; the main window
    // makes its own when none is given.
    tools::Metronome* metronome = nullptr;
    // The capture devices of the tuner; it cannot start without.
    AudioBackend* audio = nullptr;
    // Lists the MIDI inputs for the MIDI page; the system's when not given.
    std::function<std::vector<std::string>()> midiDevices = {};
};

} // namespace stravik::ui
