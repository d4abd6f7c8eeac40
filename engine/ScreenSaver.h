#pragma once
// Keeps the screen saver and the display's power saving from starting while
// the guitarist plays, through the freedesktop ScreenSaver service on the
// session bus. Without a session bus, or without the service, it does
// nothing: a server or a console session has no screen saver to stop.
#include <cstdint>
#include <string>

struct DBusConnection;

namespace stravik {

class ScreenSaverInhibitor {
public:
    ScreenSaverInhibitor() = default;
    ~ScreenSaverInhibitor(); // releases
    ScreenSaverInhibitor(const ScreenSaverInhibitor&) = delete;
    ScreenSaverInhibitor& operator=(const ScreenSaverInhibitor&) = delete;

    // Asks for the inhibition; true when the service granted it. The reply is
    // awaited for at most half a second.
    bool inhibit(const std::string& reason);
    // Gives the inhibition back (nothing when none was granted).
    void release();
    bool active() const { return connection_ != nullptr; }

private:
    DBusConnection* connection_ = nullptr;
    uint32_t cookie_ = 0;
};

} // namespace stravik
