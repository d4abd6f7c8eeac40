#pragma once
// A JACK client with one MIDI output port, "midi_out", that sends what the
// test queues: each queued event goes out as one JACK MIDI event with exactly
// the bytes given (well formed or not), in the order queued, at most
// perPeriod events in a period. Its port is a device of the MIDI input list
// when the inputs run on JACK.
//
// The test thread queues; the client's process thread sends. The queue holds
// the events in a fixed ring (nothing is allocated on the process thread).
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <thread>
#include <unistd.h>

namespace jackmidi {

class MidiSender {
public:
    static constexpr size_t kMaxBytes = 16;
    static constexpr size_t kQueue = 8192; // a power of two

    explicit MidiSender(int perPeriod = 64) : perPeriod_(perPeriod)
    {
        static std::atomic<int> counter{0};
        name_ = "midisend_" + std::to_string(getpid()) + "_" + std::to_string(counter.fetch_add(1));
        client_ = jack_client_open(name_.c_str(), JackNoStartServer, nullptr);
        if (!client_) return;
        port_ = jack_port_register(client_, "midi_out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(client_, &MidiSender::process, this);
        jack_on_shutdown(client_, [](void* self) { static_cast<MidiSender*>(self)->dropped_ = true; }, this);
        active_ = port_ != nullptr && jack_activate(client_) == 0;
    }
    ~MidiSender()
    {
        if (!client_) return;
        // A client the server dropped is not deactivated (libjack may crash on it).
        if (active_ && !dropped_) jack_deactivate(client_);
        jack_client_close(client_);
    }
    MidiSender(const MidiSender&) = delete;
    MidiSender& operator=(const MidiSender&) = delete;

    bool ok() const { return active_; }
    // At most this many events a period from now on (any thread).
    void setPerPeriod(int n) { perPeriod_.store(std::max(n, 1), std::memory_order_relaxed); }
    // The port's full name, as the device list shows it.
    std::string portName() const { return name_ + ":midi_out"; }

    // Queues one event; false when the queue is full or it is too long.
    bool send(std::initializer_list<uint8_t> bytes) { return send(bytes.begin(), bytes.size()); }
    bool send(const uint8_t* bytes, size_t n)
    {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (n == 0 || n > kMaxBytes || head - tail_.load(std::memory_order_acquire) >= kQueue) return false;
        Event& e = queue_[head & (kQueue - 1)];
        std::copy(bytes, bytes + n, e.bytes.begin());
        e.size = n;
        head_.store(head + 1, std::memory_order_release);
        return true;
    }
    // Events queued so far, and events written into the port so far.
    long queued() const { return static_cast<long>(head_.load(std::memory_order_acquire)); }
    long sent() const { return static_cast<long>(tail_.load(std::memory_order_acquire)); }
    // Waits (at most `limit`, against a hang) until everything queued has gone out.
    bool waitSent(std::chrono::seconds limit = std::chrono::seconds(20)) const
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (sent() < queued()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

private:
    struct Event {
        std::array<uint8_t, kMaxBytes> bytes{};
        size_t size = 0;
    };

    static int process(jack_nframes_t frames, void* arg)
    {
        auto* self = static_cast<MidiSender*>(arg);
        void* buffer = jack_port_get_buffer(self->port_, frames);
        jack_midi_clear_buffer(buffer);
        size_t tail = self->tail_.load(std::memory_order_relaxed);
        const size_t head = self->head_.load(std::memory_order_acquire);
        const size_t n =
            std::min<size_t>(head - tail, static_cast<size_t>(self->perPeriod_.load(std::memory_order_relaxed)));
        for (size_t i = 0; i < n; ++i, ++tail) {
            const Event& e = self->queue_[tail & (kQueue - 1)];
            // Spread over the period, in order.
            const auto at = static_cast<jack_nframes_t>(i * frames / n);
            if (jack_midi_event_write(buffer, at, e.bytes.data(), e.size) != 0) break;
        }
        self->tail_.store(tail, std::memory_order_release);
        return 0;
    }

    std::atomic<int> perPeriod_;
    std::string name_;
    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    bool active_ = false;
    std::atomic<bool> dropped_{false};
    std::array<Event, kQueue> queue_{};
    std::atomic<size_t> head_{0};
    std::atomic<size_t> tail_{0};
};

} // namespace jackmidi
