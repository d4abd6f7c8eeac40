#include "link/KorvexLink.h"

#include "dsp/Realtime.h"
#include "dsp/UserMessages.h"
#include "engine/Engine.h"
#include "link/SharedSection.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <thread>
#include <unistd.h>

namespace stravik::link {
namespace {

constexpr int kReadyWait = 500;

bool chainRate(int rate) { return rate == 22050 || rate == 44100 || rate == 48000; }

} // namespace

std::unique_ptr<KorvexLink> KorvexLink::bind(const std::string& program, const std::vector<std::string>& words,
                                             UserMessages& messages)
{
    std::string commandLine = program;
    for (const auto& w : words) commandLine += " " + w;
    const auto fail = [&](bool loaded) {
        if (!loaded) messages.show("Cannot load Live DLL!", {}, MessageIcon::Error);
        messages.show(commandLine, {}, MessageIcon::Error);
        messages.show("Error in VST init", {}, MessageIcon::Error);
        return nullptr;
    };
    std::unique_ptr<KorvexLink> link(new KorvexLink);
    // "/vst", then the slot as four hexadecimal digits, then the path (which
    // may hold blanks).
    unsigned slot = 0;
    char extra = 0;
    if (words.size() < 3 || words[0] != "/vst" || words[1].size() != 4 ||
        std::sscanf(words[1].c_str(), "%4X%c", &slot, &extra) != 1 || slot >= static_cast<unsigned>(kSlotCount))
        return fail(true);
    std::string path = words[2];
    for (size_t i = 3; i < words.size(); ++i) path += " " + words[i];
    link->slot_ = static_cast<int>(slot);
    link->library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (link->library_ == nullptr) return fail(false);
    const auto find = [&](const char* name) { return dlsym(link->library_, name); };
    link->waitBufferReady_ = reinterpret_cast<WaitBufferReadyFn>(find(kWaitBufferReadyName));
    link->getBuffer_ = reinterpret_cast<GetBufferFn>(find(kGetBufferName));
    link->bufferFinished_ = reinterpret_cast<BufferFinishedFn>(find(kBufferFinishedName));
    link->setPlayMode_ = reinterpret_cast<SetPlayModeFn>(find(kSetPlayModeName));
    link->getState_ = reinterpret_cast<GetStateFn>(find(kGetStateName));
    link->cmdFinished_ = reinterpret_cast<CmdFinishedFn>(find(kCmdFinishedName));
    if (!link->waitBufferReady_ || !link->getBuffer_ || !link->bufferFinished_ || !link->setPlayMode_ ||
        !link->getState_ || !link->cmdFinished_)
        return fail(true);
    // The section must be one of ours, and the slot owned by an instance.
    SharedSection section;
    std::string error;
    if (!section.open(SharedSection::defaultName(), false, error)) {
        messages.show(error, {}, MessageIcon::Error);
        return fail(true);
    }
    if (section.slot(link->slot_).inUse.load() != 1) {
        messages.show("Slot " + words[1] + " of the link is not in use", {}, MessageIcon::Error);
        return fail(true);
    }
    return link;
}

KorvexLink::~KorvexLink()
{
    // The library stays loaded: the process ends soon after, and a processing
    // thread may still be returning from one of its functions.
}

int KorvexLink::hostRate() { return getState_(slot_, 1); }

void KorvexLink::setPlayMode(int selector, int value) { setPlayMode_(slot_, selector, value); }

void KorvexLink::commandFinished() { cmdFinished_(slot_); }

void KorvexLink::followHostRate(Engine& e)
{
    // The host may set its rate after the run started (hosts set it after
    // opening the plug-in, and korvex starts its run as soon as its window
    // is up): the chain follows at the next block.
    const int rate = getState_(slot_, 1);
    if (chainRate(rate) && rate != e.ProcessingRate) {
        e.ProcessingRate = rate;
        e.beginRun(rate);
    }
}

void KorvexLink::serve(Engine& e)
{
    dsp::raiseThreadPriority();
    if (waitBufferReady_(slot_, kReadyWait) == 0) {
        if (e.StopRequest) {
            setPlayMode_(slot_, 1, 1);
            bufferFinished_(slot_);
            return;
        }
        if (getState_(slot_, 0) != 0) {
            e.endRun(); // the meters fall back while the host is stopped
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return;
    }
    if (e.StopRequest) {
        setPlayMode_(slot_, 1, 1);
    } else if (getState_(slot_, 0) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    } else {
        float* left = nullptr;
        float* right = nullptr;
        int count = 0;
        getBuffer_(slot_, &left, &right, &count);
        if (left != nullptr && right != nullptr) {
            if (inBlock_.exchange(true)) {
                // Entered again while a block runs: the run must stop.
                e.StopRequest = true;
            } else {
                followHostRate(e);
                processHostBlock(e, left, right, std::clamp(count, 0, kMaxBlockFrames));
                inBlock_ = false;
            }
        }
    }
    bufferFinished_(slot_);
}

void processHostBlock(Engine& e, float* left, float* right, int count)
{
    double mono[kChainPieceFrames];
    for (int done = 0; done < count && !e.StopRequest; done += kChainPieceFrames) {
        const int n = std::min(kChainPieceFrames, count - done);
        float* l = left + done;
        float* r = right + done;
        for (int i = 0; i < n; ++i) mono[i] = static_cast<double>(l[i]) / 2 + static_cast<double>(r[i]) / 2;
        e.convertInput(mono, n); // x InputVolume
        e.ProcessBlock(n);
        const double outVol = static_cast<float>(e.volumes.OutputVolume);
        if (e.settings.stereo != 0) {
            for (int i = 0; i < n; ++i) {
                l[i] = static_cast<float>(e.StereoBuffer[2 * i] * outVol);
                r[i] = static_cast<float>(e.StereoBuffer[2 * i + 1] * outVol);
            }
        } else {
            for (int i = 0; i < n; ++i) l[i] = r[i] = static_cast<float>(e.WorkBuffer[i] * outVol);
        }
    }
}

CommandReader::Result CommandReader::read(CommandRecord& out)
{
    while (have_ < sizeof(part_)) {
        const ssize_t got = ::read(fd_, part_ + have_, sizeof(part_) - have_);
        if (got > 0) {
            have_ += static_cast<size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Result::Nothing;
        return Result::Closed;
    }
    std::memcpy(&out, part_, sizeof(out));
    have_ = 0;
    return Result::Record;
}

} // namespace stravik::link
