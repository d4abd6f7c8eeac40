#include "link/plugin/BreltEditor.h"

#include "link/plugin/BreltPlugin.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace stravik::link {
namespace {

// 133 by 95 dialog units at the usual 1.5 and 1.625 pixels per unit.
constexpr int kWidth = 200;
constexpr int kHeight = 154;

// Where the controls sit (pixels).
constexpr int kSliderLeft = 14, kSliderRight = 186, kSliderTop = 36, kSliderBottom = 56;
constexpr int kBoxLeft = 14, kBoxTop = 72, kBoxSize = 13;
constexpr int kButtonLeft = 14, kButtonTop = 104, kButtonWidth = 110, kButtonHeight = 28;

constexpr int kMinPosition = -500, kMaxPosition = 0, kTickEvery = 50;

unsigned long rgb(int r, int g, int b) { return (static_cast<unsigned long>(r) << 16) | (g << 8) | b; }

Display* dpy(void* d) { return static_cast<Display*>(d); }
GC gcOf(void* g) { return static_cast<GC>(g); }

} // namespace

vst2::Rect* BreltEditor::rect()
{
    static vst2::Rect r{0, 0, kHeight, kWidth};
    return &r;
}

int BreltEditor::sliderPosition(float gain)
{
    const double db = gain < 0.00001f ? -100.0 : 20.0 * std::log10(static_cast<double>(gain));
    const int position = static_cast<int>(10.0 * db);
    return std::clamp(position, kMinPosition, kMaxPosition);
}

float BreltEditor::sliderGain(int position) { return static_cast<float>(std::pow(10.0, position / 200.0)); }

std::unique_ptr<BreltEditor> BreltEditor::open(BreltPlugin& plugin, uintptr_t parent)
{
    Display* d = XOpenDisplay(nullptr);
    if (d == nullptr || parent == 0) {
        if (d) XCloseDisplay(d);
        return nullptr;
    }
    std::unique_ptr<BreltEditor> editor(new BreltEditor(plugin));
    editor->display_ = d;
    const int screen = DefaultScreen(d);
    editor->window_ = XCreateSimpleWindow(d, static_cast<Window>(parent), 0, 0, kWidth, kHeight, 0,
                                          BlackPixel(d, screen), rgb(40, 42, 48));
    XSelectInput(d, editor->window_, ExposureMask | ButtonPressMask | ButtonReleaseMask | Button1MotionMask);
    editor->gc_ = XCreateGC(d, editor->window_, 0, nullptr);
    XMapWindow(d, editor->window_);
    XFlush(d);
    return editor;
}

BreltEditor::~BreltEditor()
{
    if (display_ == nullptr) return;
    XFreeGC(dpy(display_), gcOf(gc_));
    XDestroyWindow(dpy(display_), window_);
    XCloseDisplay(dpy(display_));
}

void BreltEditor::idle()
{
    Display* d = dpy(display_);
    while (XPending(d) > 0) {
        XEvent e;
        XNextEvent(d, &e);
        switch (e.type) {
        case Expose:
            dirty_ = true;
            break;
        case ButtonPress:
            if (e.xbutton.button == Button1) click(e.xbutton.x, e.xbutton.y, false);
            break;
        case MotionNotify:
            if (dragging_) click(e.xmotion.x, e.xmotion.y, true);
            break;
        case ButtonRelease:
            dragging_ = false;
            break;
        default:
            break;
        }
    }
    if (dirty_.exchange(false)) draw();
}

void BreltEditor::click(int x, int y, bool drag)
{
    const bool onSlider = x >= kSliderLeft - 4 && x <= kSliderRight + 4 && y >= kSliderTop && y <= kSliderBottom;
    if (drag || onSlider) {
        dragging_ = true;
        const double f = std::clamp((x - kSliderLeft) / double(kSliderRight - kSliderLeft), 0.0, 1.0);
        const int position = static_cast<int>(std::lround(kMinPosition + f * (kMaxPosition - kMinPosition)));
        plugin_.setParameter(0, sliderGain(position));
        return;
    }
    if (x >= kBoxLeft && x <= kBoxLeft + 70 && y >= kBoxTop && y <= kBoxTop + kBoxSize) {
        plugin_.setParameter(1, plugin_.getParameter(1) > 0.5f ? 0.0f : 1.0f);
        return;
    }
    if (x >= kButtonLeft && x <= kButtonLeft + kButtonWidth && y >= kButtonTop && y <= kButtonTop + kButtonHeight)
        plugin_.sendCommand(kShowPanel, 1);
}

void BreltEditor::draw()
{
    Display* d = dpy(display_);
    GC gc = gcOf(gc_);
    // The background: a dark brushed band, darker toward the bottom.
    for (int y = 0; y < kHeight; ++y) {
        const int v = 58 - y * 30 / kHeight;
        XSetForeground(d, gc, rgb(v, v + 2, v + 8));
        XDrawLine(d, window_, gc, 0, y, kWidth - 1, y);
    }
    const unsigned long text = rgb(233, 233, 233);
    XSetForeground(d, gc, text);
    XDrawString(d, window_, gc, kSliderLeft, 26, "GAIN", 4);

    // Slider: track, ticks every 5 dB, thumb.
    const int mid = (kSliderTop + kSliderBottom) / 2;
    XSetForeground(d, gc, rgb(20, 20, 24));
    XFillRectangle(d, window_, gc, kSliderLeft, mid - 2, kSliderRight - kSliderLeft, 4);
    XSetForeground(d, gc, text);
    for (int p = kMinPosition; p <= kMaxPosition; p += kTickEvery) {
        const int x = kSliderLeft + (p - kMinPosition) * (kSliderRight - kSliderLeft) / (kMaxPosition - kMinPosition);
        XDrawLine(d, window_, gc, x, kSliderBottom - 3, x, kSliderBottom);
    }
    const int position = sliderPosition(plugin_.getParameter(0));
    const int tx = kSliderLeft + (position - kMinPosition) * (kSliderRight - kSliderLeft) / (kMaxPosition - kMinPosition);
    XSetForeground(d, gc, rgb(200, 200, 210));
    XFillRectangle(d, window_, gc, tx - 4, kSliderTop + 2, 9, kSliderBottom - kSliderTop - 8);

    // Bypass box.
    XSetForeground(d, gc, text);
    XDrawRectangle(d, window_, gc, kBoxLeft, kBoxTop, kBoxSize, kBoxSize);
    if (plugin_.getParameter(1) > 0.5f) {
        XDrawLine(d, window_, gc, kBoxLeft + 3, kBoxTop + 7, kBoxLeft + 6, kBoxTop + 10);
        XDrawLine(d, window_, gc, kBoxLeft + 6, kBoxTop + 10, kBoxLeft + 11, kBoxTop + 3);
    }
    XDrawString(d, window_, gc, kBoxLeft + kBoxSize + 6, kBoxTop + 11, "Bypass", 6);

    // "Show panel" button.
    XSetForeground(d, gc, rgb(70, 72, 80));
    XFillRectangle(d, window_, gc, kButtonLeft, kButtonTop, kButtonWidth, kButtonHeight);
    XSetForeground(d, gc, text);
    XDrawRectangle(d, window_, gc, kButtonLeft, kButtonTop, kButtonWidth, kButtonHeight);
    XDrawString(d, window_, gc, kButtonLeft + 24, kButtonTop + 18, "Show panel", 10);
    XFlush(d);
}

} // namespace stravik::link
