#include "engine/ScreenSaver.h"

#include <dbus/dbus.h>

#include <cstdlib>

namespace stravik {
namespace {

constexpr const char* kService = "org.freedesktop.ScreenSaver";
constexpr const char* kPath = "/org/freedesktop/ScreenSaver";
constexpr int kReplyTimeoutMs = 500;

} // namespace

ScreenSaverInhibitor::~ScreenSaverInhibitor() { release(); }

bool ScreenSaverInhibitor::inhibit(const std::string& reason)
{
    release();
    // Without an address libdbus would try to launch a bus through X11.
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || *address == '\0') return false;
    DBusError error;
    dbus_error_init(&error);
    // A private connection: the inhibition lives as long as it does, and
    // nothing else in the process shares or closes it.
    DBusConnection* c = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
    if (c == nullptr) {
        dbus_error_free(&error);
        return false;
    }
    dbus_connection_set_exit_on_disconnect(c, false);
    DBusMessage* call = dbus_message_new_method_call(kService, kPath, kService, "Inhibit");
    const char* app = "korvex";
    const char* why = reason.c_str();
    bool granted = false;
    if (call && dbus_message_append_args(call, DBUS_TYPE_STRING, &app, DBUS_TYPE_STRING, &why, DBUS_TYPE_INVALID)) {
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(c, call, kReplyTimeoutMs, &error);
        dbus_uint32_t cookie = 0;
        if (reply && dbus_message_get_args(reply, &error, DBUS_TYPE_UINT32, &cookie, DBUS_TYPE_INVALID)) {
            cookie_ = cookie;
            granted = true;
        }
        if (reply) dbus_message_unref(reply);
    }
    if (call) dbus_message_unref(call);
    dbus_error_free(&error);
    if (!granted) {
        dbus_connection_close(c);
        dbus_connection_unref(c);
        return false;
    }
    connection_ = c;
    return true;
}

void ScreenSaverInhibitor::release()
{
    if (connection_ == nullptr) return;
    DBusMessage* call = dbus_message_new_method_call(kService, kPath, kService, "UnInhibit");
    dbus_uint32_t cookie = cookie_;
    if (call && dbus_message_append_args(call, DBUS_TYPE_UINT32, &cookie, DBUS_TYPE_INVALID)) {
        DBusError error;
        dbus_error_init(&error);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(connection_, call, kReplyTimeoutMs, &error);
        if (reply) dbus_message_unref(reply);
        dbus_error_free(&error);
    }
    if (call) dbus_message_unref(call);
    dbus_connection_close(connection_);
    dbus_connection_unref(connection_);
    connection_ = nullptr;
    cookie_ = 0;
}

} // namespace stravik
