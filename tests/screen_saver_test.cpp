// test-label: threads
// The screen-saver inhibition against a session bus of the test's own (a
// real dbus-daemon) with a stand-in screen-saver service on it.
#include "engine/ScreenSaver.h"

#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace stravik;

namespace {

// dbus-daemon --session, forked, stopped at the end.
class SessionBus {
public:
    SessionBus()
    {
        std::FILE* p = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
        if (!p) return;
        char line[512];
        if (std::fgets(line, sizeof line, p)) address_ = std::string(line).substr(0, std::string(line).find('\n'));
        if (std::fgets(line, sizeof line, p)) pid_ = std::atoi(line);
        pclose(p);
    }
    ~SessionBus()
    {
        if (pid_ > 0) kill(pid_, SIGTERM);
    }
    const std::string& address() const { return address_; }

private:
    std::string address_;
    int pid_ = 0;
};

// org.freedesktop.ScreenSaver: answers Inhibit with cookie 42 and records
// what it was asked.
class FakeScreenSaver {
public:
    explicit FakeScreenSaver(const std::string& address)
    {
        DBusError e;
        dbus_error_init(&e);
        c_ = dbus_connection_open_private(address.c_str(), &e);
        if (c_ && dbus_bus_register(c_, &e) &&
            dbus_bus_request_name(c_, "org.freedesktop.ScreenSaver", DBUS_NAME_FLAG_DO_NOT_QUEUE, &e) ==
                DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER)
            loop_ = std::thread([this] { serve(); });
        dbus_error_free(&e);
    }
    ~FakeScreenSaver()
    {
        stop_ = true;
        if (loop_.joinable()) loop_.join();
        if (c_) {
            dbus_connection_close(c_);
            dbus_connection_unref(c_);
        }
    }
    bool serving() const { return loop_.joinable(); }
    std::vector<std::string> calls()
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    void serve()
    {
        while (!stop_) {
            dbus_connection_read_write(c_, 20);
            while (DBusMessage* m = dbus_connection_pop_message(c_)) {
                answer(m);
                dbus_message_unref(m);
            }
        }
    }
    void answer(DBusMessage* m)
    {
        if (dbus_message_get_type(m) != DBUS_MESSAGE_TYPE_METHOD_CALL) return;
        const std::string member = dbus_message_get_member(m);
        DBusMessage* reply = dbus_message_new_method_return(m);
        if (member == "Inhibit") {
            const char* app = "";
            const char* why = "";
            dbus_message_get_args(m, nullptr, DBUS_TYPE_STRING, &app, DBUS_TYPE_STRING, &why, DBUS_TYPE_INVALID);
            record("Inhibit " + std::string(app) + " " + why);
            dbus_uint32_t cookie = 42;
            dbus_message_append_args(reply, DBUS_TYPE_UINT32, &cookie, DBUS_TYPE_INVALID);
        } else if (member == "UnInhibit") {
            dbus_uint32_t cookie = 0;
            dbus_message_get_args(m, nullptr, DBUS_TYPE_UINT32, &cookie, DBUS_TYPE_INVALID);
            record("UnInhibit " + std::to_string(cookie));
        }
        dbus_connection_send(c_, reply, nullptr);
        dbus_connection_flush(c_);
        dbus_message_unref(reply);
    }
    void record(const std::string& s)
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(s);
    }

    DBusConnection* c_ = nullptr;
    std::thread loop_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> calls_;
};

} // namespace

TEST(ScreenSaver, HeldOffWhileRunningAndGivenBackAfterwards)
{
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ScreenSaverInhibitor none;
    EXPECT_FALSE(none.inhibit("Playing guitar")); // no session bus: nothing to do

    SessionBus bus;
    ASSERT_FALSE(bus.address().empty());
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    {
        ScreenSaverInhibitor noService;
        EXPECT_FALSE(noService.inhibit("Playing guitar")); // a bus without a screen saver
    }
    FakeScreenSaver saver(bus.address());
    ASSERT_TRUE(saver.serving());
    {
        ScreenSaverInhibitor inhibitor;
        EXPECT_TRUE(inhibitor.inhibit("Playing guitar"));
        EXPECT_EQ(saver.calls(), std::vector<std::string>{"Inhibit korvex Playing guitar"});
    } // released when it goes
    EXPECT_EQ(saver.calls(), (std::vector<std::string>{"Inhibit korvex Playing guitar", "UnInhibit 42"}));
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
}
