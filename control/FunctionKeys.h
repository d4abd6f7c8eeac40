#pragma once
// Function keys from the main window to the preset shortcuts. The window's
// key hook knows only this interface, not what the keys do.
//
// Threads: the window's.
#include "presets/Shortcuts.h"

namespace stravik::control {

class FunctionKeyHandler {
public:
    virtual ~FunctionKeyHandler() = default;
    // A key-down (or system-key-down) of F1..F12, given as 1..12, while the
    // main window is in front; other keys are not handed over. ctrl: Ctrl is
    // held; repeat: the key was already down (auto-repeat). True when the key
    // was used and must go no further.
    virtual bool functionKeyDown(int number, bool ctrl, bool repeat) = 0;
};

class ShortcutKeys final : public FunctionKeyHandler {
public:
    explicit ShortcutKeys(Shortcuts& shortcuts) : shortcuts_(shortcuts) {}
    bool functionKeyDown(int number, bool ctrl, bool repeat) override
    {
        return shortcuts_.functionKey(number, ctrl, repeat);
    }

private:
    Shortcuts& shortcuts_;
};

} // namespace stravik::control
