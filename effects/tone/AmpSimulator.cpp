#include "effects/tone/AmpSimulator.h"

#include "dsp/UserMessages.h"

#include <cmath>
#include <filesystem>

namespace stravik::effects {
namespace {

// The preamp's soft clipping, separately for each polarity (the negative
// half gives way sooner and further, as a single triode does).
constexpr double kPositiveX[] = {0.0, 0.5, 0.8, 0.9, 1.0, 1.2, 1.8, 10.0};
constexpr double kPositiveY[] = {0.0, 0.5, 0.8, 0.9, 0.96, 0.98, 0.988, 0.988};
constexpr double kPositiveSlope[] = {1.0, 1.0, 1.0, 1.0, 0.2, 0.03, 0.0, 0.0};
constexpr double kNegativeX[] = {0.0,      0.25,    0.48,    0.615191, 0.835017, 1.23202, 1.781934,
                                 2.42991,  3.23988, 4.85982, 7.601763, 11.3396,  19.4393, 32.3988};
constexpr double kNegativeY[] = {0.0,      0.25,     0.48,     0.594205, 0.705771, 0.801191, 0.85993,
                                 0.896007, 0.925167, 0.962101, 0.98877,  1.0,      1.0,      1.0};
constexpr double kNegativeSlope[] = {1.007887, 1.0,      1.0,      0.71583, 0.374616, 0.15, 0.062452,
                                     0.040466, 0.027158, 0.01574, 0.0085,  0.0,      0.0,  0.001596};
constexpr double kPreampBoost = 3.16;

// When the engine does not hand the amp its WAV reader, file responses
// cannot be opened (and nothing is shown: there is no file to speak of).
class NoWaveFiles final : public WaveFileSource {
public:
    int open(const std::string&, WaveLayout&) override { return -1; }
    size_t read(void*, size_t) override { return 0; }
    void close() override {}
};

} // namespace

double ampGainFor(int spkGainDb) { return std::pow(10.0, spkGainDb / 20.0); }

double speakerDriveFor(int spkGain2Percent) { return std::pow(10.0, (spkGain2Percent / 100.0 * 45.0 - 20.0) / 20.0); }

AmpSimulator::AmpSimulator(AmpParams& params, EffectContext& context, std::unique_ptr<WaveFileSource> files)
    : params_(params), context_(context), files_(files ? std::move(files) : std::make_unique<NoWaveFiles>()),
      library_(ImpulseResponseLibrary::builtIn(context.messages)), maxPulseSetting_(&ownMaxPulseCount_),
      equaliser_(params.actrl, context, kFiveBandJob, kGraphicJob), cabinet_(context.messages)
{
    designStage();
}

AmpSimulator::~AmpSimulator() = default;

bool AmpSimulator::start(int sampleRate)
{
    // Before the run's first block: nothing else touches the stage now.
    rate_ = sampleRate;
    equaliser_.start(sampleRate);
    preampHighPass_.reset();
    inputHighPass_.reset();
    power_.reset();
    speaker_.reset();
    correction_.clearHistory();
    speakerRan_ = false;
    designStage();
    return setup();
}

bool AmpSimulator::setup()
{
    // The stage's filters and curves depend on the rate alone, which only a
    // run's start changes (start() designs them); the gains are read by the
    // amp stage itself at its next block. What is left here is the response,
    // handed to the cabinet without the audio thread waiting, and the amp
    // equaliser.
    const bool loaded = loadResponse();
    equaliser_.design();
    return loaded;
}

void AmpSimulator::designStage()
{
    const int fs = rate_.load();
    const int fs4 = 4 * fs;
    gainDb_ = params_.spk_gain;
    driveParam_ = params_.spk_gain2;
    gain_ = ampGainFor(gainDb_);
    drive_ = speakerDriveFor(driveParam_);
    preampHighPass_.designFirstOrderHighPass(80, 1.0, fs4);
    inputHighPass_.designHighPass(100, 0.8, 1.0, fs4);
    preampPositive_.fromHermite(kPositiveX, kPositiveY, kPositiveSlope, 8);
    preampNegative_.fromHermite(kNegativeX, kNegativeY, kNegativeSlope, 14);
    power_.setup(fs4);
    speaker_.setup(fs4);
    correction_.setCoefficients(speakerCorrectionTable(fs), kSpeakerCorrectionTaps);
}

void AmpSimulator::refreshGains()
{
    // Audio side: the sliders' values, recomputed only when they moved.
    const int g = params_.spk_gain, d = params_.spk_gain2;
    if (g != gainDb_) {
        gainDb_ = g;
        gain_ = ampGainFor(g);
    }
    if (d != driveParam_) {
        driveParam_ = d;
        drive_ = speakerDriveFor(d);
    }
}

void AmpSimulator::updateGains()
{
    // Nothing to hand over: the amp stage reads the sliders at its next block.
}

double AmpSimulator::ampGain() const { return ampGainFor(params_.spk_gain); }

double AmpSimulator::speakerDrive() const { return speakerDriveFor(params_.spk_gain2); }

bool AmpSimulator::speakerModelRan() const { return speakerRan_.load(std::memory_order_relaxed); }

void AmpSimulator::processPreStage(double* buf, int n)
{
    if (params_.actrl_enabled) equaliser_.process(buf, n);
}

void AmpSimulator::processAmp(double* buf, int n4)
{
    refreshGains();
    if (params_.preamp_stage) {
        preampHighPass_.processFast(buf, n4);
        for (int i = 0; i < n4; ++i) buf[i] = kPreampBoost * buf[i];
        PiecewiseCubic::evaluateOdd(preampPositive_, preampNegative_, buf, buf, n4);
    }
    inputHighPass_.processFast(buf, n4);
    power_.process(buf, n4, gain_);
    // Taken once here: the correction filter of this block's cabinet stage
    // follows what ran now, even if the switch moves in between.
    const bool speaker = params_.spk_dist_enabled != 0;
    speakerRan_.store(speaker, std::memory_order_relaxed);
    if (speaker) speaker_.process(buf, n4, drive_);
}

void AmpSimulator::processCabinet(double* buf, int n)
{
    if (speakerRan_.load(std::memory_order_relaxed)) correction_.process(buf, n);
    if (cabinetRuns()) cabinet_.process(buf, n);
}

// ---- impulse responses

void AmpSimulator::linkMaxPulseSetting(Param<int>* setting)
{
    maxPulseSetting_.store(setting ? setting : &ownMaxPulseCount_);
}

int AmpSimulator::maxPulseCount() const { return maxPulseSetting_.load()->get(); }

void AmpSimulator::setMaxPulseCount(int samples)
{
    maxPulseSetting_.load()->set(samples);
    maxPulseCountChanged();
}

void AmpSimulator::maxPulseCountChanged()
{
    // The cabinet builds the new taps aside and hands them over itself.
    cabinet_.setMaxPulseCount(maxPulseCount());
}

bool AmpSimulator::loadResponse()
{
    const int fs = rate_.load();
    if (params_.spkcab_file) return cabinet_.loadFile(*files_, params_.spk_ir_fname.get(), fs, maxPulseCount());
    return cabinet_.loadLibrary(library_, params_.ir_num, fs, maxPulseCount());
}

std::string AmpSimulator::listEntryText(int index) const
{
    if (index >= 0 && index < irCount()) return irName(index);
    if (index == irCount()) return "file:" + params_.spk_ir_fname.get();
    return {};
}

int AmpSimulator::listSelection() const { return params_.spkcab_file ? irCount() : params_.ir_num.get(); }

bool AmpSimulator::selectListEntry(int index)
{
    if (index < 0 || index > irCount()) return false;
    if (index < irCount()) {
        params_.spkcab_file = 0;
        params_.ir_num = index;
        params_.ir_code = irCode(index);
    } else {
        params_.spkcab_file = 1;
    }
    return loadResponse();
}

bool AmpSimulator::openFile(const std::string& path, TextParam& lastIrPath)
{
    params_.spkcab_file = 1;
    params_.spk_ir_fname = path;
    lastIrPath = std::filesystem::path(path).parent_path().string();
    return loadResponse();
}

int AmpSimulator::legacyIrCode(int irNum)
{
    static const int table[13] = {101, 102, 103, 104, 105, 201, 202, 301, 302, 401, 501, 502, 0};
    return irNum >= 0 && irNum < 13 ? table[irNum] : -1;
}

bool AmpSimulator::applyPresetIrReference()
{
    if (params_.spkcab_file) return true;
    const int num = params_.ir_num;
    int code = params_.ir_code;
    if (code == -1) code = legacyIrCode(num);
    params_.ir_code = code;
    if (irCount() == 0 || irCode(num) == code) return true;
    const int found = library_.indexOfCode(code);
    if (found < 0) {
        context_.messages.show("IR not found!", {}, MessageIcon::Warning);
        return false;
    }
    params_.ir_num = found;
    return true;
}

} // namespace stravik::effects
