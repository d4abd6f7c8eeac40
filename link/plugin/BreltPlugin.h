#pragma once
// One instance of the plug-in in a host: its slot of the link section, the
// korvex process that serves it, the block exchange, two parameters, 64
// programs and the editor.
//
// Threads: the host's audio thread calls processReplacing (and may call
// setParameter); the host's other threads call the dispatcher. A host call
// waits at most 500 ms for a block (at once released when korvex ends) and
// then leaves its outputs as they are; the block stays korvex's until korvex
// finishes it, and calls in between return at once. No wait of the instance
// outlives the korvex process.
#include "link/LinkProtocol.h"
#include "link/vst2_abi.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>

namespace stravik::link {

class SharedSection;
class BreltEditor;

// A program of the host: 32 bytes, as the chunks carry it.
struct ProgramRecord {
    char name[24];
    float gain;
    int32_t bypass;
};
static_assert(sizeof(ProgramRecord) == 32);

constexpr int kProgramCount = 64;

class BreltPlugin {
public:
    // Claims a slot; null when none is free (or the section cannot be used).
    static BreltPlugin* create(vst2::HostCallback host);
    ~BreltPlugin(); // the instance's destruction: close, the wait for korvex, the slot freed

    vst2::Effect* effect() { return &effect_; }
    static BreltPlugin* of(vst2::Effect* e) { return static_cast<BreltPlugin*>(e->object); }

    intptr_t dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt);
    void processReplacing(float** inputs, float** outputs, int32_t frames);
    void setParameter(int32_t index, float value);
    float getParameter(int32_t index) const;

    // The host-visible operations (also used by the editor).
    bool open();
    void close();
    void suspend();
    void resume();
    void setSampleRate(float rate);
    bool setProgram(int index);
    void sendCommand(int32_t code, int32_t argument);

    int slotIndex() const { return slot_; }
    pid_t korvexPid() const { return pid_; }

private:
    BreltPlugin(SharedSection& section, int slot);
    bool launchKorvex();
    void watchKorvex(int pidfd);
    bool korvexEnded() const { return ended_.load(std::memory_order_acquire); }
    bool waitForCommandDone(int timeoutMs);
    void pollActive(int32_t wanted);
    void keepAlive();
    bool crossBlock();
    bool blockStillOut();
    void refreshEditor();
    void parameterDisplay(int index, char* text) const;

    vst2::Effect effect_{};
    SharedSection& section_;
    LinkSlot& s_;
    const int slot_;

    std::atomic<float> gain_{1.0f};
    std::atomic<int> bypass_{0};
    float sampleRate_ = 44100.0f;
    ProgramRecord programs_[kProgramCount] = {};
    std::atomic<int> program_{0};
    char programName_[25] = "Default";
    ProgramRecord chunk_[kProgramCount] = {}; // what getChunk hands out

    // The korvex process.
    std::mutex launchLock_;
    pid_t pid_ = -1;
    int commandFd_ = -1;
    std::atomic<bool> running_{false}; // started and acknowledged, not yet told to quit
    std::atomic<bool> ended_{false};   // the process has ended (set by the watcher)
    EventWord endedEvent_{0};
    std::thread watcher_;
    // A block korvex has not finished when the host's call gave up on it.
    std::atomic<bool> blockOut_{false};

    std::unique_ptr<BreltEditor> editor_;
};

// Where this library is, as an absolute path ("" when it cannot be told).
std::string pluginLibraryPath();
// The korvex program to start: beside the library, else in the folder the
// settings value "AppPath" names, else where `cmake --install` puts it
// (bin/ beside lib/vst/). The path beside the library when none is found.
std::string korvexProgramPath(const std::string& libraryPath);
// Shows a message of the plug-in (stderr: a host has no window we could use).
void showPluginMessage(const std::string& text);

} // namespace stravik::link
