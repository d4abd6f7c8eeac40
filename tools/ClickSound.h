#pragma once
// One recorded click of the metronome (the built-in drum kick or the user's
// WAV file): the recording as loaded, mono 16-bit at its own sample rate, and
// a working copy prepared for the rate a run processes at.
#include "dsp/IirFilter.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace stravik::tools {

// How the sample bytes of a PCM recording are laid out.
struct PcmLayout {
    int channels = 1;
    int bitsPerSample = 16;
    int blockAlign = 2; // bytes per frame
};

// Decodes frames of 8- or 16-bit PCM into mono 16-bit samples: 16-bit
// values are copied, 8-bit ones (unsigned) are centred on 127 and scaled by
// 256; two channels are averaged (further channels are ignored). Returns
// false, leaving out empty, for any other sample size or a layout whose
// frames cannot hold the channels they claim.
bool decodeToMono(const uint8_t* data, size_t frames, const PcmLayout& layout, std::vector<int16_t>& out);

class ClickSound {
public:
    // A user's click file is cut to this many frames (5 s at 48000 Hz).
    static constexpr int kMaxFileFrames = 240000;

    // Takes the recording from a RIFF WAVE image laid out with the plain
    // 44-byte header: the format at bytes 20..35, the data size at 40, the
    // samples from 44. False (and no recording) for a missing or malformed
    // image or a sample size other than 8 or 16 bits.
    bool loadImage(std::span<const uint8_t> image);
    // Reads a WAV file (at most kMaxFileFrames frames). False, and no
    // recording, when it cannot be read or holds other than 8- or 16-bit
    // samples.
    bool loadFile(const std::string& path);
    // Forgets the recording (the next preparation empties the working copy).
    void clear();

    bool hasRecording() const { return !raw_.empty(); }
    int sampleRate() const { return rate_; }
    int frames() const { return static_cast<int>(raw_.size()); }
    const std::vector<int16_t>& recording() const { return raw_; }

    // The user chose another file: the next preparation starts afresh.
    void markForReload() { reload_.store(true, std::memory_order_relaxed); }
    bool reloadMarked() const { return reload_.load(std::memory_order_relaxed); }

    // Makes the working copy for the processing rate (unless it already is
    // for that rate). A recording at a higher rate than the processing rate
    // is low-passed at 0.45 of the processing rate first, so that playing it
    // back more slowly than its own rate cannot alias. Clears the reload mark.
    //
    // Loading touches only the recording; only this touches the working
    // copy. So a player that reads the working copy (and its rate) under its
    // own lock, and prepares under that lock too, may load without it.
    void prepare(int processingRate);
    const int16_t* workingSamples() const { return working_.empty() ? nullptr : working_.data(); }
    int workingFrames() const { return static_cast<int>(working_.size()); }
    int workingRate() const { return workingRate_; } // the recording's own rate, as prepared
    int preparedRate() const { return preparedRate_; }

private:
    bool take(const uint8_t* data, size_t frames, const PcmLayout& layout, int sampleRate);

    int rate_ = 0;
    std::vector<int16_t> raw_;
    std::vector<int16_t> working_;
    int workingRate_ = 0;
    int preparedRate_ = 0; // 0: the working copy must be made (again)
    dsp::IirFilter lowPass_;
    std::atomic<bool> reload_{false};
};

} // namespace stravik::tools
