#pragma once
// The amp simulator: amp equaliser, preamp boost, push-pull power stage,
// speaker cone model and speaker cabinet, at their places in the chain.
//
//   processPreStage  base rate   the amp equaliser (when actrl_enabled)
//   (the chain: the output compressor when placed before the amp, then up-sampling)
//   processAmp       4x rate     preamp boost (preamp_stage),
//                                100 Hz high-pass, power stage, speaker model
//                                (spk_dist_enabled; the decision holds for the
//                                cabinet stage of the same block)
//   (the chain: down-sampling)
//   processCabinet   base rate   speaker correction (when the
//                                speaker model ran), cabinet convolution (a file,
//                                or any library entry but "No cabinet")
//
// Threads: the stage's filters, curves, gains and envelopes belong to the
// audio thread. Their designs depend on the rate alone and are made by
// start(), before a run's first block; the gains follow the sliders at the
// next block. Impulse responses are read, converted and prepared on the
// calling thread and handed to the cabinet's convolver, which takes them over
// between blocks without waiting (the speaker correction filter likewise), so
// nothing a control does ever holds up a block.
#include "dsp/FirConvolver.h"
#include "dsp/IirFilter.h"
#include "dsp/Param.h"
#include "effects/EffectContext.h"
#include "effects/tone/AmpCurves.h"
#include "effects/tone/AmpPowerStage.h"
#include "effects/tone/CabinetConvolver.h"
#include "effects/tone/Equaliser.h"
#include "effects/tone/ImpulseResponseLibrary.h"
#include "effects/tone/ImpulseResponseWav.h"
#include "effects/tone/SpeakerModel.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace stravik::effects {

struct AmpParams {
    Param<int> spkcab_enabled{0};
    Param<int> spk_gain{0};   // dB, -20..25
    Param<int> spk_gain2{30}; // speaker distortion amount, %
    Param<int> actrl_enabled{0};
    EqualiserSettings actrl;  // actrl_eqtype, actrl_bass.., actrl_equ0..4, a_gequ_*
    Param<int> spkcab_file{0};
    TextParam spk_ir_fname;
    Param<int> ir_num{0};
    Param<int> ir_code{101}; // code of library entry ir_num
    Param<int> spk_dist_enabled{0};
    Param<int> preamp_stage{0};
};

// Amp gain for spk_gain (dB): 10^(spk_gain / 20).
double ampGainFor(int spkGainDb);
// Speaker drive for spk_gain2 (0..100 %): -20 dB to +25 dB.
double speakerDriveFor(int spkGain2Percent);

class AmpSimulator {
public:
    // The amp equaliser's design jobs on the background worker.
    static constexpr int kFiveBandJob = 1;
    static constexpr int kGraphicJob = 2;
    // The library entry that runs no cabinet convolution.
    static constexpr int kNoCabinetEntry = 40;
    static constexpr int kDefaultMaxPulseCount = 4000;

    // files opens response WAV files (the engine's reader); without one,
    // file responses cannot be loaded.
    AmpSimulator(AmpParams& params, EffectContext& context, std::unique_ptr<WaveFileSource> files = {});
    ~AmpSimulator();
    AmpSimulator(const AmpSimulator&) = delete;
    AmpSimulator& operator=(const AmpSimulator&) = delete;

    // ---- the chain's calls
    // Start of a run at the base rate: envelopes, cone and histories back to
    // rest, the equaliser designed, then the amp setup. False when the
    // response could not be loaded (as setup()).
    bool start(int sampleRate);
    void processPreStage(double* buf, int n); // base rate
    void processAmp(double* buf, int n4);     // oversampled
    void processCabinet(double* buf, int n);  // base rate

    // ---- the amp setup (start of a run, after a preset load): the impulse
    // response and the amp equaliser (the gains are read at the next block,
    // the filters and curves are those of the run's rate). False when the
    // response could not be loaded (its message was shown; the old response
    // stays and everything else is set up).
    bool setup();

