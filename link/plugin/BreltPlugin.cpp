#include "link/plugin/BreltPlugin.h"

#include "link/LinkEvent.h"
#include "link/SharedSection.h"
#include "link/plugin/BreltEditor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace stravik::link {
namespace {

constexpr char kEffectName[] = "Stravik live link";
constexpr char kProductString[] = "Stravik";
constexpr char kVendorString[] = "Velmar";
constexpr int32_t kVendorVersion = 1000;

// Time-outs of the exchange and the commands (ms).
constexpr int kBlockWaitStep = 500;
constexpr int kHelloWait = 500;
// korvex builds its window and its chain before it answers the first hello;
// one that has not answered after this long is taken as hung.
constexpr int kHelloGiveUp = 30000;
constexpr int kProgramWait = 2000;
constexpr int kProgramRetryWait = 5000;
constexpr int kActivePoll = 50;
constexpr int kActiveGiveUp = 10000;
constexpr int kQuitWait = 2000;

// The process's section, set up by the first instance. Slot allocation
// itself is exclusive between processes (SharedSection::claimSlot); this lock
// keeps the set-up to one thread.
std::mutex sectionLock;

SharedSection* processSection(std::string& error)
{
    static SharedSection section;
    std::lock_guard lock(sectionLock);
    if (!section.isOpen() && !section.open(SharedSection::defaultName(), true, error)) return nullptr;
    return &section;
}

void copyText(char* to, const char* from, int limit)
{
    std::strncpy(to, from, static_cast<size_t>(limit));
    to[limit] = '\0';
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

intptr_t dispatcherEntry(vst2::Effect* e, int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt)
{
    BreltPlugin* p = BreltPlugin::of(e);
    if (opcode == vst2::kClose) {
        // The host is done with the instance: this ends its life.
        delete p;
        return 1;
    }
    return p->dispatch(opcode, index, value, ptr, opt);
}

void processEntry(vst2::Effect*, float**, float**, int32_t) {} // the accumulating call does nothing
void processDoubleEntry(vst2::Effect*, double**, double**, int32_t) {}
void processReplacingEntry(vst2::Effect* e, float** in, float** out, int32_t frames)
{
    BreltPlugin::of(e)->processReplacing(in, out, frames);
}
void setParameterEntry(vst2::Effect* e, int32_t index, float value) { BreltPlugin::of(e)->setParameter(index, value); }
float getParameterEntry(vst2::Effect* e, int32_t index) { return BreltPlugin::of(e)->getParameter(index); }

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool fileExists(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The settings value "AppPath" from the user's store, read-only.
std::string storedAppPath()
{
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) base = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home) base = std::string(home) + "/.config";
    else return {};
    const std::string file = base + "/stravik/registry.sqlite3";
    if (!fileExists(file)) return {};
    sqlite3* db = nullptr;
    std::string value;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 1000);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT value FROM registry_values WHERE path = 'cfg' AND name = 'AppPath'", -1,
                               &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW) {
            if (const unsigned char* t = sqlite3_column_text(st, 0)) value = reinterpret_cast<const char*>(t);
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    if (value.size() > 260) value.resize(260);
    return value;
}

} // namespace

std::string pluginLibraryPath()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&pluginLibraryPath), &info) == 0 || info.dli_fname == nullptr) return {};
    char* real = realpath(info.dli_fname, nullptr);
    if (real == nullptr) return info.dli_fname;
    std::string path = real;
    std::free(real);
    return path;
}

std::string korvexProgramPath(const std::string& libraryPath)
{
    const std::string beside = folderOf(libraryPath) + "/korvex";
    if (fileExists(beside)) return beside;
    const std::string app = storedAppPath();
    if (!app.empty()) return app + "/korvex";
    // Installed: <prefix>/lib/vst/Brelt.so and <prefix>/bin/korvex.
    const std::string installed = folderOf(folderOf(folderOf(libraryPath))) + "/bin/korvex";
    if (fileExists(installed)) return installed;
    return beside;
}

void showPluginMessage(const std::string& text) { std::fprintf(stderr, "Brelt: %s\n", text.c_str()); }

