#pragma once
// Real audio devices for tests: a dummy JACK server, ALSA PCMs on top of it
// (ALSA's `jack` plugin), and a JACK client that plays known signals into
// them and records what comes out.
//
// Using it
// - Put the line `// test-fixture: jack` in the test source. CTest then runs
//   the test inside the fixture "jack": tests/jack_server.sh starts
//   `jackd -n NAME -R -S -d dummy -r 48000 -p 128` before the first such test
//   and stops it after the last. NAME is unique to the build directory; it
//   reaches the test as the compile definition STRAVIK_JACK_SERVER (see
//   fixtureServer()) and as the environment variable JACK_DEFAULT_SERVER, so
//   programs the test starts find it too. The marker also links libjack and
//   libasound. A test label (`// test-label: threads`) still works beside it;
//   every test with a JACK client has threads.
// - useServer(NAME) points this process's JACK clients, ALSA's jack plugin
//   among them, at a server (and keeps libjack from starting one itself).
// - TestClient: a JACK client with output ports out_1.. that play signals
//   and input ports in_1.. that record. Its name is unique (process id and a
//   counter). The tests of the fixture run one at a time all the same
//   (tests/CMakeLists.txt): on a loaded machine the dummy server, with
//   clients of several tests coming and going, misses the deadlines of its
//   graph changes, fails activations and drops clients.
// - AlsaConfig: writes an ALSA configuration defining PCMs on given JACK
//   ports and points this process's ALSA at it (environment() gives the
//   assignment for programs the test starts).
// - PrivateServer: a server of the test's own, for another rate or to end
//   mid-stream.
//
// What was found out on the way
// - libjack connects every client of a process to one server: while any
//   client is open (a TestClient, or an ALSA PCM of the jack plugin), new
//   clients join that server whatever JACK_DEFAULT_SERVER says. A test with a
//   PrivateServer opens nothing on another server at the same time. (CTest
//   runs each test case in a process of its own.)
// - ALSA reads its configuration once, and again when the list of files in
//   ALSA_CONFIG_PATH changes; every AlsaConfig therefore writes a file of its
//   own name, and setting the variable is all it takes.
// - The plugin connects its ports when the PCM's hardware parameters are
//   installed: the JACK ports it names must exist by then, or that fails with
//   EIO. Its channels are its ports; it takes only the server's rate and
//   32-bit float. `plug` converts format, channels and rate (a program that
//   forbids resampling gets only the server's rate); `lfloat` converts the
//   sample format only; `raw` is the plugin itself.
// - 16-bit samples travel as value / 32768 and come back exactly.
// - snd_pcm_delay on the plugin counts the frames in its ring, not the JACK
//   period being played; a server that dies leaves the PCM "running" with no
//   frames moving and no error. At drain the plugin repeats its last period:
//   write silence before snd_pcm_drain.
#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

// Two JACK clients hand samples over through the server's shared memory,
// ordered by the server from another process; ThreadSanitizer cannot see
// that ordering and reports the copies of ALSA's jack plugin as races with
// the test client's writes. The copies of ALSA and its plugin are left out
// of its view, and so are the test client's cycles, which meet korvex's own
// JACK client's port buffers when both live in the test's process (a
// program with korvex's client alone has no such hand-over); everything
// else of ours stays in it. (libjack cannot be left out
// the same way: its threads start inside it and would end with the ignores
// still on. Weak, so that a test program may bring suppressions of its own.)
extern "C" __attribute__((weak)) const char* __tsan_default_suppressions()
{
    return "called_from_lib:libasound.so.2\n"
           "called_from_lib:libasound_module_pcm_jack.so\n"
           "race:jacktest::TestClient::process\n";
}

