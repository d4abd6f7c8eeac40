#pragma once
// The application's settings under "cfg": read once at start, written once
// when the window has closed (so an abnormal end keeps the previous run's
// settings and FirstStart stays 1 until one normal exit).
namespace stravik {

class AudioBackend;
class Engine;
class RegistryStore;

// Sizes of the device lists, for the rules that keep device indices valid.
struct DeviceCounts {
    int outputs = 0;           // the whole output list
    int firstDirectOutput = -1; // index of the first direct (hardware) output, -1 when none
    int inputs = 0;            // the whole input list
    int firstDirectInput = -1;  // index of the first direct (hardware) input, -1 when none
    int tunerInputs = 0;       // capture devices the tuner can use
};

// The sizes of a backend's lists (the tuner takes any capture device).
DeviceCounts deviceCountsOf(AudioBackend& audio);

// Reads every setting in order with its default and the special rules.
void readSettings(Engine& engine, const RegistryStore& store, const DeviceCounts& devices);

// Writes every setting in order (FirstStart as 0) and the two shortcut
// tables whole, as one transaction. False when the store could not be written.
bool writeSettings(const Engine& engine, RegistryStore& store);

} // namespace stravik
