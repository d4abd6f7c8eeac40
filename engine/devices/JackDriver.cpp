// How JACK's failures reach the user (no title, warning icon):
//   the client cannot be opened (no such server, the server refuses it)
//                                         "Error loading ASIO driver!"
//   the server's rate is not one the chain runs at, a port cannot be
//   registered, or activation fails       "Error setting up ASIO driver!"
// While running (the run shows the text when it has ended):
//   the server shut down or dropped us    "The JACK server has shut down the connection (REASON)."
//   the server's rate changed             "The JACK server changed its sample rate to N Hz."
//   no cycle for half a second            "The JACK server stopped calling (it may have been killed)."
#include "engine/devices/JackDriver.h"

#include "engine/Engine.h"
#include "engine/devices/AlsaSupport.h"

#include <jack/jack.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace stravik {

namespace {

const char* const kLoadError = "Error loading ASIO driver!";
const char* const kSetupError = "Error setting up ASIO driver!";

// jackd2 listens on a socket per server: DIR/jack_NAME_UID_0.
const char* const kServerDir = "/dev/shm";

bool chainRate(int rate) { return rate == 22050 || rate == 44100 || rate == 48000; }

std::string defaultServerName()
{
    const char* name = std::getenv("JACK_DEFAULT_SERVER");
    return name != nullptr && *name != '\0' ? name : "default";
}

// A server's socket that accepts a connection belongs to a live server; one
// left behind by a server that died refuses it.
bool socketAnswers(const std::string& path)
{
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

void quietly(const char*) {}

// Opens a client without starting a server, with libjack's complaints about
// servers that are not there kept off the terminal.
jack_client_t* openClient(const char* clientName, const std::string& server, jack_status_t& status)
{
    auto* const savedError = jack_error_callback;
    auto* const savedInfo = jack_info_callback;
    jack_set_error_function(quietly);
    jack_set_info_function(quietly);
    jack_client_t* client = jack_client_open(
        clientName, static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status, server.c_str());
    jack_set_error_function(savedError);
    jack_set_info_function(savedInfo);
    return client;
}

double monotonicSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

long monotonicNanos()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long>(t.tv_sec) * 1000000000L + t.tv_nsec;
}

} // namespace

