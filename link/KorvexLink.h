#pragma once
// korvex's side of the link, in plug-in mode ("korvex /vst SLOT PATH"): the
// six functions bound from the plug-in library, the block exchange of the
// processing run, and the command records read from the plug-in.
//
// Threads: serve() runs on the processing thread; commandFinished() and the
// command reader on the window's thread; the binding before either exists.
#include "engine/PluginLink.h"
#include "link/LinkExports.h"
#include "link/LinkProtocol.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace stravik {
class UserMessages;
}

namespace stravik::link {

class KorvexLink final : public PluginLink {
public:
    // The words of the command line after the program: "/vst", the slot in
    // four hexadecimal digits, the library's path. Loads the library and binds
    // the six functions; on failure shows why ("Cannot load Live DLL!", the
    // command line, "Error in VST init") through messages
    // and returns null.
    static std::unique_ptr<KorvexLink> bind(const std::string& program, const std::vector<std::string>& words,
                                            UserMessages& messages);
    ~KorvexLink() override;

    int slot() const { return slot_; }

    int hostRate() override;
    void setPlayMode(int selector, int value) override;
    void serve(Engine& engine) override;
    // A hello or a program change has been carried out.
    void commandFinished();

private:
    KorvexLink() = default;
    void followHostRate(Engine& engine);

    void* library_ = nullptr;
    int slot_ = -1;
    WaitBufferReadyFn waitBufferReady_ = nullptr;
    GetBufferFn getBuffer_ = nullptr;
    BufferFinishedFn bufferFinished_ = nullptr;
    SetPlayModeFn setPlayMode_ = nullptr;
    GetStateFn getState_ = nullptr;
    CmdFinishedFn cmdFinished_ = nullptr;
    std::atomic<bool> inBlock_{false};
};

// One block of the host through the chain, in pieces of at most 128 frames:
// the channels are mixed to mono with the input volume, processed, and
// written back in place (stereo: the chain's two channels; mono: the same
// signal on both), each with the output volume. Stops early when a stop is
// asked for. For the processing thread.
void processHostBlock(Engine& engine, float* left, float* right, int count);

// Reads the plug-in's 8-byte command records from a descriptor, keeping a
// part record for the next read.
class CommandReader {
public:
    explicit CommandReader(int fd) : fd_(fd) {}
    enum class Result { Record, Nothing, Closed };
    // Record: one complete record in out. Nothing: no whole record is there
    // yet. Closed: the plug-in's end is gone (its host ended) or failed.
    Result read(CommandRecord& out);
    int fd() const { return fd_; }

private:
    int fd_;
    unsigned char part_[sizeof(CommandRecord)] = {};
    size_t have_ = 0;
};

} // namespace stravik::link
