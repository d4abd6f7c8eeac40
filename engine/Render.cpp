#include "engine/Render.h"

#include "dsp/CpuFeatures.h"
#include "engine/RateConverter.h"
#include "engine/Samples.h"
#include "engine/SoundFileInput.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <sys/stat.h>
#include <thread>

namespace stravik {
namespace {

bool chainRunsAt(int rate) { return rate == 22050 || rate == 44100 || rate == 48000; }

// Whether writing one name replaces the file of the other, whatever the
// names ("takes/a.wav", "./takes//a.wav", a link).
bool sameFile(const std::string& a, const std::string& b)
{
    struct stat x {}, y {};
    return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

bool holdsAFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string overwriteQuestion(const std::string& out)
{
    return "File '" + out + "' already exists!\nDo you want to overwrite it?";
}

// The messages of one task of a batch: prefixed with its input's name. The
// only question a render asks is whether to replace its output; the batch
// asked it before the start, so the answer is known here.
class TaskMessages final : public UserMessages {
public:
    TaskMessages(UserMessages& to, const std::string& name, bool replaceConfirmed)
        : to_(to), prefix_(name + ": "), replace_(replaceConfirmed)
    {
    }
    void show(const std::string& text, const std::string& title, MessageIcon icon) override
    {
        to_.show(prefix_ + text, title, icon);
    }
    MessageAnswer ask(const std::string& text, const std::string& title, MessageButtons buttons,
                      MessageIcon icon) override
    {
        if (replace_) return buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
        // A file that turned up after the questions: left alone.
        to_.show(prefix_ + text + "\n(not replaced)", title, icon);
        return buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Cancel;
    }

private:
    UserMessages& to_;
    std::string prefix_;
    bool replace_;
};

} // namespace

RenderJob::RenderJob(UserMessages& messages)
    : messages_(messages), engine_(std::make_unique<Engine>(messages)),
      files_(std::make_unique<FileRoles>(*engine_))
{
    engine_->setFiles(files_.get());
}

RenderJob::~RenderJob()
{
    engine_->setFiles(nullptr);
    kept_.clear();
}

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
    chainRate_ = 0;
    const auto warn = [this](const std::string& text) { messages_.show(text, {}, MessageIcon::Warning); };

    // The names follow the Files roles' rules: no file in two roles, and no
    // file replaced without asking.
    e.settings.FileIn = in;
    e.settings.FileOut = out;
    e.fileInput = true;
    e.fileOutput = true;
    e.backgroundTrack = !background.empty();
    if (!background.empty()) e.settings.FileMix = background;
    if (!files_->checkSameFiles(messages_)) return kFailed;
    if (sameFile(in, out)) {
        warn("Error! Input file specified is the same as output file.");
        return kFailed;
    }
    if (!background.empty() && sameFile(background, out)) {
        warn("Error! Background track file specified is the same as output file.");
        return kFailed;
    }
    if (!files_->confirmOverwrite(messages_)) return kFailed;

    SoundFileInput input;
    std::string error;
    if (!input.open(in, channel_, error)) {
        warn("Error opening input file!\n" + error);
        return kFailed;
    }
    const int rate = sampleRateGiven_            ? e.settings.SampleRate.get()
                     : chainRunsAt(input.fileRate()) ? input.fileRate()
                                                     : kDefaultConversionRate;
    if (!input.convertTo(rate, error)) {
        warn("Error opening input file!\n" + error);
        return kFailed;
    }
    const int channels = e.settings.stereo ? 2 : 1;
    const int outRate = outputRate_ > 0 ? outputRate_ : rate;
    RateConverter outConverter;
    const bool convertOut = outRate != rate;
    if (convertOut && !outConverter.setup(rate, outRate, channels, error)) {
        warn("Error creating output file!\n" + error);
        return kFailed;
    }
    const auto interrupted = [this] {
        if (!interrupt_ || !interrupt_->load()) return false;
        messages_.show("Rendering interrupted.", {}, MessageIcon::Error);
        return true;
    };

