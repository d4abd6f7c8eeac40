#pragma once
// MIDI input through RtMidi: the list of input devices and one opened input.
//
// The ALSA sequencer is used where the machine has one; otherwise JACK MIDI,
// asked for by name (RtMidi's default choice gives up when the sequencer is
// missing, even with a JACK server running). Under JACK the "devices" are the
// MIDI output ports of the other clients, in the server's order.
//
// Threads: the list and open()/close() belong to one controlling thread (the
// processing run's). RtMidi calls onMessage() on its own thread: with JACK
// that is the JACK process thread of the input's client, a real-time thread
// whose lateness stalls every client of the server, our own audio among them.
// So the callback only parses bytes into a fixed ring and wakes the consumer;
// it never locks, allocates or touches the engine. pop() is for one consumer
// thread.
#include "control/WakeSignal.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class RtMidiIn;

namespace stravik::control {

// One channel message ("data message"): status 0x80..0xEF and its data bytes
// (data2 is 0 for program change and channel pressure). stampMs counts
// milliseconds from the opening of the input.
struct MidiMessage {
    uint8_t status = 0;
    uint8_t data1 = 0;
    uint8_t data2 = 0;
    uint32_t stampMs = 0;

    int channel() const { return (status & 0x0F) + 1; } // 1..16
    int type() const { return status >> 4; }            // 8..14
};

// Turns a byte stream into channel messages the way a MIDI receiver does:
// running status, real-time bytes anywhere (skipped), system exclusive and
// system common messages skipped, stray data bytes dropped. Its state runs
// on from one call to the next, so a message split across two deliveries, or
// continued by running status in a later one, still comes out whole.
class MidiStreamParser {
public:
    template <typename Emit>
    void feed(const uint8_t* bytes, size_t n, Emit&& emit)
    {
        for (size_t i = 0; i < n; ++i) {
            const uint8_t b = bytes[i];
            if (b >= 0xF8) continue; // clock, start, stop, active sensing, reset
            if (b >= 0x80) {
                startStatus(b);
                continue;
            }
            if (status_ == 0) continue; // no status to give it a meaning
            data_[count_++] = b;
            if (count_ < needed_) continue;
            count_ = 0;
            if (status_ < 0xF0) {
                emit(status_, data_[0], needed_ == 2 ? data_[1] : uint8_t{0});
            } else {
                status_ = 0; // a system common message: done, and no running status after it
            }
        }
    }
    void reset()
    {
        status_ = 0;
        count_ = 0;
        needed_ = 0;
    }

private:
    void startStatus(uint8_t b)
    {
        count_ = 0;
        if (b < 0xF0) {
            status_ = b;
            const int type = b >> 4;
            needed_ = type == 0xC || type == 0xD ? 1 : 2;
            return;
        }
        // System exclusive swallows data bytes until its end (or any other
        // status byte); the system common messages carry 0, 1 or 2 bytes.
        switch (b) {
        case 0xF1:
        case 0xF3: needed_ = 1; break;
        case 0xF2: needed_ = 2; break;
        default: needed_ = 0; break;
        }
        status_ = needed_ > 0 ? b : 0;
    }

    uint8_t status_ = 0;
    uint8_t data_[2] = {};
    int count_ = 0;
    int needed_ = 0;
};

// Which MIDI system the inputs use on this machine.
enum class MidiSystem { None, AlsaSequencer, Jack };
MidiSystem midiSystem();

// The MIDI input devices (at most 20), names cut to 80 characters, in the
// order the settings' device indices count. Empty when there is no MIDI
// system or no device.
std::vector<std::string> midiInputDevices();

class MidiInputPort {
public:
    static constexpr size_t kQueueSize = 4096; // messages; a power of two
    static constexpr int kMaxDevices = 20;

    // wake is posted after every delivery; the consumer waits on it.
    explicit MidiInputPort(WakeSignal& wake);
    ~MidiInputPort();
    MidiInputPort(const MidiInputPort&) = delete;
    MidiInputPort& operator=(const MidiInputPort&) = delete;

    // Opens device `index` of midiInputDevices() under the name portName.
    // False when there is no such device or it cannot be opened.
    bool open(int index, const std::string& portName);
    // No delivery happens after this returns.
    void close();
    bool isOpen() const { return in_ != nullptr; }

    // The consumer's side: the next message, in arrival order.
    bool pop(MidiMessage& m);
    // Messages lost because the consumer fell a whole ring behind.
    long dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    static void onMessage(double deltaSeconds, std::vector<unsigned char>* bytes, void* self);
    void deliver(const std::vector<unsigned char>& bytes);

    WakeSignal& wake_;
    std::unique_ptr<RtMidiIn> in_;
    // Set (release) once everything the callback reads is ready; the
    // callback does nothing before.
    std::atomic<bool> armed_{false};
    std::chrono::steady_clock::time_point openedAt_{};
    MidiStreamParser parser_; // callback thread only, once armed

    std::array<MidiMessage, kQueueSize> ring_{};
    std::atomic<size_t> head_{0}; // next slot written (producer)
    std::atomic<size_t> tail_{0}; // next slot read (consumer)
    std::atomic<long> dropped_{0};
};

} // namespace stravik::control
