// The plug-in's editor in a real X server (Xvfb): opened inside a host's
// window, drawn, and driven by clicks on its controls.
#include "LinkTest.h"
#include "TestFiles.h"
#include "link/host/TestHost.h"

#include <gtest/gtest.h>
// After gtest: Xlib's macros (None, Bool) would clash with its names.
#include <X11/Xlib.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

using namespace stravik::link::host;
namespace vst2 = stravik::vst2;

namespace {

// An X server of this test's own; DISPLAY names it while it runs.
class VirtualDisplay {
public:
    VirtualDisplay()
    {
        int fds[2];
        if (pipe(fds) != 0) return;
        std::string a0 = "Xvfb", a1 = "-displayfd", a2 = std::to_string(fds[1]), a3 = "-nolisten", a4 = "tcp";
        char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), nullptr};
        if (posix_spawnp(&pid_, "Xvfb", nullptr, nullptr, argv, environ) != 0) pid_ = -1;
        close(fds[1]);
        char number[16] = {};
        const ssize_t n = pid_ > 0 ? read(fds[0], number, sizeof(number) - 1) : -1;
        close(fds[0]);
        if (n > 0) {
            name_ = ":" + std::to_string(std::atoi(number));
            setenv("DISPLAY", name_.c_str(), 1);
        }
    }
    ~VirtualDisplay()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool ok() const { return !name_.empty(); }

private:
    pid_t pid_ = -1;
    std::string name_;
};

// The editor's controls (pixels inside its window).
constexpr int kSliderLeftX = 14, kSliderRightX = 186, kSliderY = 46;
constexpr int kBypassX = 20, kBypassY = 78;

void click(Display* d, Window w, int x, int y)
{
    XEvent e{};
    e.xbutton.type = ButtonPress;
    e.xbutton.display = d;
    e.xbutton.window = w;
    e.xbutton.button = Button1;
    e.xbutton.x = x;
    e.xbutton.y = y;
    e.xbutton.same_screen = True;
    XSendEvent(d, w, True, ButtonPressMask, &e);
    e.xbutton.type = ButtonRelease;
    XSendEvent(d, w, True, ButtonReleaseMask, &e);
    XFlush(d);
}

// Lets the editor handle what arrived, as a host's idle calls do.
void idleUntil(vst2::Effect* e, const std::function<bool()>& done)
{
    for (int i = 0; i < 200 && !done(); ++i) {
        dispatch(e, vst2::kEditIdle);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

TEST(BreltEditorTest, OpensInTheHostsWindowAndItsControlsSetTheParameters)
{
    const std::string section = linktest::sectionName();
    testfiles::TempDir home;
    setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
    VirtualDisplay server;
    ASSERT_TRUE(server.ok()) << "Xvfb could not be started";
    Display* d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr);
    const Window parent = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 300, 200, 0, 0, 0);
    XMapWindow(d, parent);
    XSync(d, False);

    PluginLibrary library(linktest::breltPath());
    ASSERT_TRUE(library.ok()) << library.error();
    vst2::Effect* e = library.instantiate();
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(dispatch(e, vst2::kEditOpen, 0, 0, reinterpret_cast<void*>(static_cast<uintptr_t>(parent))), 1);
    dispatch(e, vst2::kEditIdle);

    // The editor is a child of the host's window, of the size it told.
    Window root = 0, parentOut = 0, *children = nullptr;
    unsigned count = 0;
    XSync(d, False);
    ASSERT_TRUE(XQueryTree(d, parent, &root, &parentOut, &children, &count));
    ASSERT_EQ(count, 1u);
    const Window editor = children[0];
    XFree(children);
    XWindowAttributes attributes{};
    XGetWindowAttributes(d, editor, &attributes);
    EXPECT_EQ(attributes.width, 200);
    EXPECT_EQ(attributes.height, 154);
    EXPECT_EQ(attributes.map_state, IsViewable);

    click(d, editor, kBypassX, kBypassY);
    idleUntil(e, [&] { return e->getParameter(e, 1) == 1.0f; });
    EXPECT_EQ(e->getParameter(e, 1), 1.0f);
    click(d, editor, kBypassX, kBypassY);
    idleUntil(e, [&] { return e->getParameter(e, 1) == 0.0f; });
    EXPECT_EQ(e->getParameter(e, 1), 0.0f);

    // The slider runs from -50 dB to 0 dB.
    click(d, editor, kSliderLeftX, kSliderY);
    idleUntil(e, [&] { return e->getParameter(e, 0) < 1.0f; });
    EXPECT_EQ(text(e, vst2::kGetParamDisplay, 0), "-50.00");
    click(d, editor, kSliderRightX, kSliderY);
    idleUntil(e, [&] { return e->getParameter(e, 0) == 1.0f; });
    EXPECT_EQ(e->getParameter(e, 0), 1.0f);

    // A parameter set by the host (automation) redraws at the next idle.
    e->setParameter(e, 1, 1.0f);
    dispatch(e, vst2::kEditIdle);
    dispatch(e, vst2::kEditClose);
    XSync(d, False);
    ASSERT_TRUE(XQueryTree(d, parent, &root, &parentOut, &children, &count));
    EXPECT_EQ(count, 0u);
    if (children) XFree(children);
    dispatch(e, vst2::kClose);
    XDestroyWindow(d, parent);
    XCloseDisplay(d);
}

} // namespace