std::vector<std::string> JackDriver::servers()
{
    std::vector<std::string> found;
    const std::string suffix = "_" + std::to_string(getuid()) + "_0";
    if (DIR* dir = opendir(kServerDir)) {
        while (const dirent* e = readdir(dir)) {
            const std::string file = e->d_name;
            if (file.size() <= 5 + suffix.size() || file.rfind("jack_", 0) != 0
                || file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
                continue;
            const std::string path = std::string(kServerDir) + "/" + file;
            struct stat st {};
            if (stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
            if (socketAnswers(path)) found.push_back(file.substr(5, file.size() - 5 - suffix.size()));
        }
        closedir(dir);
    }
    std::sort(found.begin(), found.end());
    const std::string preferred = defaultServerName();
    auto it = std::find(found.begin(), found.end(), preferred);
    if (it != found.end()) {
        found.erase(it);
        found.insert(found.begin(), preferred);
    } else {
        // A server without jackd's socket: PipeWire's JACK interface (run
        // under pw-jack) answers as "default". Asked only when this process
        // has no JACK client yet would be ideal; libjack gives no way to
        // tell, and a client it is already connected to answers anyway.
        jack_status_t status{};
        if (jack_client_t* probe = openClient("korvex-probe", preferred, status)) {
            jack_client_close(probe);
            found.insert(found.begin(), preferred);
        }
    }
    return found;
}

int JackDriver::requestedFrames(double maxDelayMs, int rate)
{
    const long frames = static_cast<long>(maxDelayMs / 1000.0 * rate);
    return static_cast<int>(std::max<long>(kPieceFrames, frames / kPieceFrames * kPieceFrames));
}

int JackDriver::fitToDriver(int frames, int minimum, int maximum)
{
    if (frames < minimum) {
        frames = minimum / kPieceFrames * kPieceFrames;
        if (frames < minimum) frames += kPieceFrames;
    }
    if (frames > maximum) frames = maximum / kPieceFrames * kPieceFrames;
    return frames;
}

bool JackDriver::serverSizes(const std::string& server, int& rate, int& period)
{
    jack_status_t status{};
    jack_client_t* probe = openClient("korvex-probe", server, status);
    if (probe == nullptr) return false;
    rate = static_cast<int>(jack_get_sample_rate(probe));
    period = static_cast<int>(jack_get_buffer_size(probe));
    jack_client_close(probe);
    return true;
}

JackDriver::JackDriver(Engine& engine) : engine_(engine) {}

JackDriver::~JackDriver()
{
    stop();
    unload();
}

bool JackDriver::load(const std::string& server, UserMessages& messages)
{
    unload();
    jack_status_t status{};
    client_ = openClient(kClientName, server, status);
    if (client_ == nullptr) {
        messages.show(kLoadError, {}, MessageIcon::Warning);
        return false;
    }
    serverRate_ = static_cast<int>(jack_get_sample_rate(client_));
    serverPeriod_ = static_cast<int>(jack_get_buffer_size(client_));
    failure_ = kNone;
    failed_ = false;
    droppedByServer_ = false;
    return true;
}

bool JackDriver::open(int processingRate, double maxDelayMs, UserMessages& messages)
{
    const auto refuse = [&] {
        messages.show(kSetupError, {}, MessageIcon::Warning);
        unload();
        return false;
    };
    if (client_ == nullptr) return refuse();
    if (processingRate != serverRate_ || !chainRate(processingRate)) return refuse();
    processingRate_ = processingRate;
    requested_ = requestedFrames(maxDelayMs, processingRate);
    fitted_ = fitToDriver(requested_, serverPeriod_, serverPeriod_);

    static const char* const names[4] = {"in_1", "in_2", "out_1", "out_2"};
    for (int i = 0; i < 4; ++i) {
        const unsigned long flags = i < 2 ? JackPortIsInput : JackPortIsOutput;
        ports_[i] = jack_port_register(client_, names[i], JACK_DEFAULT_AUDIO_TYPE, flags, 0);
        if (ports_[i] == nullptr) return refuse();
    }
    if (jack_set_process_callback(client_, &JackDriver::processThunk, this) != 0
        || jack_set_xrun_callback(client_, &JackDriver::xrunThunk, this) != 0
        || jack_set_sample_rate_callback(client_, &JackDriver::rateThunk, this) != 0
        || jack_set_buffer_size_callback(client_, &JackDriver::periodThunk, this) != 0)
        return refuse();
    jack_on_info_shutdown(
        client_, [](jack_status_t code, const char* reason, void* self) {
            shutdownThunk(static_cast<int>(code), reason, self);
        },
        this);

    stereo_ = engine_.settings.stereo != 0;
    carryFrames_ = carryUsed_ = 0;
    inCallback_ = false;
    serverXruns_ = 0;
    late_ = 0;
    callbacks_ = 0;
    worstNanos_ = 0;
    for (auto& c : timeCounts_) c.store(0, std::memory_order_relaxed);
    return true;
}

bool JackDriver::start(bool connectPorts, UserMessages& messages)
{
    if (client_ == nullptr || jack_activate(client_) != 0) {
        messages.show(kSetupError, {}, MessageIcon::Warning);
        return false;
    }
    active_ = true;
    lastSeenCallbacks_ = -1;
    lastMovedAt_ = monotonicSeconds();
    if (!connectPorts) return true;
    const auto connectTo = [this](unsigned long flags, int firstPort, bool fromSystem) {
        const char** system = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | flags);
        if (system == nullptr) return;
        for (int i = 0; i < 2 && system[i] != nullptr; ++i) {
            const char* ours = jack_port_name(ports_[firstPort + i]);
            if (fromSystem)
                jack_connect(client_, system[i], ours);
            else
                jack_connect(client_, ours, system[i]);
        }
        jack_free(system);
    };
    connectTo(JackPortIsOutput, 0, true); // capture_1, capture_2 -> in_1, in_2
    connectTo(JackPortIsInput, 2, false); // out_1, out_2 -> playback_1, playback_2
    return true;
}

void JackDriver::stop()
{
    // A client the server has let go is no longer in its graph; libjack can
    // crash deactivating it. Closing it is all that is left.
    if (client_ != nullptr && active_ && !droppedByServer_.load()) jack_deactivate(client_);
    active_ = false;
}

void JackDriver::unload()
{
    stop();
    if (client_ != nullptr) jack_client_close(client_);
    client_ = nullptr;
    for (auto& p : ports_) p = nullptr;
}

void JackDriver::watch()
{
    if (!active_ || failed()) return;
    const long seen = callbacks_.load(std::memory_order_relaxed);
    const double now = monotonicSeconds();
    if (seen != lastSeenCallbacks_) {
        lastSeenCallbacks_ = seen;
        lastMovedAt_ = now;
        return;
    }
    if (now - lastMovedAt_ > alsa::StallWatch::kLimitSeconds) {
        fail(kStalled);
        engine_.StopRequest = true;
    }
}

void JackDriver::fail(Failure why)
{
    int expected = kNone;
    if (failure_.compare_exchange_strong(expected, why)) failed_.store(true);
}

std::string JackDriver::failureText() const
{
    if (!failed_.load()) return {};
    switch (failure_.load()) {
    case kShutDown: {
        std::string text = "The JACK server has shut down the connection";
        if (shutdownReason_[0] != '\0') text += std::string(" (") + shutdownReason_ + ")";
        return text + ".";
    }
    case kRateChanged:
        return "The JACK server changed its sample rate to " + std::to_string(changedRate_.load()) + " Hz.";
    case kStalled:
        return "The JACK server stopped calling (it may have been killed).";
    default:
        return {};
    }
}

// ---- callbacks

int JackDriver::processThunk(uint32_t frames, void* self) { return static_cast<JackDriver*>(self)->process(frames); }

int JackDriver::xrunThunk(void* self)
{
    static_cast<JackDriver*>(self)->serverXruns_.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int JackDriver::rateThunk(uint32_t rate, void* self)
{
    auto* d = static_cast<JackDriver*>(self);
    d->serverRate_.store(static_cast<int>(rate));
    // The chain's filters are designed for the rate the run started at.
    if (d->processingRate_ != 0 && static_cast<int>(rate) != d->processingRate_) {
        d->changedRate_.store(static_cast<int>(rate));
        d->fail(kRateChanged);
        d->engine_.StopRequest = true;
    }
    return 0;
}

int JackDriver::periodThunk(uint32_t frames, void* self)
{
    // Every cycle is cut into pieces of its own length: a new period needs
    // nothing but to be shown.
    static_cast<JackDriver*>(self)->serverPeriod_.store(static_cast<int>(frames));
    return 0;
}

void JackDriver::shutdownThunk(int /*code*/, const char* reason, void* self)
{
    auto* d = static_cast<JackDriver*>(self);
    if (!d->failed_.load()) {
        size_t i = 0;
        if (reason != nullptr)
            for (; reason[i] != '\0' && i + 1 < sizeof d->shutdownReason_; ++i) d->shutdownReason_[i] = reason[i];
        d->shutdownReason_[i] = '\0';
    }
    d->droppedByServer_.store(true);
    d->fail(kShutDown);
    d->engine_.StopRequest = true;
}

void JackDriver::runPiece(const float* in1, const float* in2, float* out1, float* out2, int n)
{
    Engine& e = engine_;
    // The mean of the two inputs, scaled like a 16-bit input; a sample at
    // the 16-bit limit lights the clip lamp.
    constexpr float kClip = 32767.0f / 32768.0f;
    const double volume = e.volumes.InputVolume;
    bool clipped = false;
    for (int i = 0; i < n; ++i) {
        const float l = in1[i], r = in2[i];
        clipped = clipped || std::fabs(l) >= kClip || std::fabs(r) >= kClip;
        e.WorkBuffer[i] = (static_cast<double>(l) / 2.0 + static_cast<double>(r) / 2.0) * volume;
    }
    e.setInputClip(clipped);
    e.ProcessBlock(n);
    const int16_t* s = e.AsioOutputSamples;
    constexpr float kScale = 1.0f / 32768.0f;
    if (stereo_) {
        for (int i = 0; i < n; ++i) {
            out1[i] = s[2 * i] * kScale;
            out2[i] = s[2 * i + 1] * kScale;
        }
    } else {
        for (int i = 0; i < n; ++i) out1[i] = out2[i] = s[i] * kScale;
    }
}

void JackDriver::fileInputPieces(float* out1, float* out2, int frames)
{
    // The input file comes in whole blocks: each block made is played
    // across as many cycles as it takes.
    Engine& e = engine_;
    constexpr float kScale = 1.0f / 32768.0f;
    const int channels = stereo_ ? 2 : 1;
    int done = 0;
    while (done < frames) {
        if (carryUsed_ >= carryFrames_) {
            if (e.StopRequest.load(std::memory_order_relaxed)) break;
            e.ProcessBlock(kPieceFrames);
            std::memcpy(carry_, e.AsioOutputSamples, sizeof(int16_t) * static_cast<size_t>(kPieceFrames * channels));
            carryFrames_ = kPieceFrames;
            carryUsed_ = 0;
        }
        const int n = std::min(frames - done, carryFrames_ - carryUsed_);
        for (int i = 0; i < n; ++i) {
            const int16_t* f = carry_ + (carryUsed_ + i) * channels;
            out1[done + i] = f[0] * kScale;
            out2[done + i] = f[channels - 1] * kScale;
        }
        carryUsed_ += n;
        done += n;
    }
    for (int i = done; i < frames; ++i) out1[i] = out2[i] = 0.0f;
}

int JackDriver::process(uint32_t nframes)
{
    // A cycle that arrives while the last one is still running ends the run.
    if (inCallback_.exchange(true, std::memory_order_acquire)) {
        engine_.StopRequest = true;
        return 0;
    }
    const long begin = monotonicNanos();
    const int frames = static_cast<int>(nframes);
    const auto* in1 = static_cast<const float*>(jack_port_get_buffer(ports_[0], nframes));
    const auto* in2 = static_cast<const float*>(jack_port_get_buffer(ports_[1], nframes));
    auto* out1 = static_cast<float*>(jack_port_get_buffer(ports_[2], nframes));
    auto* out2 = static_cast<float*>(jack_port_get_buffer(ports_[3], nframes));
    if (in1 == nullptr || in2 == nullptr || out1 == nullptr || out2 == nullptr) {
        engine_.StopRequest = true;
        inCallback_.store(false, std::memory_order_release);
        return 0;
    }

    int offset = 0;
    if (engine_.fileInput) {
        fileInputPieces(out1, out2, frames);
        offset = frames;
    } else {
        while (offset < frames && !engine_.StopRequest.load(std::memory_order_relaxed)) {
            const int n = std::min(kPieceFrames, frames - offset);
            runPiece(in1 + offset, in2 + offset, out1 + offset, out2 + offset, n);
            offset += n;
        }
    }
    // Once the run is stopping, silence.
    for (int i = offset; i < frames; ++i) out1[i] = out2[i] = 0.0f;

    const long took = monotonicNanos() - begin;
    const double periodNanos = 1e9 * frames / std::max(1, processingRate_);
    if (static_cast<double>(took) > periodNanos) late_.fetch_add(1, std::memory_order_relaxed);
    if (took > worstNanos_.load(std::memory_order_relaxed)) worstNanos_.store(took, std::memory_order_relaxed);
    const int step = std::min<long>(kTimeSteps - 1, static_cast<long>(took / (kTimeStepMicros * 1000.0)));
    timeCounts_[step].fetch_add(1, std::memory_order_relaxed);
    callbacks_.fetch_add(1, std::memory_order_relaxed);
    inCallback_.store(false, std::memory_order_release);
    return 0;
}

} // namespace stravik
