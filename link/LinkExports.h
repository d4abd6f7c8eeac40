#pragma once
// The six functions Brelt.so exports for korvex, by name. korvex binds them
// with dlsym from the library named on its command line; each takes the slot
// index first and works on the library's own mapping of the link section.
namespace stravik::link {

// 1 when a block is ready (the ready event is reset), 0 on a time-out or at
// once while the host has stopped the instance.
using WaitBufferReadyFn = int (*)(int slot, int timeoutMs);
// The addresses of the slot's two channels in this process, and the count.
using GetBufferFn = void (*)(int slot, float** left, float** right, int* count);
// Signals the block-done event. Non-zero.
using BufferFinishedFn = int (*)(int slot);
// Selector 0 sets active, any other sets abort. Returns value.
using SetPlayModeFn = int (*)(int slot, int selector, int value);
// Selector 0: hostStopped, 1: sampleRate, any other: 0.
using GetStateFn = int (*)(int slot, int selector);
// Signals the command-done event. Non-zero.
using CmdFinishedFn = int (*)(int slot);

constexpr const char* kWaitBufferReadyName = "VST_WaitBufferReady";
constexpr const char* kGetBufferName = "VST_GetBuffer";
constexpr const char* kBufferFinishedName = "VST_BufferFinished";
constexpr const char* kSetPlayModeName = "VST_SetPlayMode";
constexpr const char* kGetStateName = "VST_GetState";
constexpr const char* kCmdFinishedName = "VST_CmdFinished";

} // namespace stravik::link
