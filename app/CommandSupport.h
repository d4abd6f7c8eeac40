#pragma once
// What the command-line modes share: the stop signals, presets for a run.
#include <atomic>
#include <string>

namespace stravik {
class Engine;
class UserMessages;
} // namespace stravik

namespace stravik::app {

// From the call on, SIGINT and SIGTERM only set stopSignal(): the command
// stops its work cleanly between two blocks. No SA_RESTART, so that a write
// waiting for a FIFO's reader gives up at once. SIGPIPE is ignored (a reader
// that went away makes writes fail, which is reported).
void installStopSignals();
const std::atomic<bool>& stopSignal();

// Loads a preset into the engine (all its sections, other effects off):
// from the user's store, or from the preset file fxp when it is given (the
// store is then not touched). False after the message was shown.
bool loadPresetForRun(Engine& engine, const std::string& name, const std::string& fxp, UserMessages& messages);

} // namespace stravik::app
