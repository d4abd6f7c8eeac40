#pragma once
// The plug-in's editor: a small X11 window inside the host's, with the gain
// slider, the Bypass box and the "Show panel" button.
//
// Threads: open, idle and the destructor run on the host's editor thread
// (the one that sends the edit operations); refresh() may come from any
// thread (a parameter set by automation) and only marks the window for a
// redraw at the next idle call.
#include "link/vst2_abi.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace stravik::link {

class BreltPlugin;

class BreltEditor {
public:
    // The editor's size, known before its window exists.
    static vst2::Rect* rect();
    // A window of the editor inside parent (an X11 window id); null when
    // there is no display to open it on.
    static std::unique_ptr<BreltEditor> open(BreltPlugin& plugin, uintptr_t parent);
    ~BreltEditor();

    void refresh() { dirty_.store(true, std::memory_order_release); }
    // Handles the window's pending events and redraws when needed.
    void idle();

    // Slider positions in tenths of a decibel, -500..0.
    static int sliderPosition(float gain);
    static float sliderGain(int position);

private:
    BreltEditor(BreltPlugin& plugin) : plugin_(plugin) {}
    void draw();
    void click(int x, int y, bool drag);

    BreltPlugin& plugin_;
    std::atomic<bool> dirty_{true};
    void* display_ = nullptr; // Display*
    unsigned long window_ = 0;
    void* gc_ = nullptr;      // GC
    bool dragging_ = false;
};

} // namespace stravik::link
