// korvex in plug-in mode ("korvex /vst SLOT PATH") driven by a plug-in side
// of our own: bad command lines, the commands (also malformed ones), the
// automatic start and the block exchange, and the end when the plug-in's
// side goes away.
// test-label: threads
#include "LinkTest.h"
#include "RunKorvex.h"
#include "TestFiles.h"
#include "link/LinkEvent.h"
#include "link/SharedSection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

using namespace stravik::link;

namespace {

struct ModeFixture : ::testing::Test {
    std::string section = linktest::sectionName();
    testfiles::TempDir home;
    std::string env;
    SharedSection s;

    void SetUp() override
    {
        shm_unlink(section.c_str()); // a fresh section for every test
        setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
        env = "XDG_CONFIG_HOME='" + home.path() + "' " + kSectionNameVariable + "=" + section;
        std::string error;
        ASSERT_TRUE(s.open(section, true, error)) << error;
    }
};

TEST_F(ModeFixture, BadCommandLinesEndWithTheInitMessages)
{
    const std::string korvex = std::string(STRAVIK_BUILD_DIR) + "/korvex";
    auto r = testfiles::runKorvex("/vst ZZZZ " + linktest::breltPath(), home.path(), env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(korvex + " /vst ZZZZ " + linktest::breltPath()), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Error in VST init"), std::string::npos) << r.err;

    r = testfiles::runKorvex("/vst 0001 " + home.file("nothing.so"), home.path(), env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Cannot load Live DLL!"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Error in VST init"), std::string::npos) << r.err;

    // A library without the link's functions.
    r = testfiles::runKorvex("/vst 0001 libm.so.6", home.path(), env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.find("Cannot load Live DLL!"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Error in VST init"), std::string::npos) << r.err;

    // A slot no instance owns.
    r = testfiles::runKorvex("/vst 0003 " + linktest::breltPath(), home.path(), env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("not in use"), std::string::npos) << r.err;

    // An owned slot, but no command channel.
    ASSERT_EQ(s.claimSlot(48000), 0);
    r = testfiles::runKorvex("/vst 0000 " + linktest::breltPath(), home.path(), env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("command channel"), std::string::npos) << r.err;
}

TEST_F(ModeFixture, CommandsBlocksAndMalformedInput)
{
    const int index = s.claimSlot(48000);
    ASSERT_EQ(index, 0);
    LinkSlot& slot = s.slot(index);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const std::string korvex = std::string(STRAVIK_BUILD_DIR) + "/korvex";
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) vars.push_back(*e);
    vars.push_back(std::string(kCommandFdVariable) + "=" + std::to_string(pair[1]));
    std::vector<char*> envp;
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string a0 = korvex, a1 = "/vst", a2 = "0000", a3 = linktest::breltPath();
    char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], pair[1]);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, korvex.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pair[1]);
    const int fd = pair[0];
    const auto send = [&](int32_t code, int32_t argument) {
        const CommandRecord r{code, argument};
        ASSERT_EQ(write(fd, &r, sizeof(r)), static_cast<ssize_t>(sizeof(r)));
    };

    // Unknown and out-of-range commands first: nothing breaks.
    send(77, 5);
    send(-1, -1);
    send(kShowPanel, 0);
    // Hello until it is acknowledged (commands before the window exist are
    // dropped).
    bool acknowledged = false;
    for (int i = 0; i < 60 && !acknowledged; ++i) {
        resetEvent(slot.commandEvent);
        send(kHello, 0);
        acknowledged = waitEvent(slot.commandEvent, 500);
    }
    ASSERT_TRUE(acknowledged);
    // A second hello is not acknowledged again.
    resetEvent(slot.commandEvent);
    send(kHello, 0);
    EXPECT_FALSE(waitEvent(slot.commandEvent, 1000));
    // A program without a preset for it is still answered.
    send(kProgram, 999);
    EXPECT_TRUE(waitEvent(slot.commandEvent, 20000));

    // korvex starts its run by itself.
    for (int i = 0; i < 400 && slot.active.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(slot.active.load(), 1);
    EXPECT_EQ(slot.abort.load(), 0);

    // One block: stereo output by default, both channels the chain's mix.
    for (int i = 0; i < 300; ++i) {
        slot.left[i] = 0.2f;
        slot.right[i] = 0.4f;
    }
    slot.count = 300;
    resetEvent(slot.doneEvent);
    setEvent(slot.readyEvent);
    ASSERT_TRUE(waitEvent(slot.doneEvent, 20000));
    EXPECT_NEAR(slot.left[299], 0.3f, 1e-5);
    EXPECT_NEAR(slot.right[299], 0.3f, 1e-5);

    // Suspend ends the run (it raises abort for a waiting plug-in); resume
    // starts another.
    slot.hostStopped = 1;
    send(kSuspend, 0);
    for (int i = 0; i < 400 && slot.active.load() == 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(slot.active.load(), 0);
    slot.hostStopped = 0;
    send(kResume, 0);
    for (int i = 0; i < 400 && slot.active.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(slot.active.load(), 1);
    EXPECT_EQ(slot.abort.load(), 0);

    // The plug-in's side goes away (its host ended): korvex ends its run and
    // itself.
    close(fd);
    int status = -1;
    for (int i = 0; i < 600; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!WIFEXITED(status)) kill(pid, SIGKILL);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(slot.active.load(), 0);
}

} // namespace
