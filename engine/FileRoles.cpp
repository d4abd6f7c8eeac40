#include "engine/FileRoles.h"

#include "dsp/UserMessages.h"
#include "engine/Engine.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace stravik {
namespace {

void warn(UserMessages& m, const std::string& text) { m.show(text, {}, MessageIcon::Warning); }

std::string rateMessage(const char* what, int fileRate, int processingRate)
{
    char buf[256];
    std::snprintf(buf, sizeof(buf),
                  "%s sample rate (%dHz) differs from processing\nsample rate specified in setup screen (%dHz).",
                  what, fileRate, processingRate);
    return buf;
}

// Whether writing the output would replace a file: a regular file there,
// or at the end of the links there. A FIFO or a device only takes a stream.
bool holdsAFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

FileRoles::FileRoles(Engine& engine) : engine_(engine) {}

FileRoles::~FileRoles() { abandon(); }

std::string FileRoles::withWavExtension(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return name.find('.') == std::string::npos ? path + ".wav" : path;
}

int FileRoles::percentOf(int64_t position, int64_t total)
{
    if (total <= 0) return 0;
    const int p = static_cast<int>(std::floor(static_cast<double>(position) / static_cast<double>(total) * 100.0 + 0.5));
    return std::clamp(p, 0, 100);
}

int64_t FileRoles::blockPosition(int percent, int64_t total)
{
    const double frames = percent / 100.0 * static_cast<double>(total);
    return static_cast<int64_t>(std::floor(frames / kBlockFrames)) * kBlockFrames;
}

bool FileRoles::checkSameFiles(UserMessages& messages) const
{
    const std::string in = engine_.settings.FileIn.get();
    const std::string out = engine_.settings.FileOut.get();
    const std::string mix = engine_.settings.FileMix.get();
    const bool inputOn = engine_.fileInput, outputOn = engine_.fileOutput, mixOn = engine_.backgroundTrack;
    const auto same = [](const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; };
    if (inputOn && outputOn && same(in, out)) {
        warn(messages, "Error! Input file specified is the same as output file.");
        return false;
    }
    if (inputOn && mixOn && same(in, mix)) {
        warn(messages, "Error! Input file specified is the same as background track file.");
        return false;
    }
    if (mixOn && outputOn && same(mix, out)) {
        warn(messages, "Error! Background track file specified is the same as output file.");
        return false;
    }
    return true;
}

bool FileRoles::confirmOverwrite(UserMessages& messages) const
{
    if (!engine_.fileOutput) return true;
    const std::string out = engine_.settings.FileOut.get();
    if (!holdsAFile(out)) return true;
    const std::string question = "File '" + out + "' already exists!\nDo you want to overwrite it?";
    return messages.ask(question, "Warning!", MessageButtons::OkCancel, MessageIcon::Warning) == MessageAnswer::Ok;
}

bool FileRoles::open(int processingRate)
{
    abandon();
    UserMessages& messages = engine_.messages();
    size_t rawBytes = 0;

    if (engine_.fileInput) {
        if (input_.open(engine_.settings.FileIn.get(), kStreamBuffer) != kWavOk) {
            warn(messages, "Error opening input file!");
            return false;
        }
        const WavFormat& f = input_.format();
        if (static_cast<int>(f.sampleRate) != processingRate) {
            warn(messages, rateMessage("Input file", static_cast<int>(f.sampleRate), processingRate));
            closeReaders();
            return false;
        }
        if (f.bitsPerSample != 16) {
            warn(messages, "Input file format must be 16-bit");
            closeReaders();
            return false;
        }
        if (f.channels == 0 || f.blockAlign < 2 * std::min<int>(f.channels, 2)) {
            warn(messages, "Error opening input file!");
            closeReaders();
            return false;
        }
        inputChannels_ = f.channels;
        inputTotal_ = input_.frames();
        rawBytes = std::max<size_t>(rawBytes, static_cast<size_t>(kBlockFrames) * f.blockAlign);
        int64_t start = 0;
        if (!inputAutoRewind && inputPercent_ < 99) start = blockPosition(inputPercent_, inputTotal_);
        else inputPercent_ = 0;
        input_.seek(start * f.blockAlign);
        inputPos_ = start;
    }

    if (engine_.fileOutput) {
        const int channels = engine_.settings.stereo ? 2 : 1;
        if (!output_.open(engine_.settings.FileOut.get(), SampleEncoding::Pcm16, channels, processingRate)) {
            warn(messages, "Error creating output file!");
            closeReaders();
            return false;
        }
        outputFull_ = false;
        outputOpen_ = true;
    }

    if (engine_.backgroundTrack) {
        const auto fail = [&](const std::string& text) {
            warn(messages, text);
            abandon();
            return false;
        };
        if (background_.open(engine_.settings.FileMix.get()) != kWavOk) return fail("Error opening background track file!");
        const WavFormat& f = background_.format();
        if (static_cast<int>(f.sampleRate) != processingRate)
            return fail(rateMessage("Background track", static_cast<int>(f.sampleRate), processingRate));
        if (f.bitsPerSample != 16) return fail("Input file format must be 16-bit.");
        if (f.channels == 0 || f.blockAlign < 2 * std::min<int>(f.channels, 2))
            return fail("Error opening background track file!");
        backgroundChannels_ = f.channels;
        backgroundTotal_ = background_.frames();
        rawBytes = std::max<size_t>(rawBytes, static_cast<size_t>(kBlockFrames) * f.blockAlign);
        int64_t start = 0;
        if (!backgroundAutoRewind) start = blockPosition(backgroundPercent_, backgroundTotal_);
        else backgroundPercent_ = 0;
        background_.seek(start * f.blockAlign);
        backgroundPos_ = start;
        backgroundAtEnd_ = false;
        std::memset(backgroundBlock_, 0, sizeof(backgroundBlock_));
    }
    raw_.assign(rawBytes, 0);
    return true;
}

void FileRoles::closeReaders()
{
    std::lock_guard lock(fileLock_);
    input_.close();
    background_.close();
}

bool FileRoles::close()
{
    closeReaders();
    if (!outputOpen_) return true;
    outputOpen_ = false;
    // A failed write or rename throws the temporary file away.
    if (!output_.close()) {
        warn(engine_.messages(), "Error writing output file!");
        return false;
    }
    if (outputFull_) {
        // Complete and correct, but shorter than the run.
        warn(engine_.messages(), "The output file reached the 4 GB size limit of WAV files; it ends there.");
        return false;
    }
    return true;
}

void FileRoles::abandon()
{
    closeReaders();
    if (!outputOpen_) return;
    outputOpen_ = false;
    output_.abandon();
}

void FileRoles::seekInput(int percent)
{
    percent = std::clamp(percent, 0, 100);
    inputPercent_ = percent;
    std::lock_guard lock(fileLock_);
    if (!input_.isOpen()) return;
    const int64_t pos = blockPosition(percent, inputTotal_);
    input_.seek(pos * input_.format().blockAlign);
    inputPos_ = pos;
}

void FileRoles::seekBackground(int percent)
{
    percent = std::clamp(percent, 0, 100);
    backgroundPercent_ = percent;
    std::lock_guard lock(fileLock_);
    if (!background_.isOpen()) return;
    const int64_t pos = blockPosition(percent, backgroundTotal_);
    background_.seek(pos * background_.format().blockAlign);
    backgroundPos_ = pos;
    backgroundAtEnd_ = false;
}

size_t FileRoles::readFrames(WavReader& r, int frames, int channels, int keep, int16_t* dst)
{
    const int align = r.format().blockAlign;
    const size_t want = std::min(raw_.size(), static_cast<size_t>(frames) * align);
    const size_t got = r.read(raw_.data(), want) / static_cast<size_t>(align);
    const unsigned char* p = raw_.data();
    for (size_t i = 0; i < got; ++i, p += align) {
        int16_t first, second;
        std::memcpy(&first, p, 2);
        if (channels > 1)
            std::memcpy(&second, p + 2, 2);
        else
            second = first;
        if (keep == 1) {
            // Two channels become their average (the integer sum halved).
            dst[i] = channels > 1 ? static_cast<int16_t>((first + second) >> 1) : first;
        } else {
            dst[2 * i] = first;
            dst[2 * i + 1] = second;
        }
    }
    // Whatever the file did not provide is silence.
    std::fill(dst + got * keep, dst + static_cast<size_t>(frames) * keep, int16_t{0});
    return got;
}

bool FileRoles::readInputBlock(int16_t* dst, int frames)
{
    std::lock_guard lock(fileLock_);
    if (!input_.isOpen()) {
        std::fill(dst, dst + frames, int16_t{0});
        return false;
    }
    if (inputPause) {
        // Paused: silence, and the file stays where it is.
        std::fill(dst, dst + frames, int16_t{0});
        return true;
    }
    inputPos_ += frames;
    return readFrames(input_, frames, inputChannels_, 1, dst) == static_cast<size_t>(frames);
}

void FileRoles::readBackgroundBlock(int frames)
{
    std::lock_guard lock(fileLock_);
    if (!background_.isOpen()) return;
    const int keep = std::min(backgroundChannels_, 2);
    frames = std::min(frames, static_cast<int>(kBlockFrames));
    if (backgroundPause) {
        std::fill(backgroundBlock_, backgroundBlock_ + frames * keep, int16_t{0});
        return;
    }
    const bool loop = engine_.settings.MixLoop != 0;
    bool rewound = false;
    for (;;) {
        if (!backgroundAtEnd_) backgroundPos_ += frames;
        const size_t got = readFrames(background_, frames, backgroundChannels_, keep, backgroundBlock_);
        // At the end only when nothing was left to read: the last, partial
        // block is still heard (its missing frames are silence).
        backgroundAtEnd_ = got == 0;
        if (!loop) break;
        if (got == static_cast<size_t>(frames)) break;
        if (got > 0 || rewound) {
            // A partial block plays as it is and the track starts again with
            // the next one; a file that yields nothing right after a restart
            // is given up on for this block rather than spun on.
            if (got > 0) {
                background_.seek(0);
                backgroundPos_ = 0;
            }
            break;
        }
        // Nothing left: a track of whole blocks starts again at once, with
        // no silent block between the end and the start.
        backgroundAtEnd_ = false;
        background_.seek(0);
        backgroundPos_ = 0;
        rewound = true;
        if (backgroundPause) {
            std::fill(backgroundBlock_, backgroundBlock_ + frames * keep, int16_t{0});
            return;
        }
    }
}

void FileRoles::mixBackground(int16_t* out, int frames, bool stereoOut)
{
    if (backgroundAtEnd_ || !background_.isOpen()) return;
    const float amp = engine_.settings.MixAmp;
    const bool stereoTrack = backgroundChannels_ > 1;
    const auto mix = [amp](int16_t o, int b) {
        const float v = static_cast<float>(b) * amp + static_cast<float>(o);
        if (v > 32767.0f) return int16_t{32767};
        if (v < -32767.0f) return int16_t{-32767};
        return static_cast<int16_t>(v);
    };
    frames = std::min(frames, static_cast<int>(kBlockFrames));
    for (int i = 0; i < frames; ++i) {
        if (!stereoOut) {
            const int b = stereoTrack ? (backgroundBlock_[2 * i] + backgroundBlock_[2 * i + 1]) >> 1 : backgroundBlock_[i];
            out[i] = mix(out[i], b);
        } else if (stereoTrack) {
            out[2 * i] = mix(out[2 * i], backgroundBlock_[2 * i]);
            out[2 * i + 1] = mix(out[2 * i + 1], backgroundBlock_[2 * i + 1]);
        } else {
            out[2 * i] = mix(out[2 * i], backgroundBlock_[i]);
            out[2 * i + 1] = mix(out[2 * i + 1], backgroundBlock_[i]);
        }
    }
}

void FileRoles::appendOutput(const int16_t* samples, int count)
{
    if (!outputOpen_) return;
    output_.append(samples, static_cast<size_t>(count));
    if (output_.reachedLimit() && !outputFull_) {
        // The run ends here, as at the end of the input file.
        outputFull_ = true;
        engine_.StopRequest = true;
    }
}

void FileRoles::reportProgress()
{
    FileProgressListener* l = listener_.load();
    if (input_.isOpen()) {
        const int p = percentOf(inputPos_, inputTotal_);
        if (p != inputPercent_.exchange(p) && l) l->inputProgress(p);
    }
    if (background_.isOpen()) {
        const int p = percentOf(backgroundPos_, backgroundTotal_);
        if (p != backgroundPercent_.exchange(p) && l) l->backgroundProgress(p);
    }
}

} // namespace stravik
