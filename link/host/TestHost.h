#pragma once
// A minimal VST 2 host of our own, for the tests and benchmarks of Brelt.so:
// loads the library with dlopen, finds the entry point and drives instances
// through the binary interface only, as a host would.
#include "link/vst2_abi.h"

#include <dlfcn.h>

#include <cstdint>
#include <string>

namespace stravik::link::host {

// The host's callback: a host of interface version 2400 that answers
// nothing else. hostVersion lets a test pose as a host too old to answer.
inline int32_t& hostVersion()
{
    static int32_t version = 2400;
    return version;
}

inline intptr_t hostCallback(vst2::Effect*, int32_t opcode, int32_t, intptr_t, void*, float)
{
    return opcode == vst2::kHostVersion ? hostVersion() : 0;
}

class PluginLibrary {
public:
    explicit PluginLibrary(const std::string& path)
    {
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) {
            error_ = dlerror();
            return;
        }
        entry_ = reinterpret_cast<vst2::EntryProc>(dlsym(handle_, "VSTPluginMain"));
        oldEntry_ = reinterpret_cast<vst2::EntryProc>(dlsym(handle_, "main"));
    }
    ~PluginLibrary()
    {
        if (handle_) dlclose(handle_);
    }
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    bool ok() const { return handle_ != nullptr && entry_ != nullptr; }
    const std::string& error() const { return error_; }
    vst2::EntryProc entry() const { return entry_; }
    vst2::EntryProc oldEntry() const { return oldEntry_; }
    void* symbol(const char* name) const { return dlsym(handle_, name); }

    // A new instance (null when the plug-in refuses one).
    vst2::Effect* instantiate() const { return entry_ ? entry_(hostCallback) : nullptr; }

private:
    void* handle_ = nullptr;
    vst2::EntryProc entry_ = nullptr;
    vst2::EntryProc oldEntry_ = nullptr;
    std::string error_;
};

// Calls of a host on one instance.
inline intptr_t dispatch(vst2::Effect* e, int32_t opcode, int32_t index = 0, intptr_t value = 0,
                         void* ptr = nullptr, float opt = 0.0f)
{
    return e->dispatcher(e, opcode, index, value, ptr, opt);
}

inline std::string text(vst2::Effect* e, int32_t opcode, int32_t index = 0)
{
    char buf[256] = {};
    dispatch(e, opcode, index, 0, buf);
    return buf;
}

// What a host does before audio flows: open, rate, block size, resume.
inline void startInstance(vst2::Effect* e, float rate, int blockSize)
{
    dispatch(e, vst2::kOpen);
    dispatch(e, vst2::kSetSampleRate, 0, 0, nullptr, rate);
    dispatch(e, vst2::kSetBlockSize, 0, blockSize);
    dispatch(e, vst2::kMainsChanged, 0, 1);
}

inline void process(vst2::Effect* e, float* inL, float* inR, float* outL, float* outR, int frames)
{
    float* in[2] = {inL, inR};
    float* out[2] = {outL, outR};
    e->processReplacing(e, in, out, frames);
}

// The host is done with the instance: suspend, then close (which ends it).
inline void closeInstance(vst2::Effect* e)
{
    dispatch(e, vst2::kMainsChanged, 0, 0);
    dispatch(e, vst2::kClose);
}

} // namespace stravik::link::host
