#pragma once
// A processing run: the period from Start until processing ends. One thread
// carries it: it prepares every effect, opens the files and the devices,
// loops (fetch a block, ProcessBlock) until a stop is asked for, closes
// everything and ends. The window, `korvex run` and the plug-in link drive
// it through start(), stop() and the observer; they never touch the
// engine's buffers.
//
// Threads: start(), stop(), closeProgramWait() and the queries are for the
// driving thread (the window's, or the command's); the observer is called
// from the processing thread, except where said.
#include "engine/ScreenSaver.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace stravik {

class AudioBackend;
class Engine;
class FileRoles;
class InputDevice;
class JackDriver;
class LiveOutputDevice;
class PluginLink;
class UserMessages;

// Why the last run ended.
enum class RunEnd {
    None,           // no run has ended yet (or one is going)
    Stopped,        // stop() was asked for (Start pressed again, a signal, closing)
    InputEnded,     // the input file has been played to its end
    OutputFull,     // the output file reached the size limit of WAV files
    DeviceFailed,   // a device failed or vanished while running
    Cancelled,      // the overwrite question was answered with Cancel
    OpenFailed,     // a device or a file could not be opened: the run never started
};
const char* runEndText(RunEnd end);

// What the driving side hears of a run.
class RunObserver {
public:
    virtual ~RunObserver() = default;
    // Called on the driving thread by start(): is the tuner capturing?
    virtual bool tunerRunning() const { return false; }
    // Called on the driving thread by start(), before the file checks: the
    // Files page copies its fields into the settings.
    virtual void collectFileSettings() {}
    // Called on the driving thread by start() when the thread is about to
    // start: controls that must not change during a run are disabled.
    virtual void runStarting() {}
    // The devices are started and blocks flow.
    virtual void runStarted() {}
    // The run has ended (after its devices and files are closed): release
    // the Start button, enable the controls again. Not called while the
    // program is closing.
    virtual void runEnded(RunEnd /*why*/) {}
};

// Inputs that live as long as a run: the MIDI controller and program-change
// inputs and the expression pedal. Opened after the effects are prepared and
// before the audio devices; closed after them.
class RunInputs {
public:
    virtual ~RunInputs() = default;
    // Opens what the settings enable. A device that cannot be opened only
    // warns (through messages): the run goes on without it.
    virtual void openForRun(UserMessages& messages) = 0;
    virtual void closeAfterRun() = 0;
};

class ProcessingRun {
public:
    // What start() did.
    enum class StartResult {
        Started,        // the thread is running
        StopRequested,  // a run was going: it was asked to stop (Start toggles)
        TunerRunning,   // "You must stop guitar tuner." was shown
        FilesRefused,   // the same-file check failed (its message was shown)
        ThreadFailed,   // "Error starting thread" was shown
    };

    ProcessingRun(Engine& engine, FileRoles& files, AudioBackend& audio, UserMessages& messages);
    ~ProcessingRun(); // the close-program wait

    void setObserver(RunObserver* observer) { observer_ = observer; }
    // Set before start(); null for none.
    void setRunInputs(RunInputs* inputs) { runInputs_ = inputs; }
    // Plug-in mode (the engine's vstMode): the host's blocks come and go
    // through this link instead of devices. Set before start().
    void setPluginLink(PluginLink* link) { pluginLink_ = link; }

    // The Start button: starts a run, or stops the one that is going.
    StartResult start();
    // Asks the run to end (any thread, also a signal handler's flag poller).
    void stop();
    // Closing the program: the windows are going away (the ending run leaves
    // them alone), the run is asked to stop, and this waits until it has ended.
    void closeProgramWait();
    // Waits until the run's thread has ended (nothing when none is going).
    void wait();

    // Blocks are flowing (the devices are started).
    bool running() const;
    // A run's thread exists: from start() until it has closed everything.
    bool active() const { return active_.load(); }
    RunEnd endReason() const { return endReason_.load(); }
    // The message of a device that failed while running ("" otherwise).
    std::string failureText() const;
    // Breaks in the captured and played streams during this run.
    long xruns() const;
    // The rate the input device runs at (the processing rate, or twice it).
    int deviceRate() const { return deviceRate_.load(); }

    // A JACK run (UseASIO): the server, its period and rate, the buffer
    // size MaxDelay asks for (shown beside the period; the server's period
    // is what is used), and the late cycles: those the server counted (any
    // client's, or the machine's) and those where korvex took longer than
    // the period. Valid while running and after the run.
    struct JackState {
        bool used = false;
        std::string server;
        int rate = 0;
        int period = 0;
        int requestedFrames = 0;
        long serverXruns = 0;
        long lateCallbacks = 0;
        long callbacks = 0;
    };
    JackState jackState() const;

    // How long the chain took per live block in the last run (the input
    // conversion and ProcessBlock with the device write it makes): blocks
    // counted, the slowest, and the time that all but the slowest 1 % stayed
    // under (to 5 us). File input is not timed (its blocks wait for the
    // output). Read after wait().
    struct BlockTimes {
        long blocks = 0;
        double worstMicros = 0;
        double percentile99Micros = 0;
    };
    BlockTimes blockTimes() const;

private:
    void threadMain();
    bool loadJack(int& rate);
    bool openDevices(int rate);
    void closeDevices(bool keepOutputFile);
    void closeJack(bool keepOutputFile);
    void liveLoop();
    void jackLoop();
    void fileLoop();
    bool deviceFailed();
    void setProcessPriority(bool high);

    Engine& engine_;
    FileRoles& files_;
    AudioBackend& audio_;
    UserMessages& messages_;
    RunObserver* observer_ = nullptr;
    RunInputs* runInputs_ = nullptr;
    PluginLink* pluginLink_ = nullptr;

    std::thread thread_;
    std::atomic<bool> active_{false};
    std::atomic<bool> uiAlive_{true};
    std::atomic<bool> stopAsked_{false};
    std::atomic<RunEnd> endReason_{RunEnd::None};
    std::atomic<int> deviceRate_{0};

    // Opened and closed on the processing thread; xruns() reads the counts
    // under the lock.
    mutable std::mutex devicesLock_;
    std::unique_ptr<InputDevice> input_;
    std::unique_ptr<LiveOutputDevice> output_;
    std::unique_ptr<JackDriver> jack_;
    JackState lastJack_;
    bool filesOpen_ = false;
    long xrunsBefore_ = 0; // of devices already closed in this run
    std::string failure_;

    // Block times in 5 us steps up to 10 ms (the last step holds the rest).
    static constexpr int kTimeSteps = 2000;
    static constexpr double kTimeStepMicros = 5.0;
    long timeCounts_[kTimeSteps] = {};
    double worstMicros_ = 0;
    void timeBlock(double micros);

    ScreenSaverInhibitor screenSaver_;
    int savedNice_ = 0;
};

} // namespace stravik
