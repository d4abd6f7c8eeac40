#pragma once
// The chain on files without a sound card: a recording through every stage
// into an output file (with an optional background track), as fast as the
// machine allows. The command line's `korvex render` and the benchmarks use
// it.
//
// The input is any recording SoundFileInput reads, at full precision: the
// job is the chain's input device, converting each block into WorkBuffer as
// the live paths do, so a 24-bit or float recording reaches the chain with
// every bit it has. A rate the chain does not run at is converted on the way
// in. The output is 16-bit (exactly what the chain's output conversion
// makes), or 24-bit or float, which keep the chain's result from before that
// conversion, optionally converted to another rate on the way out. The
// background track is the Files role's, with its rules and messages.
#include "dsp/UserMessages.h"
#include "engine/Engine.h"
#include "engine/FileRoles.h"
#include "engine/OutputFile.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace stravik {

class RenderJob {
public:
    // Exit codes of the command.
    enum : int { kOk = 0, kFailed = 1, kUsage = 2 };
    // The rate recordings at other rates are converted to, unless a
    // SampleRate setting says otherwise.
    static constexpr int kDefaultConversionRate = 48000;

    explicit RenderJob(UserMessages& messages);
    ~RenderJob();

    Engine& engine() { return *engine_; }
    FileRoles& files() { return *files_; }

    // Applies "KEY=VALUE" (any preset or settings key, the value in the key's
    // stored type). False with a reason for an unknown key or a bad value
    // (SampleRate takes only the rates the chain runs at).
    bool applySetting(std::string_view assignment, std::string& error);

    // Which channel of the input the chain hears: 1 = the first, 0 (the
    // default) the average of the first two.
    void setChannel(int channel) { channel_ = channel; }
    void setOutputEncoding(SampleEncoding encoding) { encoding_ = encoding; }
    // The output's rate; 0 (the default): the chain's.
    void setOutputRate(int hz) { outputRate_ = hz; }
    // Lowers the output file's size limit below the format's own (tests).
    void limitOutputBytes(uint64_t bytes) { outputLimit_ = bytes; }

    // Keeps something the job's engine uses (a click source) alive as long
    // as the job.
    void keep(std::shared_ptr<void> owned) { kept_.push_back(std::move(owned)); }

    // A flag that stops the run between two blocks when it turns true (a
    // signal handler may set it: it is only ever read). The output file is
    // then thrown away and the run fails.
    void setInterruptFlag(const std::atomic<bool>* flag) { interrupt_ = flag; }

    // Runs. The chain's rate is the SampleRate setting when one was applied,
    // else the input's when the chain runs at it, else
    // kDefaultConversionRate. progress (may be empty) hears the input's
    // percent from the rendering thread, between blocks. Returns kOk or
    // kFailed (after the message was shown). An impulse response that
    // cannot be loaded fails the run before any file is made: a render
    // without the cabinet asked for is not what was asked for.
    int run(const std::string& in, const std::string& out, const std::string& background,
            const std::function<void(int)>& progress = {});

    // Blocks processed by the last run, and the chain's rate in it.
    long blocks() const { return blocks_; }
    int chainRate() const { return chainRate_; }

private:
    UserMessages& messages_;
    std::unique_ptr<Engine> engine_;
    std::unique_ptr<FileRoles> files_;
    std::vector<std::shared_ptr<void>> kept_; // destroyed before the engine
    const std::atomic<bool>* interrupt_ = nullptr;
    bool sampleRateGiven_ = false;
    int channel_ = 0;
    SampleEncoding encoding_ = SampleEncoding::Pcm16;
    int outputRate_ = 0;
    uint64_t outputLimit_ = OutputFile::kMaxDataBytes;
    long blocks_ = 0;
    int chainRate_ = 0;
};

// Several recordings, each rendered into its own output file by a job of its
// own, on several threads at once.
class RenderBatch {
public:
    struct Task {
        std::string in;
        std::string out;
    };
    // Sets a task's job up as the single render would be (preset, settings,
    // formats). False after its message was shown: the task fails.
    using Configure = std::function<bool(RenderJob& job, UserMessages& messages)>;

    // Messages of a task reach messages prefixed with its input's name; the
    // sink must take them from several threads at once.
    RenderBatch(UserMessages& messages, Configure configure);

    // Renders at most this many tasks at once (at least 1).
    void setWorkers(int workers) { workers_ = workers < 1 ? 1 : workers; }
    void setInterruptFlag(const std::atomic<bool>* flag) { interrupt_ = flag; }

    // Runs every task; returns the exit code of each (RenderJob's). The
    // questions about outputs that would replace a file are asked first, one
    // after the other, before any rendering starts; a task whose output is
    // also another's fails. progress (may be empty) hears the whole batch's
    // percent, each task weighed by its input's length, from whichever
    // thread moved it, one call at a time.
    std::vector<int> run(const std::vector<Task>& tasks, const std::string& background,
                         const std::function<void(int)>& progress = {});

    // The most tasks that were rendering at the same moment in the last run.
    int peakConcurrency() const { return peak_; }

private:
    UserMessages& messages_;
    Configure configure_;
    int workers_ = 1;
    const std::atomic<bool>* interrupt_ = nullptr;
    int peak_ = 0;
};

// Calls work(0) ... work(count - 1), each once, on up to `threads` threads at
// once (the calling thread is one of them); each takes the next index as it
// becomes free. Returns when all are done.
void forEachInParallel(int count, int threads, const std::function<void(int)>& work);

} // namespace stravik
