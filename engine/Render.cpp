#include "engine/Render.h"

#include "dsp/CpuFeatures.h"
#include "engine/ParameterTable.h"
#include "engine/WavFile.h"

#include <atomic>

namespace stravik {
namespace {

// Stores the input's percent for the rendering loop to report between
// blocks: the chain's own thread never prints.
class PercentHolder final : public FileProgressListener {
public:
    std::atomic<int> input{0};
    void inputProgress(int p) override { input = p; }
    void backgroundProgress(int) override {}
};

bool supportedRate(int rate) { return rate == 22050 || rate == 44100 || rate == 48000; }

} // namespace

RenderJob::RenderJob(UserMessages& messages)
    : messages_(messages), engine_(std::make_unique<Engine>(messages)),
      files_(std::make_unique<FileRoles>(*engine_))
{
    engine_->setFiles(files_.get());
}

RenderJob::~RenderJob() { engine_->setFiles(nullptr); }

bool RenderJob::applySetting(std::string_view assignment, std::string& error)
{
    const size_t eq = assignment.find('=');
    if (eq == std::string_view::npos || eq == 0) {
        error = "expected KEY=VALUE, got '" + std::string(assignment) + "'";
        return false;
    }
    const std::string_view name = assignment.substr(0, eq);
    if (!engine_->setParameter(name, assignment.substr(eq + 1), &error)) return false;
    if (name == "SampleRate") sampleRateGiven_ = true;
    return true;
}

int RenderJob::run(const std::string& in, const std::string& out, const std::string& background,
                   const std::function<void(int)>& progress)
{
    Engine& e = *engine_;
    blocks_ = 0;
    e.settings.FileIn = in;
    e.settings.FileOut = out;
    e.fileInput = true;
    e.fileOutput = true;
    e.backgroundTrack = !background.empty();
    if (!background.empty()) e.settings.FileMix = background;

    // The processing rate follows the input file, unless one was asked for;
    // a file at a rate the chain does not run at keeps the stored rate, and
    // opening it then says that the rates differ.
    if (!sampleRateGiven_) {
        WavReader probe;
        if (probe.open(in) == kWavOk && supportedRate(static_cast<int>(probe.format().sampleRate)))
            e.settings.SampleRate = static_cast<int>(probe.format().sampleRate);
    }
    const int rate = e.settings.SampleRate;
    if (!supportedRate(rate)) {
        messages_.show("The chain runs at 22050, 44100 or 48000 Hz, not at " + std::to_string(rate) + " Hz.", {},
                       MessageIcon::Error);
        return kFailed;
    }
    const auto interrupted = [this] {
        if (!interrupt_ || !interrupt_->load()) return false;
        messages_.show("Rendering interrupted.", {}, MessageIcon::Error);
        return true;
    };

    if (!files_->checkSameFiles(messages_)) return kFailed;
    if (!files_->confirmOverwrite(messages_)) return kFailed;

    const dsp::cpu::ScopedFlushToZero flushToZero;
    e.StopRequest = false;
    e.raisePriorityForFileInput = false;
    e.ProcessingRate = rate;
    e.beginRun(rate);
    // The amp's response was loaded as the run started; its message is out.
    if (!e.effects().ampResponseLoaded()) return kFailed;
    if (interrupted() || !files_->open(rate)) return kFailed;

    PercentHolder percent;
    files_->setProgressListener(&percent);
    int shown = -1;
    e.running = true;
    bool stopped = false;
    while (!e.StopRequest) {
        if (interrupted()) {
            stopped = true;
            break;
        }
        e.ProcessBlock(Engine::kBlockFrames);
        ++blocks_;
        if (progress && percent.input != shown) {
            shown = percent.input;
            progress(shown);
        }
    }
    e.running = false;
    files_->setProgressListener(nullptr);
    e.endRun();
    if (stopped) {
        files_->abandon();
        return kFailed;
    }
    return files_->close() ? kOk : kFailed;
}

} // namespace stravik