    const dsp::cpu::ScopedFlushToZero flushToZero;
    chainRate_ = rate;
    e.settings.SampleRate = rate;
    e.StopRequest = false;
    e.raisePriorityForFileInput = false;
    e.ProcessingRate = rate;
    // The job feeds the chain and writes the output itself; of the Files
    // roles only the background track takes part.
    e.fileInput = false;
    e.fileOutput = false;
    e.beginRun(rate);
    // The amp's response was loaded as the run started; its message is out.
    if (!e.effects().ampResponseLoaded()) return kFailed;
    if (interrupted() || !files_->open(rate)) return kFailed;
    OutputFile output;
    output.limitDataBytes(outputLimit_);
    if (!output.open(out, encoding_, channels, outRate)) {
        warn("Error creating output file!");
        files_->abandon();
        return kFailed;
    }

    // What the output file gets: the chain's 16-bit output as the device
    // hears it (with the background when it is mixed in), or, at full
    // precision, the chain's result before that conversion plus what the
    // background added to the 16-bit values. Without "Mix to output file"
    // the file gets the guitar alone.
    const bool backgroundInFile = !background.empty() && e.settings.Mix2Out != 0;
    const bool exact = encoding_ != SampleEncoding::Pcm16 || convertOut;
    const int values = Engine::kBlockFrames * channels;
    double block[Engine::kBlockFrames];
    int16_t guitar[2 * Engine::kBlockFrames];
    double steps[2 * Engine::kBlockFrames];
    std::vector<double> converted;
    const auto percentDone = [&] {
        const int64_t total = input.frames();
        if (total == SoundFileInput::kUnknownLength) return 0; // until it ends
        if (total <= 0) return 100;
        return static_cast<int>(std::min<int64_t>(100, (input.position() * 100 + total / 2) / total));
    };