    // ---- the window
    // The sliders moved (the amp stage notices a change by itself at its
    // next block; nothing else to do).
    void updateGains();
    // "Max len": the setting it reads (Settings::MaxPulseCnt); until linked,
    // the amp keeps its own value, 4000. maxPulseCountChanged reloads the
    // cabinet when the length in use changes.
    void linkMaxPulseSetting(Param<int>* setting);
    int maxPulseCount() const;
    void setMaxPulseCount(int samples); // writes the linked setting, then reloads
    void maxPulseCountChanged();
    // The list of responses: the library's names, then "file:" and the path.
    int listEntryCount() const { return irCount() + 1; }
    std::string listEntryText(int index) const;
    int listSelection() const;
    // A list entry chosen: the library entry or the file, then loaded.
    bool selectListEntry(int index);
    // "Open...": the file chosen becomes the response; its folder is stored
    // in lastIrPath (Settings::LastIRPath).
    bool openFile(const std::string& path, TextParam& lastIrPath);
    // Loads the response the parameters name (library entry ir_num, or the
    // file when spkcab_file).
    bool loadResponse();

    // ---- the library and presets
    const ImpulseResponseLibrary& library() const { return library_; }
    int irCount() const { return library_.count(); }
    int irCode(int index) const { return library_.code(index); }
    std::string irName(int index) const { return library_.name(index); }
    // The code older presets mean by ir_num when they carry no ir_code: 0..11
    // are 101 .. 502, 12 is 0 (no cabinet); -1 for anything else.
    static int legacyIrCode(int irNum);
    // The preamp boost's curve for a boosted sample u (the two halves).
    double preampCurve(double u) const { return u >= 0.0 ? preampPositive_(u) : -preampNegative_(-u); }
    // After a preset load with a library response: takes ir_code (or the
    // legacy code when it is -1), and when it differs from the code of entry
    // ir_num, moves ir_num to the first entry with that code, or shows
    // "IR not found!" and leaves ir_num as it is (false).
    bool applyPresetIrReference();

    // ---- state (tests, the window)
    bool cabinetRuns() const { return params_.spkcab_file != 0 || params_.ir_num != kNoCabinetEntry; }
    bool speakerModelRan() const;
    // The gains the sliders ask for (the amp stage takes them at its next block).
    double ampGain() const;
    double speakerDrive() const;
    int sampleRate() const { return rate_.load(); }
    Equaliser& equaliser() { return equaliser_; }
    CabinetConvolver& cabinet() { return cabinet_; }
    AmpPowerStage& powerStage() { return power_; }
    SpeakerModel& speakerModel() { return speaker_; }
    dsp::FirConvolver& speakerCorrection() { return correction_; }
    WaveFileSource* waveFiles() { return files_.get(); }
    AmpParams& params() { return params_; }

private:
    void designStage();  // before a run's first block
    void refreshGains(); // audio thread

    AmpParams& params_;
    EffectContext& context_;
    std::unique_ptr<WaveFileSource> files_;
    const ImpulseResponseLibrary& library_;
    std::atomic<int> rate_{48000};
    Param<int> ownMaxPulseCount_{kDefaultMaxPulseCount};
    std::atomic<Param<int>*> maxPulseSetting_;

    Equaliser equaliser_;
    CabinetConvolver cabinet_;

    // Audio side.
    dsp::IirFilter preampHighPass_;  // 80 Hz, first order
    dsp::IirFilter inputHighPass_;   // 100 Hz, Q 0.8
    PiecewiseCubic preampPositive_; // Hermite cubics with the given derivatives
    PiecewiseCubic preampNegative_;
    AmpPowerStage power_;
    SpeakerModel speaker_;
    dsp::FirConvolver correction_{dsp::FirConvolver::Threading::WorkerPool};
    std::atomic<bool> speakerRan_{false};
    int gainDb_ = 0, driveParam_ = 30;
    double gain_ = 1.0, drive_ = 1.0;
};

} // namespace stravik::effects