namespace jacktest {

// The fixture's server ("" when the test is not marked for it).
inline std::string fixtureServer()
{
#ifdef STRAVIK_JACK_SERVER
    return STRAVIK_JACK_SERVER;
#else
    return {};
#endif
}

inline void useServer(const std::string& name)
{
    setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
}

// A name no other test process uses: prefix_pid_counter.
inline std::string uniqueName(const std::string& prefix)
{
    static std::atomic<int> counter{0};
    return prefix + "_" + std::to_string(getpid()) + "_" + std::to_string(counter.fetch_add(1));
}

// True when a JACK server of this name answers (asked from another process,
// so this one's libjack stays untouched).
inline bool serverAnswers(const std::string& name)
{
    const std::string cmd = "JACK_DEFAULT_SERVER='" + name + "' JACK_NO_START_SERVER=1 jack_lsp >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

// 16-bit sample values as JACK carries them.
inline float toJack(int16_t v) { return static_cast<float>(v) / 32768.0f; }
inline int16_t fromJack(float v) { return static_cast<int16_t>(v * 32768.0f); }

class TestClient {
public:
    // Opens and activates the client on the server useServer() chose.
    // portFlags are added to every port's (JackPortIsPhysical: the ports
    // stand in for a sound card's, on a PrivateServer without ports of its
    // own).
    TestClient(int outputs, int inputs, double recordSeconds = 8.0, unsigned long portFlags = 0)
        : name_(uniqueName("t"))
    {
        client_ = jack_client_open(name_.c_str(), JackNoStartServer, nullptr);
        if (!client_) return;
        rate_ = static_cast<int>(jack_get_sample_rate(client_));
        for (int i = 0; i < outputs; ++i)
            outs_.push_back(jack_port_register(client_, ("out_" + std::to_string(i + 1)).c_str(),
                                               JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput | portFlags, 0));
        for (int i = 0; i < inputs; ++i)
            ins_.push_back(jack_port_register(client_, ("in_" + std::to_string(i + 1)).c_str(),
                                              JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput | portFlags, 0));
        signals_.resize(static_cast<size_t>(outputs));
        const size_t capacity = static_cast<size_t>(recordSeconds * rate_);
        recordings_.assign(static_cast<size_t>(inputs), std::vector<float>(capacity, 0.0f));
        jack_set_process_callback(client_, &TestClient::process, this);
        jack_on_shutdown(client_, &TestClient::shutDown, this);
        jack_set_xrun_callback(client_, &TestClient::xrun, this);
        active_ = jack_activate(client_) == 0;
    }
    ~TestClient()
    {
        if (client_) {
            // A client the server dropped is not deactivated (libjack may crash on it).
            if (active_ && !shutDown_) jack_deactivate(client_);
            jack_client_close(client_);
        }
    }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    bool ok() const { return client_ != nullptr && active_; }
    const std::string& name() const { return name_; }
    std::string outputPort(int i) const { return name_ + ":out_" + std::to_string(i + 1); }
    std::string inputPort(int i) const { return name_ + ":in_" + std::to_string(i + 1); }
    int rate() const { return rate_; }

    // What output i plays once startPlaying() is called (silence after its
    // end). Only before startPlaying().
    void setSignal(int output, std::vector<float> samples) { signals_[static_cast<size_t>(output)] = std::move(samples); }
    void startPlaying() { playing_.store(true, std::memory_order_release); }
    // Frames of the signals played so far.
    long played() const { return playPos_.load(std::memory_order_acquire); }

    long recordedFrames() const { return recorded_.load(std::memory_order_acquire); }
    long capacity() const { return recordings_.empty() ? 0 : static_cast<long>(recordings_[0].size()); }
    // The server let the client go (it ended, or the client was too slow).
    bool wasShutDown() const { return shutDown_.load(); }
    // Cycles the server ran late (on a loaded machine): a period may have
    // gone missing between two clients without either device noticing.
    long serverXruns() const { return xruns_.load(); }
    // For failure messages: how far the recording got.
    std::string state() const
    {
        return "recorded " + std::to_string(recordedFrames()) + " of " + std::to_string(capacity()) + " frames, "
               + std::to_string(serverXruns()) + " server xruns" + (wasShutDown() ? ", shut down by the server" : "");
    }
    // What input i recorded since the client was activated.
    std::vector<float> recording(int input) const
    {
        const long n = recordedFrames();
        const auto& r = recordings_[static_cast<size_t>(input)];
        return std::vector<float>(r.begin(), r.begin() + n);
    }
    // Waits (in real time, at most `limit`) until `frames` have been recorded.
    bool waitRecorded(long frames, std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) const
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (recordedFrames() < frames) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

private:
    static void shutDown(void* arg) { static_cast<TestClient*>(arg)->shutDown_ = true; }
    static int xrun(void* arg)
    {
        static_cast<TestClient*>(arg)->xruns_.fetch_add(1);
        return 0;
    }

    static int process(jack_nframes_t n, void* arg)
    {
        auto* self = static_cast<TestClient*>(arg);
        const bool playing = self->playing_.load(std::memory_order_acquire);
        const long pos = self->playPos_.load(std::memory_order_relaxed);
        for (size_t p = 0; p < self->outs_.size(); ++p) {
            auto* out = static_cast<float*>(jack_port_get_buffer(self->outs_[p], n));
            const auto& s = self->signals_[p];
            for (jack_nframes_t k = 0; k < n; ++k) {
                const size_t i = static_cast<size_t>(pos) + k;
                out[k] = playing && i < s.size() ? s[i] : 0.0f;
            }
        }
        if (playing) self->playPos_.store(pos + static_cast<long>(n), std::memory_order_release);
        const long at = self->recorded_.load(std::memory_order_relaxed);
        long kept = 0;
        for (size_t p = 0; p < self->ins_.size(); ++p) {
            const auto* in = static_cast<const float*>(jack_port_get_buffer(self->ins_[p], n));
            auto& r = self->recordings_[p];
            const long room = static_cast<long>(r.size()) - at;
            kept = std::min<long>(static_cast<long>(n), std::max<long>(room, 0));
            for (long k = 0; k < kept; ++k) r[static_cast<size_t>(at + k)] = in[k];
        }
        self->recorded_.store(at + kept, std::memory_order_release);
        return 0;
    }

    std::string name_;
    jack_client_t* client_ = nullptr;
    bool active_ = false;
    int rate_ = 0;
    std::vector<jack_port_t*> outs_, ins_;
    std::vector<std::vector<float>> signals_;
    std::vector<std::vector<float>> recordings_;
    std::atomic<bool> playing_{false};
    std::atomic<bool> shutDown_{false};
    std::atomic<long> xruns_{0};
    std::atomic<long> playPos_{0};
    std::atomic<long> recorded_{0};
};

// A PCM of the ALSA configuration, on JACK ports.
struct JackPcm {
    enum class Kind { Plug, Lfloat, Raw };
    std::string name;
    Kind kind = Kind::Plug;
    std::vector<std::string> capturePorts;  // one per channel
    std::vector<std::string> playbackPorts; // one per channel
    std::string description = "Stravik test device";
};

class AlsaConfig {
public:
    explicit AlsaConfig(const std::vector<JackPcm>& pcms)
    {
        const char* tmp = std::getenv("TMPDIR");
        path_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + uniqueName("stravik-asound") + ".conf";
        std::string text;
        for (const auto& p : pcms) {
            const std::string jack = p.kind == JackPcm::Kind::Raw ? p.name : p.name + "_jack";
            text += "pcm." + jack + " {\n  type jack\n";
            text += ports("capture_ports", p.capturePorts) + ports("playback_ports", p.playbackPorts);
            if (p.kind == JackPcm::Kind::Raw)
                text += "  hint.description \"" + p.description + "\"\n}\n";
            else
                text += "  hint.show off\n}\n";
            if (p.kind == JackPcm::Kind::Plug)
                text += "pcm." + p.name + " {\n  type plug\n  slave.pcm \"" + jack + "\"\n  hint.description \""
                        + p.description + "\"\n}\n";
            else if (p.kind == JackPcm::Kind::Lfloat)
                text += "pcm." + p.name + " {\n  type lfloat\n  slave { pcm \"" + jack
                        + "\" format FLOAT_LE }\n  hint.description \"" + p.description + "\"\n}\n";
        }
        if (std::FILE* f = std::fopen(path_.c_str(), "w")) {
            written_ = std::fwrite(text.data(), 1, text.size(), f) == text.size();
            written_ = std::fclose(f) == 0 && written_;
        }
        setenv("ALSA_CONFIG_PATH", value().c_str(), 1);
    }
    ~AlsaConfig() { std::remove(path_.c_str()); }
    AlsaConfig(const AlsaConfig&) = delete;
    AlsaConfig& operator=(const AlsaConfig&) = delete;

    bool ok() const { return written_; }
    const std::string& path() const { return path_; }
    std::string value() const { return "/usr/share/alsa/alsa.conf:" + path_; }
    // For a program the test starts: ALSA_CONFIG_PATH=...
    std::string environment() const { return "ALSA_CONFIG_PATH=" + value(); }

private:
    static std::string ports(const char* what, const std::vector<std::string>& names)
    {
        if (names.empty()) return {};
        std::string s = std::string("  ") + what + " {";
        for (size_t i = 0; i < names.size(); ++i) s += " " + std::to_string(i) + " \"" + names[i] + "\"";
        return s + " }\n";
    }

    std::string path_;
    bool written_ = false;
};

// A dummy JACK server of the test's own.
class PrivateServer {
public:
    // systemPorts: the dummy back-end's capture and playback ports (2 each,
    // or none).
    explicit PrivateServer(int rate, int period = 128, bool systemPorts = true) : name_(uniqueName("stravik-own"))
    {
        const char* tmp = std::getenv("TMPDIR");
        log_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name_ + ".log";
        const std::string r = std::to_string(rate), p = std::to_string(period);
        const char* const ports = systemPorts ? "2" : "0";
        // setpriv makes the server end with the thread that started it, so a
        // test program that crashes leaves no server behind.
        const char* argv[] = {"setpriv", "--pdeathsig", "TERM", "jackd", "-n", name_.c_str(), "-R", "-S", "-d",
                              "dummy", "-r", r.c_str(), "-p", p.c_str(), "-C", ports, "-P", ports, nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawnp(&pid_, "setpriv", &actions, nullptr, const_cast<char* const*>(argv), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        // Ready in about 0.3 s; give a loaded machine far longer.
        for (int i = 0; pid_ > 0 && i < 1000 && !ready_; ++i) {
            ready_ = serverAnswers(name_);
            if (!ready_ && waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1; // it gave up
            if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~PrivateServer()
    {
        terminate();
        std::remove(log_.c_str());
        // The semaphores of clients still open when the server ended stay
        // behind in /dev/shm; this server's name is ours alone.
        const std::string prefix = "jack_sem." + std::to_string(getuid()) + "_" + name_ + "_";
        if (DIR* dir = opendir("/dev/shm")) {
            while (const dirent* e = readdir(dir))
                if (std::string(e->d_name).rfind(prefix, 0) == 0) unlink(("/dev/shm/" + std::string(e->d_name)).c_str());
            closedir(dir);
        }
    }
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    bool ready() const { return ready_; }
    const std::string& name() const { return name_; }
    // What the server said (why it did not start, for instance).
    std::string log() const
    {
        std::string text;
        if (std::FILE* f = std::fopen(log_.c_str(), "r")) {
            char buf[512];
            size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
            std::fclose(f);
        }
        return text;
    }
    // Ends the server mid-stream and waits until it is gone. SIGTERM, not
    // SIGKILL: a killed server leaves its entry in JACK's registry of
    // servers, which holds eight per user, and a few test runs would leave
    // no room for any server on the machine. Its clients see the same as
    // after a crash: the server does not answer any more.
    void terminate()
    {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    std::string name_;
    std::string log_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

} // namespace jacktest