BreltPlugin* BreltPlugin::create(vst2::HostCallback host)
{
    if (host == nullptr || host(nullptr, vst2::kHostVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
    std::string error;
    SharedSection* section = processSection(error);
    if (section == nullptr) {
        showPluginMessage(error);
        return nullptr;
    }
    const int slot = section->claimSlot(44100);
    if (slot < 0) return nullptr;
    return new BreltPlugin(*section, slot);
}

BreltPlugin::BreltPlugin(SharedSection& section, int slot)
    : section_(section), s_(section.slot(slot)), slot_(slot)
{
    effect_.magic = vst2::kEffectMagic;
    effect_.dispatcher = dispatcherEntry;
    effect_.process = processEntry;
    effect_.setParameter = setParameterEntry;
    effect_.getParameter = getParameterEntry;
    effect_.numPrograms = kProgramCount;
    effect_.numParams = 2;
    effect_.numInputs = 2;
    effect_.numOutputs = 2;
    effect_.flags = vst2::kFlagCanReplacing | vst2::kFlagHasEditor;
    effect_.ioRatio = 1.0f;
    effect_.object = this;
    effect_.uniqueID = vst2::fourCharacters("StvK");
    effect_.version = 1;
    effect_.processReplacing = processReplacingEntry;
    effect_.processDoubleReplacing = processDoubleEntry;
    for (int i = 0; i < kProgramCount; ++i) {
        std::snprintf(programs_[i].name, sizeof(programs_[i].name), "Program %d", i);
        programs_[i].gain = 1.0f;
        programs_[i].bypass = 0;
    }
}

BreltPlugin::~BreltPlugin()
{
    editor_.reset();
    if (running_) close();
    if (pid_ > 0) {
        if (!waitEvent(endedEvent_, kQuitWait)) {
            kill(pid_, SIGKILL);
            waitEvent(endedEvent_, -1); // the watcher sees it go at once
        }
    }
    if (watcher_.joinable()) watcher_.join();
    if (commandFd_ >= 0) ::close(commandFd_);
    section_.releaseSlot(slot_);
}

// ---- the korvex process

bool BreltPlugin::launchKorvex()
{
    resetEvent(s_.readyEvent);
    resetEvent(s_.doneEvent);
    resetEvent(s_.commandEvent);
    const std::string library = pluginLibraryPath();
    const std::string program = korvexProgramPath(library);
    char slotText[8];
    std::snprintf(slotText, sizeof(slotText), "%04X", static_cast<unsigned>(slot_));

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        showPluginMessage("Error loading KORVEX.EXE");
        return false;
    }
    // Our end never blocks the host: a command korvex cannot take is lost.
    fcntl(pair[0], F_SETFL, fcntl(pair[0], F_GETFL) | O_NONBLOCK);
    const int childEnd = pair[1];

    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string v = *e;
        if (v.rfind(std::string(kCommandFdVariable) + "=", 0) == 0 ||
            v.rfind(std::string(kSectionNameVariable) + "=", 0) == 0)
            continue;
        env.push_back(v);
    }
    env.push_back(std::string(kCommandFdVariable) + "=" + std::to_string(childEnd));
    env.push_back(std::string(kSectionNameVariable) + "=" + section_.name());
    std::vector<char*> envp;
    for (auto& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string arg0 = program, vst = "/vst", slotArg = slotText, lib = library;
    char* argv[] = {arg0.data(), vst.data(), slotArg.data(), lib.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 onto itself clears close-on-exec in the child only.
    posix_spawn_file_actions_adddup2(&actions, childEnd, childEnd);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(childEnd);
    if (rc != 0) {
        ::close(pair[0]);
        if (rc == ENOENT)
            showPluginMessage("Error loading plugin!\nKORVEX.EXE file not found.\n\nThis file should be located "
                              "either in the same folder\nwith BRELT.DLL or in Stravik application folder.");
        else
            showPluginMessage("Error loading KORVEX.EXE");
        return false;
    }
    pid_ = pid;
    commandFd_ = pair[0];
    ended_ = false;
    resetEvent(endedEvent_);
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    watcher_ = std::thread(&BreltPlugin::watchKorvex, this, pidfd);

    // The hello exchange: korvex drops commands until its window exists.
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        resetEvent(s_.commandEvent);
        sendCommand(kHello, 0);
        if (waitEvent(s_.commandEvent, kHelloWait, &ended_)) return true;
        if (korvexEnded()) break;
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(kHelloGiveUp)) {
            showPluginMessage("KORVEX.EXE does not answer");
            kill(pid_, SIGKILL);
            break;
        }
    }
    return false;
}