    int shown = -1;
    bool last = false;
    bool stopped = false;
    e.running = true;
    while (!last) {
        if (interrupted()) {
            stopped = true;
            break;
        }
        const size_t got = input.read(block, Engine::kBlockFrames);
        if (input.failed()) {
            warn("Error reading input file!\n" + input.error());
            stopped = true;
            break;
        }
        if (got < static_cast<size_t>(Engine::kBlockFrames)) {
            // The last block, padded with silence.
            std::fill(block + got, block + Engine::kBlockFrames, 0.0);
            last = true;
        }
        e.convertInput(block, Engine::kBlockFrames);
        e.ProcessBlock(Engine::kBlockFrames);
        ++blocks_;

        const double* finished = e.finishedBlock();
        const float outVol = e.volumes.OutputVolume;
        if (!exact) {
            if (background.empty() || backgroundInFile) {
                output.append(e.OutputSamples, static_cast<size_t>(values));
            } else {
                samples::outputConvert(finished, guitar, values, outVol);
                output.append(guitar, static_cast<size_t>(values));
            }
        } else {
            for (int i = 0; i < values; ++i) {
                const int16_t g = samples::outputValue(finished[i], outVol);
                double v = static_cast<double>(outVol) * finished[i] * 32768.0;
                if (!std::isfinite(v)) v = g;
                steps[i] = backgroundInFile ? v + (e.OutputSamples[i] - g) : v;
            }
            if (convertOut) {
                converted.clear();
                outConverter.push(steps, Engine::kBlockFrames, converted);
                output.append(converted.data(), converted.size());
            } else {
                output.append(steps, static_cast<size_t>(values));
            }
        }
        if (output.reachedLimit()) break;
        if (progress && percentDone() != shown) {
            shown = percentDone();
            progress(shown);
        }
    }
    e.running = false;
    e.endRun();
    if (stopped) {
        output.abandon();
        files_->abandon();
        return kFailed;
    }
    if (convertOut && !output.reachedLimit()) {
        // The converter's tail: the last input instants.
        converted.clear();
        outConverter.finish(converted);
        output.append(converted.data(), converted.size());
    }
    files_->close();
    const bool full = output.reachedLimit();
    if (!output.close()) {
        warn("Error writing output file!");
        return kFailed;
    }
    if (full) {
        // Complete and correct, but shorter than the recording.
        warn("The output file reached the 4 GB size limit of WAV files; it ends there.");
        return kFailed;
    }
    if (progress && shown != 100) progress(100);
    return kOk;
}

// ---- batches

RenderBatch::RenderBatch(UserMessages& messages, Configure configure)
    : messages_(messages), configure_(std::move(configure))
{
}

std::vector<int> RenderBatch::run(const std::vector<Task>& tasks, const std::string& background,
                                  const std::function<void(int)>& progress)
{
    const size_t count = tasks.size();
    std::vector<int> results(count, RenderJob::kFailed);
    std::vector<char> ready(count, 0), replace(count, 0);
    std::vector<double> weight(count, 0.0);

    // The questions, one after the other, before anything renders: a
    // terminal cannot take them from several renders at once.
    for (size_t i = 0; i < count; ++i) {
        const Task& t = tasks[i];
        // One output per task: the first task to claim a name keeps it.
        size_t claimed = 0;
        while (claimed < i && !(ready[claimed] && tasks[claimed].out == t.out)) ++claimed;
        if (claimed < i) {
            messages_.show(t.in + ": its output " + t.out + " is the output of " + tasks[claimed].in +
                               " too; not rendered",
                           {}, MessageIcon::Warning);
            continue;
        }
        if (sameFile(t.in, t.out)) {
            messages_.show(t.in + ": Error! Input file specified is the same as output file.", {}, MessageIcon::Warning);
            continue;
        }
        // Nor may it replace a recording another task is to read.
        const auto input = std::find_if(tasks.begin(), tasks.end(), [&](const Task& other) { return sameFile(other.in, t.out); });
        if (input != tasks.end()) {
            messages_.show(t.in + ": its output " + t.out + " is the input " + input->in + "; not rendered", {},
                           MessageIcon::Warning);
            continue;
        }
        if (holdsAFile(t.out)) {
            const MessageAnswer a =
                messages_.ask(overwriteQuestion(t.out), "Warning!", MessageButtons::OkCancel, MessageIcon::Warning);
            if (a != MessageAnswer::Ok) continue;
            replace[i] = 1;
        }
        ready[i] = 1;
        // Each task counts for its length in the batch's progress.
        SoundFileInput probe;
        std::string error;
        if (probe.open(t.in, SoundFileInput::kAverageOfFirstTwo, error) && probe.fileFrames() > 0)
            weight[i] = static_cast<double>(probe.fileFrames()) / probe.fileRate();
    }

    std::mutex progressLock;
    std::vector<int> percent(count, 0);
    double totalWeight = 0.0;
    for (double w : weight) totalWeight += w;
    int shown = -1;
    const auto moved = [&](size_t i, int p) {
        std::lock_guard lock(progressLock);
        percent[i] = p;
        double sum = 0.0;
        for (size_t k = 0; k < count; ++k)
            sum += (totalWeight > 0.0 ? weight[k] / totalWeight : 1.0 / static_cast<double>(count)) * percent[k];
        const int overall = std::clamp(static_cast<int>(sum), 0, 100);
        if (overall != shown) {
            shown = overall;
            if (progress) progress(overall);
        }
    };

    std::atomic<int> rendering{0};
    std::atomic<int> peak{0};
    forEachInParallel(static_cast<int>(count), workers_, [&](int index) {
        const size_t i = static_cast<size_t>(index);
        if (ready[i] && !(interrupt_ && interrupt_->load())) {
            const int now = ++rendering;
            for (int seen = peak.load(); now > seen && !peak.compare_exchange_weak(seen, now);) {
            }
            TaskMessages messages(messages_, tasks[i].in, replace[i] != 0);
            RenderJob job(messages);
            job.setInterruptFlag(interrupt_);
            if (!configure_ || configure_(job, messages))
                results[i] = job.run(tasks[i].in, tasks[i].out, background, [&](int p) { moved(i, p); });
            --rendering;
        }
        moved(i, 100);
    });
    peak_ = peak.load();
    return results;
}

void forEachInParallel(int count, int threads, const std::function<void(int)>& work)
{
    std::atomic<int> next{0};
    const auto loop = [&] {
        for (int i = next++; i < count; i = next++) work(i);
    };
    threads = std::clamp(threads, 1, std::max(count, 1));
    std::vector<std::thread> helpers;
    helpers.reserve(static_cast<size_t>(threads - 1));
    for (int t = 1; t < threads; ++t) helpers.emplace_back(loop);
    loop();
    for (std::thread& h : helpers) h.join();
}

} // namespace stravik
