#pragma once
// The binary interface between a VST 2.4 host and an effect plug-in, written
// by us from its published facts: the effect structure a plug-in hands out,
// the functions in it, the dispatcher's operation codes we answer and the
// host callback's version query. Only what this program uses is named.
//
// All integers are the machine's (little-endian); "pointer-sized" fields are
// intptr_t. Functions use the platform's C calling convention.
#include <cstdint>

namespace stravik::vst2 {

struct Effect;

// The host's callback: (effect, opcode, index, value, ptr, opt).
using HostCallback = intptr_t (*)(Effect*, int32_t, int32_t, intptr_t, void*, float);
using DispatcherProc = intptr_t (*)(Effect*, int32_t, int32_t, intptr_t, void*, float);
using ProcessProc = void (*)(Effect*, float**, float**, int32_t);
using ProcessDoubleProc = void (*)(Effect*, double**, double**, int32_t);
using SetParameterProc = void (*)(Effect*, int32_t, float);
using GetParameterProc = float (*)(Effect*, int32_t);

// The effect structure, field by field in the interface's order.
struct Effect {
    int32_t magic;                   // kEffectMagic
    DispatcherProc dispatcher;
    ProcessProc process;             // the old accumulating call
    SetParameterProc setParameter;
    GetParameterProc getParameter;
    int32_t numPrograms;
    int32_t numParams;
    int32_t numInputs;
    int32_t numOutputs;
    int32_t flags;
    intptr_t reserved1;
    intptr_t reserved2;
    int32_t initialDelay;
    int32_t realQualities;
    int32_t offQualities;
    float ioRatio;
    void* object;                    // the plug-in's own
    void* user;                      // the host's own
    int32_t uniqueID;
    int32_t version;
    ProcessProc processReplacing;
    ProcessDoubleProc processDoubleReplacing;
    char future[56];
};

constexpr int32_t kEffectMagic = 0x56737450; // 'VstP'

constexpr int32_t fourCharacters(const char (&c)[5])
{
    return static_cast<int32_t>((static_cast<uint32_t>(static_cast<unsigned char>(c[0])) << 24) |
                                (static_cast<uint32_t>(static_cast<unsigned char>(c[1])) << 16) |
                                (static_cast<uint32_t>(static_cast<unsigned char>(c[2])) << 8) |
                                static_cast<uint32_t>(static_cast<unsigned char>(c[3])));
}

// flags
constexpr int32_t kFlagHasEditor = 1 << 0;
constexpr int32_t kFlagCanReplacing = 1 << 4;

// The editor's rectangle, as the host asks for it.
struct Rect {
    int16_t top;
    int16_t left;
    int16_t bottom;
    int16_t right;
};

// Dispatcher operations.
enum Opcode : int32_t {
    kOpen = 0,
    kClose = 1,
    kSetProgram = 2,
    kGetProgram = 3,
    kSetProgramName = 4,
    kGetProgramName = 5,
    kGetParamLabel = 6,
    kGetParamDisplay = 7,
    kGetParamName = 8,
    kSetSampleRate = 10, // opt: the rate
    kSetBlockSize = 11,  // value: the largest frame count
    kMainsChanged = 12,  // value 1: resume, 0: suspend
    kEditGetRect = 13,   // ptr: where to store a Rect*
    kEditOpen = 14,      // ptr: the X11 window id of the parent
    kEditClose = 15,
    kEditIdle = 19,
    kGetChunk = 23,      // index 1: one program, 0: the bank; ptr: where to store the data pointer
    kSetChunk = 24,      // index as kGetChunk; value: byte count; ptr: the data
    kCanBeAutomated = 26,
    kGetProgramNameIndexed = 29, // value: category; index: program
    kGetEffectName = 45,
    kGetVendorString = 47,
    kGetProductString = 48,
    kGetVendorVersion = 49,
    kCanDo = 51,         // ptr: the capability's name
    kGetVstVersion = 58,
};

// Host callback operations.
constexpr int32_t kHostVersion = 1;

// The version this interface is.
constexpr intptr_t kVstVersion = 2400;

// Text limits (characters, terminator not counted).
constexpr int kMaxParamTextLength = 8;
constexpr int kMaxProgramNameLength = 24;
constexpr int kMaxEffectNameLength = 32;
constexpr int kMaxVendorTextLength = 64;

// The entry point's type: "VSTPluginMain" and the older "main".
using EntryProc = Effect* (*)(HostCallback);

} // namespace stravik::vst2