void BreltPlugin::watchKorvex(int pidfd)
{
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        while (poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
        ::close(pidfd);
        waitpid(pid_, nullptr, 0);
    } else {
        // No process descriptors on this kernel: wait for the child itself;
        // a host that reaps its children makes this return at once, so look
        // at the process too.
        for (;;) {
            const pid_t r = waitpid(pid_, nullptr, WNOHANG);
            if (r == pid_ || (r < 0 && kill(pid_, 0) != 0)) break;
            sleepMs(20);
        }
    }
    ended_.store(true, std::memory_order_release);
    running_ = false;
    setEvent(endedEvent_);
    // Release any wait of ours on korvex's answers.
    wakeWaiters(s_.doneEvent);
    wakeWaiters(s_.commandEvent);
}

void BreltPlugin::sendCommand(int32_t code, int32_t argument)
{
    if (commandFd_ < 0 || korvexEnded()) return;
    const CommandRecord record{code, argument};
    // MSG_NOSIGNAL: korvex may have gone; that must not end the host.
    (void)send(commandFd_, &record, sizeof(record), MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool BreltPlugin::waitForCommandDone(int timeoutMs) { return waitEvent(s_.commandEvent, timeoutMs, &ended_); }

void BreltPlugin::pollActive(int32_t wanted)
{
    for (int waited = 0; s_.active.load() != wanted && !korvexEnded() && waited < kActiveGiveUp;
         waited += kActivePoll)
        sleepMs(kActivePoll);
}

// ---- host operations

bool BreltPlugin::open()
{
    std::lock_guard lock(launchLock_);
    s_.sampleRate.store(static_cast<int32_t>(sampleRate_));
    if (!running_ && !korvexEnded() && pid_ < 0) {
        if (launchKorvex()) running_ = true;
    }
    return running_;
}

void BreltPlugin::close()
{
    if (!running_) return;
    s_.active.store(0);
    s_.hostStopped.store(1);
    setEvent(s_.readyEvent); // releases a korvex waiting for a block
    sendCommand(kQuit, 0);
    running_ = false;
}

void BreltPlugin::suspend()
{
    s_.hostStopped.store(1);
    if (running_) {
        sendCommand(kSuspend, 0);
        pollActive(0);
    }
}

void BreltPlugin::resume()
{
    resetEvent(s_.readyEvent);
    resetEvent(s_.doneEvent);
    blockOut_ = false;
    s_.sampleRate.store(static_cast<int32_t>(sampleRate_));
    s_.hostStopped.store(0);
    if (running_) {
        sendCommand(kResume, 0);
        pollActive(1);
    }
}

void BreltPlugin::setSampleRate(float rate)
{
    sampleRate_ = rate;
    s_.sampleRate.store(static_cast<int32_t>(rate));
}

bool BreltPlugin::setProgram(int index)
{
    if (index < 0 || index >= kProgramCount) return false;
    program_ = index;
    gain_ = std::atomic_ref<float>(programs_[index].gain).load(std::memory_order_relaxed);
    bypass_ = std::atomic_ref<int32_t>(programs_[index].bypass).load(std::memory_order_relaxed);
    copyText(programName_, programs_[index].name, vst2::kMaxProgramNameLength - 1);
    refreshEditor();
    if (running_) {
        resetEvent(s_.commandEvent);
        sendCommand(kProgram, index);
        if (!waitForCommandDone(kProgramWait)) {
            resetEvent(s_.commandEvent);
            sendCommand(kProgram, index);
            waitForCommandDone(kProgramRetryWait);
        }
    }
    return true;
}

void BreltPlugin::setParameter(int32_t index, float value)
{
    ProgramRecord& r = programs_[program_.load()];
    if (index == 0) {
        gain_ = value;
        std::atomic_ref<float>(r.gain).store(value, std::memory_order_relaxed);
    } else if (index == 1) {
        const int on = value > 0.5f ? 1 : 0;
        bypass_ = on;
        std::atomic_ref<int32_t>(r.bypass).store(on, std::memory_order_relaxed);
    } else {
        return;
    }
    refreshEditor();
}

float BreltPlugin::getParameter(int32_t index) const
{
    if (index == 0) return gain_.load();
    if (index == 1) return bypass_.load() != 0 ? 1.0f : 0.0f;
    return 0.0f;
}

void BreltPlugin::parameterDisplay(int index, char* text) const
{
    char buf[32] = "";
    if (index == 0) {
        const float g = gain_.load();
        if (g <= 0.0f)
            std::snprintf(buf, sizeof(buf), "-oo");
        else
            std::snprintf(buf, sizeof(buf), "%.2f", 20.0 * std::log10(static_cast<double>(g)));
    } else if (index == 1) {
        std::snprintf(buf, sizeof(buf), "%s", bypass_.load() != 0 ? "On" : "Off");
    }
    copyText(text, buf, vst2::kMaxParamTextLength);
}

void BreltPlugin::refreshEditor()
{
    if (editor_) editor_->refresh();
}

intptr_t BreltPlugin::dispatch(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt)
{
    char* text = static_cast<char*>(ptr);
    switch (opcode) {
    case vst2::kOpen:
        open();
        return 0;
    case vst2::kSetProgram:
        setProgram(static_cast<int>(value));
        return 0;
    case vst2::kGetProgram:
        return program_.load();
    case vst2::kSetProgramName:
        if (text) copyText(programName_, text, vst2::kMaxProgramNameLength);
        return 0;
    case vst2::kGetProgramName:
        if (text) copyText(text, programName_, vst2::kMaxProgramNameLength);
        return 0;
    case vst2::kGetParamLabel:
        if (text) copyText(text, index == 0 ? "dB" : "", vst2::kMaxParamTextLength);
        return 0;
    case vst2::kGetParamDisplay:
        if (text) parameterDisplay(index, text);
        return 0;
    case vst2::kGetParamName:
        if (text) copyText(text, index == 0 ? "Gain" : index == 1 ? "Bypass" : "", vst2::kMaxParamTextLength);
        return 0;
    case vst2::kSetSampleRate:
        setSampleRate(opt);
        return 0;
    case vst2::kMainsChanged:
        if (value != 0) resume();
        else suspend();
        return 0;
    case vst2::kEditGetRect:
        if (ptr != nullptr) *static_cast<vst2::Rect**>(ptr) = BreltEditor::rect();
        return 1;
    case vst2::kEditOpen:
        editor_ = BreltEditor::open(*this, reinterpret_cast<uintptr_t>(ptr));
        return editor_ ? 1 : 0;
    case vst2::kEditClose:
        editor_.reset();
        return 0;
    case vst2::kEditIdle:
        if (editor_) editor_->idle();
        return 0;
    case vst2::kGetChunk: {
        if (ptr == nullptr) return 0;
        const int current = program_.load();
        const int first = index != 0 ? current : 0;
        const int count = index != 0 ? 1 : kProgramCount;
        for (int i = 0; i < count; ++i) {
            const ProgramRecord& r = programs_[first + i];
            std::memcpy(chunk_[i].name, r.name, sizeof(r.name));
            chunk_[i].gain = std::atomic_ref<const float>(r.gain).load(std::memory_order_relaxed);
            chunk_[i].bypass = std::atomic_ref<const int32_t>(r.bypass).load(std::memory_order_relaxed);
        }
        *static_cast<void**>(ptr) = chunk_;
        return count * static_cast<intptr_t>(sizeof(ProgramRecord));
    }
    case vst2::kSetChunk: {
        if (ptr == nullptr || value <= 0) return 0;
        const int current = program_.load();
        if (index != 0) {
            if (value < static_cast<intptr_t>(sizeof(ProgramRecord))) return 0;
            std::memcpy(&programs_[current], ptr, sizeof(ProgramRecord));
        } else {
            if (value > static_cast<intptr_t>(sizeof(programs_))) return 0;
            std::memcpy(programs_, ptr, static_cast<size_t>(value));
        }
        for (ProgramRecord& r : programs_) r.name[sizeof(r.name) - 1] = '\0';
        // The current record's settings apply at once.
        gain_ = programs_[current].gain;
        bypass_ = programs_[current].bypass != 0 ? 1 : 0;
        refreshEditor();
        return 1;
    }
    case vst2::kCanBeAutomated:
        return index == 0 || index == 1 ? 1 : 0;
    case vst2::kGetProgramNameIndexed:
        if (index < 0 || index >= kProgramCount || text == nullptr) return 0;
        copyText(text, programs_[index].name, vst2::kMaxProgramNameLength - 1);
        return 1;
    case vst2::kGetEffectName:
        if (text) copyText(text, kEffectName, vst2::kMaxEffectNameLength);
        return 1;
    case vst2::kGetVendorString:
        if (text) copyText(text, kVendorString, vst2::kMaxVendorTextLength);
        return 1;
    case vst2::kGetProductString:
        if (text) copyText(text, kProductString, vst2::kMaxVendorTextLength);
        return 1;
    case vst2::kGetVendorVersion:
        return kVendorVersion;
    case vst2::kCanDo:
        return 0;
    case vst2::kGetVstVersion:
        return vst2::kVstVersion;
    default:
        return 0;
    }
}

// ---- the block exchange (the host's audio thread)

bool BreltPlugin::blockStillOut()
{
    if (!blockOut_.load(std::memory_order_relaxed)) return false;
    // korvex is still busy with a block we stopped waiting for: the arrays
    // are its until it says it is done.
    if (s_.doneEvent.load(std::memory_order_acquire) == 0) return true;
    resetEvent(s_.doneEvent);
    blockOut_.store(false, std::memory_order_relaxed);
    return false;
}

bool BreltPlugin::crossBlock()
{
    resetEvent(s_.doneEvent);
    setEvent(s_.readyEvent);
    // One wait step at most: the host's audio thread must not hang on a
    // korvex that has stopped answering. A korvex that has ended releases
    // the wait at once.
    if (!waitEvent(s_.doneEvent, kBlockWaitStep, &ended_)) {
        if (!korvexEnded()) blockOut_.store(true, std::memory_order_relaxed);
        return false;
    }
    resetEvent(s_.doneEvent);
    return true;
}

void BreltPlugin::keepAlive()
{
    // A silent block keeps korvex's run in step while the host bypasses.
    std::fill_n(s_.left, kChainPieceFrames, 0.0f);
    std::fill_n(s_.right, kChainPieceFrames, 0.0f);
    s_.count.store(kChainPieceFrames);
    crossBlock();
}

void BreltPlugin::processReplacing(float** inputs, float** outputs, int32_t frames)
{
    if (frames <= 0) return;
    const bool linked = running_.load(std::memory_order_relaxed) && !korvexEnded();
    if (bypass_.load(std::memory_order_relaxed) != 0) {
        for (int c = 0; c < 2; ++c)
            if (inputs[c] != outputs[c]) std::memcpy(outputs[c], inputs[c], sizeof(float) * static_cast<size_t>(frames));
        if (linked && s_.active.load() == 1 && !blockStillOut()) keepAlive();
        return;
    }
    if (!linked || s_.active.load() == 0 || s_.abort.load() == 1 || blockStillOut()) return;
    const float gain = gain_.load(std::memory_order_relaxed);
    int done = 0;
    while (done < frames) {
        const int n = std::min(frames - done, kMaxBlockFrames);
        s_.count.store(n);
        const float* inL = inputs[0] + done;
        const float* inR = inputs[1] + done;
        for (int i = 0; i < n; ++i) {
            s_.left[i] = inL[i] * gain;
            s_.right[i] = inR[i] * gain;
        }
        if (!crossBlock()) return;
        const int got = std::clamp(static_cast<int>(s_.count.load()), 0, n);
        std::memcpy(outputs[0] + done, s_.left, sizeof(float) * static_cast<size_t>(got));
        std::memcpy(outputs[1] + done, s_.right, sizeof(float) * static_cast<size_t>(got));
        done += n;
    }
}

} // namespace stravik::link
