#pragma once
// The low-latency path through JACK (jackd2, or PipeWire's JACK interface).
//
// The run becomes a JACK client named "korvex" with two inputs (in_1, in_2)
// and two outputs (out_1, out_2). All processing happens in JACK's process
// callback: the period is cut into pieces of 128 frames (a shorter piece
// takes the remainder), each piece's input is the mean of the two inputs
// times InputVolume, the chain runs, and its 16-bit result goes to the
// outputs as value / 32768 (mono output to both). The processing thread only
// waits and watches.
//
// The server owns the period and the rate; the program never changes them.
// MaxDelay still yields the buffer size a driver would be asked for
// (requestedFrames, fitToDriver): it is shown beside the server's period.
// The chain runs at the server's rate when it is one the chain supports
// (22050, 44100, 48000 Hz); any period from 16 to 4096 frames works, and a
// period change while running is simply followed. A rate change, a server
// that shuts down or drops the client, and a server that stops calling
// (killed, say) end the run with a message.
//
// Threads: load, open, start, stop and unload on the processing thread;
// the callbacks on JACK's threads; failed(), failureText(), the counts and
// stats() anywhere.
//
// libjack connects every client of a process to one server: while another
// JACK client of this process is open (a MIDI input through JACK, say), the
// run joins that client's server whatever name it asks for.
#include "dsp/UserMessages.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
typedef struct _jack_client jack_client_t;
typedef struct _jack_port jack_port_t;
}

namespace stravik {

class Engine;

class JackDriver {
public:
    static constexpr int kPieceFrames = 128;
    static constexpr const char* kClientName = "korvex";

    // The JACK servers this process can reach, the one JACK_DEFAULT_SERVER
    // (or "default") names first, then the others by name. ASIO_dev indexes
    // this list.
    static std::vector<std::string> servers();
    // The buffer size MaxDelay asks for: floor(MaxDelay / 1000 x rate)
    // rounded down to a multiple of 128, at least 128.
    static int requestedFrames(double maxDelayMs, int rate);
    // That size fitted to a driver's limits: below the minimum it becomes
    // the minimum rounded down to a multiple of 128, plus 128 when that is
    // still too small; above the maximum, the maximum rounded down.
    static int fitToDriver(int frames, int minimum, int maximum);
    // A server's rate and period, asked outside a run (for the setup page,
    // beside the size MaxDelay asks for). False when it does not answer.
    static bool serverSizes(const std::string& server, int& rate, int& period);

    explicit JackDriver(Engine& engine);
    ~JackDriver();
    JackDriver(const JackDriver&) = delete;
    JackDriver& operator=(const JackDriver&) = delete;

    // Opens the client on the server of this name (never starts a server).
    // False after "Error loading ASIO driver!".
    bool load(const std::string& server, UserMessages& messages);
    int serverRate() const { return serverRate_.load(); }
    int serverPeriod() const { return serverPeriod_.load(); }
    // What MaxDelay asked for, fitted to the server's period (after open).
    int requestedSize() const { return requested_; }
    int fittedSize() const { return fitted_; }

    // Registers the ports and the callbacks for a run at processingRate,
    // which must be the server's. False after "Error setting up ASIO driver!".
    bool open(int processingRate, double maxDelayMs, UserMessages& messages);
    // Activates the client; with connectPorts the inputs take the system's
    // capture ports and the outputs feed its playback ports (a port that
    // cannot be connected is skipped: the user's patchbay can do it).
    // False after "Error setting up ASIO driver!".
    bool start(bool connectPorts, UserMessages& messages);
    // Deactivates (no callback runs once it returns).
    void stop();
    // Closes the client.
    void unload();

    // Called by the waiting processing thread: notices a server that has
    // stopped calling (half a second without a cycle while active).
    void watch();
    bool failed() const { return failed_.load(); }
    std::string failureText() const;

    // Cycles the server reported late (every client's, the machine's too).
    long serverXruns() const { return serverXruns_.load(std::memory_order_relaxed); }
    // Callbacks of ours that took longer than their period: xruns korvex caused.
    long lateCallbacks() const { return late_.load(std::memory_order_relaxed); }
    long callbacks() const { return callbacks_.load(std::memory_order_relaxed); }
    // Time of the callbacks in 5 us steps up to 10 ms (the last holds the rest).
    static constexpr int kTimeSteps = 2000;
    static constexpr double kTimeStepMicros = 5.0;
    long timeCount(int step) const { return timeCounts_[step].load(std::memory_order_relaxed); }
    double worstMicros() const { return worstNanos_.load(std::memory_order_relaxed) / 1000.0; }

private:
    static int processThunk(uint32_t frames, void* self);
    static int xrunThunk(void* self);
    static int rateThunk(uint32_t rate, void* self);
    static int periodThunk(uint32_t frames, void* self);
    static void shutdownThunk(int code, const char* reason, void* self);

    int process(uint32_t frames);
    void runPiece(const float* in1, const float* in2, float* out1, float* out2, int n);
    void fileInputPieces(float* out1, float* out2, int frames);
    enum Failure { kNone, kShutDown, kRateChanged, kStalled };
    // Async-signal-safe: JACK may call its shutdown callback from anywhere.
    void fail(Failure why);

    Engine& engine_;
    jack_client_t* client_ = nullptr;
    jack_port_t* ports_[4] = {}; // in_1, in_2, out_1, out_2
    bool active_ = false;
    std::atomic<int> serverRate_{0};
    std::atomic<int> serverPeriod_{0};
    int processingRate_ = 0;
    int requested_ = 0;
    int fitted_ = 0;

    // The callback's own state.
    std::atomic<bool> inCallback_{false};
    bool stereo_ = false;
    // File input: the chain always makes whole 128-frame blocks; what a
    // period does not take waits here for the next one.
    int16_t carry_[2 * kPieceFrames] = {};
    int carryFrames_ = 0;
    int carryUsed_ = 0;

    std::atomic<int> failure_{kNone};
    std::atomic<bool> failed_{false};
    std::atomic<bool> droppedByServer_{false}; // the server let this client go: it is not deactivated
    char shutdownReason_[160] = {}; // written before failed_ is set
    std::atomic<int> changedRate_{0};
    std::atomic<long> serverXruns_{0};
    std::atomic<long> late_{0};
    std::atomic<long> callbacks_{0};
    std::atomic<long> worstNanos_{0};
    std::atomic<long> timeCounts_[kTimeSteps] = {};
    long lastSeenCallbacks_ = -1;
    double lastMovedAt_ = 0;
};

} // namespace stravik
