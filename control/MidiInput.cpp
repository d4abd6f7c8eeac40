#include "control/MidiInput.h"

#include "control/DeviceNames.h"

#include <RtMidi.h>
#include <jack/jack.h>

#include <algorithm>
#include <mutex>
#include <unistd.h>

namespace stravik::control {
namespace {

void quietly(const char*) {}

// Whether a JACK server answers, asked without starting one. libjack would
// otherwise print half a dozen lines about a missing server on every device
// listing of a machine without JACK; its reporting is put back afterwards.
bool jackServerAnswers()
{
    static std::mutex probing;
    std::lock_guard lock(probing);
    auto* const savedError = jack_error_callback;
    auto* const savedInfo = jack_info_callback;
    jack_set_error_function(quietly);
    jack_set_info_function(quietly);
    jack_status_t status{};
    jack_client_t* client = jack_client_open("korvex-probe", JackNoStartServer, &status);
    if (client) jack_client_close(client);
    jack_set_error_function(savedError);
    jack_set_info_function(savedInfo);
    return client != nullptr;
}

void ignoreError(RtMidiError::Type, const std::string&, void*) {}

// An input of the MIDI system, or null. Its errors are reported through the
// results of its calls instead of on stderr or as exceptions.
std::unique_ptr<RtMidiIn> makeInput(MidiSystem system)
{
    if (system == MidiSystem::None) return nullptr;
    const RtMidi::Api api = system == MidiSystem::AlsaSequencer ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
    try {
        auto in = std::make_unique<RtMidiIn>(api, "korvex");
        in->setErrorCallback(ignoreError, nullptr);
        return in;
    } catch (const RtMidiError&) {
        return nullptr;
    }
}

int listedCount(RtMidiIn& in)
{
    return std::min(static_cast<int>(in.getPortCount()), MidiInputPort::kMaxDevices);
}

} // namespace

MidiSystem midiSystem()
{
    // Checked before asking ALSA, which reports a missing sequencer on stderr.
    if (access("/dev/snd/seq", R_OK | W_OK) == 0) return MidiSystem::AlsaSequencer;
    if (jackServerAnswers()) return MidiSystem::Jack;
    return MidiSystem::None;
}

std::vector<std::string> midiInputDevices()
{
    std::vector<std::string> names;
    auto in = makeInput(midiSystem());
    if (!in) return names;
    const int n = listedCount(*in);
    for (int i = 0; i < n; ++i) names.push_back(listedName(in->getPortName(static_cast<unsigned>(i))));
    return names;
}

MidiInputPort::MidiInputPort(WakeSignal& wake) : wake_(wake) {}

MidiInputPort::~MidiInputPort() { close(); }

bool MidiInputPort::open(int index, const std::string& portName)
{
    close();
    auto in = makeInput(midiSystem());
    if (!in || index < 0 || index >= listedCount(*in)) return false;
    in->setCallback(&MidiInputPort::onMessage, this);
    // System exclusive, clock and active sensing never concern us; RtMidi
    // drops them before they reach the callback.
    in->ignoreTypes(true, true, true);
    parser_.reset();
    openedAt_ = std::chrono::steady_clock::now();
    armed_.store(true, std::memory_order_release);
    try {
        in->openPort(static_cast<unsigned>(index), portName);
    } catch (const RtMidiError&) {
    }
    if (!in->isPortOpen()) {
        armed_.store(false);
        return false;
    }
    in_ = std::move(in);
    return true;
}

void MidiInputPort::close()
{
    armed_.store(false);
    // Destroying the input closes its port and waits for a delivery in
    // progress: none comes after.
    in_.reset();
}

void MidiInputPort::onMessage(double, std::vector<unsigned char>* bytes, void* self)
{
    if (bytes != nullptr) static_cast<MidiInputPort*>(self)->deliver(*bytes);
}

void MidiInputPort::deliver(const std::vector<unsigned char>& bytes)
{
    if (!armed_.load(std::memory_order_acquire)) return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - openedAt_)
                        .count();
    const auto stamp = static_cast<uint32_t>(std::clamp<long long>(ms, 0, UINT32_MAX));
    bool delivered = false;
    parser_.feed(bytes.data(), bytes.size(), [&](uint8_t status, uint8_t data1, uint8_t data2) {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (head - tail_.load(std::memory_order_acquire) >= kQueueSize) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        ring_[head & (kQueueSize - 1)] = MidiMessage{status, data1, data2, stamp};
        head_.store(head + 1, std::memory_order_release);
        delivered = true;
    });
    if (delivered) wake_.post();
}

bool MidiInputPort::pop(MidiMessage& m)
{
    const size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head_.load(std::memory_order_acquire)) return false;
    m = ring_[tail & (kQueueSize - 1)];
    tail_.store(tail + 1, std::memory_order_release);
    return true;
}

} // namespace stravik::control
