#pragma once
// The three files a run can use, each switched on by itself: the input file
// (replaces the live input), the output file (every processed block) and the
// background track (mixed into the output at its own volume, optionally
// looped and optionally recorded too).
//
// The chain calls the block operations on its own thread; the Files page
// seeks and pauses from the window's thread. The file-access lock keeps
// reads and seeks apart.
#include "dsp/Param.h"
#include "engine/ChainStages.h"
#include "engine/OutputFile.h"
#include "engine/WavFile.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace stravik {

class Engine;
class UserMessages;

// Progress of the input file and the background track, in percent. Called
// from the audio thread when a value changes: must not block.
class FileProgressListener {
public:
    virtual ~FileProgressListener() = default;
    virtual void inputProgress(int percent) = 0;
    virtual void backgroundProgress(int percent) = 0;
};

class FileRoles final : public ChainFiles {
public:
    static constexpr int kBlockFrames = 128;
    static constexpr size_t kStreamBuffer = 64 * 1024;

    explicit FileRoles(Engine& engine);
    ~FileRoles() override;

    // Files page toggles.
    Param<int> inputAutoRewind{1};
    Param<int> backgroundAutoRewind{1};
    Param<int> inputPause{0};
    Param<int> backgroundPause{0};

    void setProgressListener(FileProgressListener* l) { listener_.store(l); }
    int inputProgress() const { return inputPercent_.load(); }
    int backgroundProgress() const { return backgroundPercent_.load(); }
    // Browsing to a new file starts it from the beginning.
    void resetInputProgress() { inputPercent_ = 0; }
    void resetBackgroundProgress() { backgroundPercent_ = 0; }

    // When Start is pressed: the roles that are on must use different files.
    // Shows the message and returns false when two are the same.
    bool checkSameFiles(UserMessages& messages) const;
    // Before any device opens: when the output would replace a file (see
    // partialName), asks whether to overwrite it. False when the user
    // declines.
    bool confirmOverwrite(UserMessages& messages) const;
    // Opens the roles that are on (input, output, background, in that
    // order) for a run at this rate. On a failure shows its message, closes
    // what it opened and returns false.
    bool open(int processingRate);
    // Closes everything. The output file gets its sizes and its name; false
    // when it could not be completed (a write failed, or it reached the size
    // limit of WAV files and ends early), after saying so.
    bool close();
    // Closes everything and throws the output file being written away (an
    // older file of that name stays as it was).
    void abandon();
    // The output file is full (see WavWriter): the run was asked to stop.
    bool outputFull() const { return outputFull_; }
    // Lowers the output file's size limit below the format's own (tests).
    void limitOutputBytes(uint64_t bytes) { output_.limitDataBytes(bytes); }

    // The Files page sliders: move to a percentage of the file.
    void seekInput(int percent);
    void seekBackground(int percent);

    // The output is written under this name and renamed when complete, so
    // that a failed or interrupted run never leaves a half-written file
    // under the real name (nor spoils an older file of that name). The
    // temporary file is always a new one: when the name is taken, by a file
    // that is not ours, ".1", ".2", ... is added.
    //
    // Which file gets replaced: a symbolic link is followed to the file it
    // names, which is replaced (keeping its permission bits) while the link
    // stays. A FIFO or a character device (/dev/null) is not replaced at
    // all: the recording streams straight into it. A folder or a block
    // device cannot be an output file.
    static std::string partialName(const std::string& path) { return OutputFile::partialName(path); }
    // The temporary file of the output being written ("" when none).
    const std::string& outputTemporary() const { return output_.temporary(); }
    // A path without an extension gets ".wav".
    static std::string withWavExtension(const std::string& path);

    // ---- ChainFiles (the audio thread)
    bool readInputBlock(int16_t* dst, int frames) override;
    int64_t inputPosition() const override { return inputPos_.load(); }
    int64_t inputFrames() const override { return inputTotal_; }
    void mixBackground(int16_t* out, int frames, bool stereoOut) override;
    void readBackgroundBlock(int frames) override;
    void appendOutput(const int16_t* samples, int count) override;
    void reportProgress() override;

    bool inputStereo() const { return inputChannels_ > 1; }
    bool backgroundStereo() const { return backgroundChannels_ > 1; }
    bool backgroundAtEnd() const { return backgroundAtEnd_; }

private:
    void closeReaders();
    static int percentOf(int64_t position, int64_t total);
    static int64_t blockPosition(int percent, int64_t total);
    // Reads frames into raw_ and keeps `keep` channels of each as 16-bit values.
    size_t readFrames(WavReader& r, int frames, int channels, int keep, int16_t* dst);

    Engine& engine_;
    mutable std::mutex fileLock_; // reads and seeks
    std::atomic<FileProgressListener*> listener_{nullptr};

    WavReader input_;
    int inputChannels_ = 1;
    int64_t inputTotal_ = 0;
    std::atomic<int64_t> inputPos_{0};
    std::atomic<int> inputPercent_{0};

    OutputFile output_; // 16-bit, under the rules of partialName
    bool outputOpen_ = false;
    std::atomic<bool> outputFull_{false};

    WavReader background_;
    int backgroundChannels_ = 1;
    int64_t backgroundTotal_ = 0;
    std::atomic<int64_t> backgroundPos_{0};
    std::atomic<int> backgroundPercent_{0};
    std::atomic<bool> backgroundAtEnd_{false};
    int16_t backgroundBlock_[2 * kBlockFrames] = {};

    std::vector<unsigned char> raw_; // one block of raw frames, sized at open
};

} // namespace stravik
