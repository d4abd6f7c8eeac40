#pragma once
// The link between the plug-in (Brelt.so, in a host) and korvex (the chain):
// what both sides agree on. Audio crosses through one slot per plug-in
// instance of a shared memory section; three events in the slot order the
// exchange; commands go from the plug-in to korvex through a socket that
// korvex inherits.
//
// The section: 8 slots of 16420 bytes, back to back from offset 0, then a
// small header of our own in the unused tail (layout version, slot owners).
// Every field is a 32-bit little-endian word; samples are 32-bit floats.
//
// Threads and processes: each flag has one writer (named per field); the
// other side polls it. The sample arrays belong to the plug-in until it sets
// readyEvent and to korvex from then until korvex sets doneEvent.
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace stravik::link {

constexpr int kSlotCount = 8;
constexpr int kSlotBytes = 16420;
constexpr int kSectionBytes = 135168;
constexpr int kMaxBlockFrames = 2048; // samples per channel in one crossing
constexpr int kChainPieceFrames = 128; // korvex runs the chain in pieces of at most this

// An event: 0 not signalled, 1 signalled; manual reset. Waiting uses a
// process-shared futex on the word itself (LinkEvent.h).
using EventWord = std::atomic<uint32_t>;

struct LinkSlot {
    std::atomic<int32_t> inUse;       // plug-in: 1 while an instance owns the slot
    std::atomic<int32_t> sampleRate;  // plug-in: the host's rate in Hz (truncated)
    std::atomic<int32_t> hostStopped; // plug-in: 1 after suspend or close, 0 after resume
    EventWord readyEvent;             // set by the plug-in: left, right and count hold a block
    EventWord doneEvent;              // set by korvex: the block is processed
    EventWord commandEvent;           // set by korvex: a hello or a program change is carried out
    float left[kMaxBlockFrames];
    float right[kMaxBlockFrames];
    std::atomic<int32_t> count;       // plug-in: valid samples in left and right, 1..2048
    std::atomic<int32_t> active;      // korvex: 1 while a processing run serves this slot
    std::atomic<int32_t> abort;       // korvex: 1 when it stopped serving in the middle of a run
};

static_assert(sizeof(std::atomic<int32_t>) == 4 && sizeof(EventWord) == 4);
static_assert(std::atomic<int32_t>::is_always_lock_free && EventWord::is_always_lock_free,
              "the words are shared between processes: they must be plain lock-free words");
static_assert(offsetof(LinkSlot, inUse) == 0);
static_assert(offsetof(LinkSlot, sampleRate) == 4);
static_assert(offsetof(LinkSlot, hostStopped) == 8);
static_assert(offsetof(LinkSlot, readyEvent) == 12);
static_assert(offsetof(LinkSlot, doneEvent) == 16);
static_assert(offsetof(LinkSlot, commandEvent) == 20);
static_assert(offsetof(LinkSlot, left) == 24);
static_assert(offsetof(LinkSlot, right) == 8216);
static_assert(offsetof(LinkSlot, count) == 16408);
static_assert(offsetof(LinkSlot, active) == 16412);
static_assert(offsetof(LinkSlot, abort) == 16416);
static_assert(sizeof(LinkSlot) == kSlotBytes);

// Our header, in the tail the slots leave free. magic is written last by the
// process that created the section, so a reader that sees it sees the rest.
struct SectionHeader {
    std::atomic<uint32_t> magic;   // kSectionMagic once the section is set up
    std::atomic<uint32_t> version; // kLayoutVersion
    // The process id of each slot's owner (0: free). Slots are claimed by a
    // compare-and-swap on this word, so two host processes never take the
    // same slot; an owner that no longer exists leaves a slot to reclaim.
    std::atomic<int32_t> ownerPid[kSlotCount];
};

constexpr uint32_t kSectionMagic = 0x4B567453; // "StVK" in memory order
constexpr uint32_t kLayoutVersion = 1;
constexpr std::size_t kSlotsBytes = static_cast<std::size_t>(kSlotCount) * kSlotBytes; // 131360
constexpr std::size_t kHeaderOffset = kSlotsBytes;
static_assert(kHeaderOffset + sizeof(SectionHeader) <= static_cast<std::size_t>(kSectionBytes));
static_assert(kSlotsBytes == 131360);

// Commands from the plug-in: 8-byte records, int32 code then int32 argument,
// in the machine's byte order.
enum Command : int32_t {
    kQuit = 1,
    kSuspend = 2,
    kResume = 3,
    kShowPanel = 4, // argument 1 shows korvex's window, 0 hides it
    kProgram = 5,   // argument: program number 0..63
    kHello = 100,
};

struct CommandRecord {
    int32_t code;
    int32_t argument;
};
static_assert(sizeof(CommandRecord) == 8);

// The environment korvex is started with: the descriptor it reads commands
// from and the name of the shared memory object.
constexpr const char* kCommandFdVariable = "BRELT_COMMAND_FD";
constexpr const char* kSectionNameVariable = "BRELT_SHARED_MEMORY";

} // namespace stravik::link
