#pragma once
// The chain on files without a sound card: the input file through every
// stage into the output file (with an optional background track), as fast as
// the machine allows. The command line's `korvex render` and the benchmarks
// use it.
#include "dsp/UserMessages.h"
#include "engine/Engine.h"
#include "engine/FileRoles.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace stravik {

class RenderJob {
public:
    // Exit codes of the command.
    enum : int { kOk = 0, kFailed = 1, kUsage = 2 };

    explicit RenderJob(UserMessages& messages);
    ~RenderJob();

    Engine& engine() { return *engine_; }
    FileRoles& files() { return *files_; }

    // Applies "KEY=VALUE" (any preset or settings key, the value in the key's
    // stored type). False with a reason for an unknown key or a bad value
    // (SampleRate takes only the rates the chain runs at).
    bool applySetting(std::string_view assignment, std::string& error);

    // A flag that stops the run between two blocks when it turns true (a
    // signal handler may set it: it is only ever read). The output file is
    // then thrown away and the run fails.
    void setInterruptFlag(const std::atomic<bool>* flag) { interrupt_ = flag; }

    // Runs: the sample rate follows the input file unless a SampleRate
    // setting was applied. progress (may be empty) hears the input's percent
    // from the rendering thread, between blocks. Returns kOk or kFailed
    // (after the message was shown). An impulse response that cannot be
    // loaded fails the run before any file is opened: a render without the
    // cabinet asked for is not what was asked for.
    int run(const std::string& in, const std::string& out, const std::string& background,
            const std::function<void(int)>& progress = {});

    // Blocks processed by the last run.
    long blocks() const { return blocks_; }

private:
    UserMessages& messages_;
    std::unique_ptr<Engine> engine_;
    std::unique_ptr<FileRoles> files_;
    const std::atomic<bool>* interrupt_ = nullptr;
    bool sampleRateGiven_ = false;
    long blocks_ = 0;
};

} // namespace stravik
