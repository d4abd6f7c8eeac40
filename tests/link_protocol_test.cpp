// The link's shared section, slots and events, with real shared memory and
// real processes.
// test-label: threads
#include "LinkTest.h"
#include "link/KorvexLink.h"
#include "link/LinkEvent.h"
#include "link/SharedSection.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace stravik::link;

namespace {

struct SectionFixture : ::testing::Test {
    std::string name = linktest::sectionName();
    void SetUp() override { shm_unlink(name.c_str()); }
};

TEST_F(SectionFixture, CreatedPrivateWithTheLayoutAndRefusedWhenForeign)
{
    std::string error;
    {
        SharedSection s;
        ASSERT_TRUE(s.open(name, true, error)) << error;
        struct stat st{};
        const int fd = shm_open(name.c_str(), O_RDONLY, 0);
        ASSERT_GE(fd, 0);
        fstat(fd, &st);
        close(fd);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(st.st_size, kSectionBytes);
        // The slots sit back to back from the start of the section.
        EXPECT_EQ(reinterpret_cast<char*>(&s.slot(3)) - reinterpret_cast<char*>(&s.slot(0)), 3 * kSlotBytes);
        EXPECT_EQ(reinterpret_cast<char*>(&s.header()) - reinterpret_cast<char*>(&s.slot(0)), 131360);
    }
    // Another layout version.
    {
        SharedSection s;
        ASSERT_TRUE(s.open(name, false, error));
        s.header().version = 7;
    }
    SharedSection stale;
    EXPECT_FALSE(stale.open(name, true, error));
    EXPECT_NE(error.find("layout version 7"), std::string::npos) << error;
    shm_unlink(name.c_str());

    // Open to other users, or of the wrong size.
    int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 4096), 0);
    error.clear();
    SharedSection small;
    EXPECT_FALSE(small.open(name, true, error));
    EXPECT_NE(error.find("4096 bytes"), std::string::npos) << error;
    ASSERT_EQ(ftruncate(fd, kSectionBytes), 0);
    fchmod(fd, 0644);
    close(fd);
    error.clear();
    SharedSection open;
    EXPECT_FALSE(open.open(name, true, error));
    EXPECT_NE(error.find("other users"), std::string::npos) << error;
    // Without create, a missing section is refused too.
    shm_unlink(name.c_str());
    error.clear();
    SharedSection missing;
    EXPECT_FALSE(missing.open(name, false, error));
    EXPECT_FALSE(error.empty());
}

TEST_F(SectionFixture, SlotsAreClaimedOnceAndZeroed)
{
    std::string error;
    SharedSection s;
    ASSERT_TRUE(s.open(name, true, error)) << error;
    s.slot(0).left[5] = 3.0f;
    s.slot(0).active = 1;
    std::set<int> got;
    for (int i = 0; i < kSlotCount; ++i) got.insert(s.claimSlot(48000));
    EXPECT_EQ(got.size(), 8u);
    EXPECT_EQ(*got.begin(), 0);
    EXPECT_EQ(s.claimSlot(48000), -1);
    EXPECT_EQ(s.slot(0).inUse.load(), 1);
    EXPECT_EQ(s.slot(0).sampleRate.load(), 48000);
    EXPECT_EQ(s.slot(0).left[5], 0.0f);
    EXPECT_EQ(s.slot(0).active.load(), 0);
    s.releaseSlot(4);
    EXPECT_EQ(s.slot(4).inUse.load(), 0);
    EXPECT_EQ(s.claimSlot(44100), 4);
}

TEST_F(SectionFixture, EventsWakeAnotherProcessAndStaySetUntilReset)
{
    std::string error;
    SharedSection s;
    ASSERT_TRUE(s.open(name, true, error)) << error;
    LinkSlot& slot = s.slot(2);
    EXPECT_FALSE(waitEvent(slot.readyEvent, 0));
    const pid_t child = fork();
    if (child == 0) {
        SharedSection mine;
        std::string e;
        if (!mine.open(name, false, e)) _exit(2);
        LinkSlot& m = mine.slot(2);
        if (!waitEvent(m.readyEvent, 20000)) _exit(3);
        m.left[0] = m.left[0] * 2;
        setEvent(m.doneEvent);
        _exit(0);
    }
    slot.left[0] = 0.25f;
    setEvent(slot.readyEvent);
    ASSERT_TRUE(waitEvent(slot.doneEvent, 20000));
    EXPECT_EQ(slot.left[0], 0.5f);
    // Manual reset: still set for the next waiter.
    EXPECT_TRUE(waitEvent(slot.doneEvent, 0));
    resetEvent(slot.doneEvent);
    EXPECT_FALSE(waitEvent(slot.doneEvent, 10));
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);

}

TEST(CommandReaderTest, RecordsArriveWholeEvenInPieces)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    CommandReader reader(pair[1]);
    CommandRecord r{};
    EXPECT_EQ(reader.read(r), CommandReader::Result::Nothing);
    const CommandRecord sent[2] = {{kProgram, 17}, {kHello, 0}};
    const char* bytes = reinterpret_cast<const char*>(sent);
    ASSERT_EQ(write(pair[0], bytes, 5), 5);
    EXPECT_EQ(reader.read(r), CommandReader::Result::Nothing);
    ASSERT_EQ(write(pair[0], bytes + 5, 11), 11);
    ASSERT_EQ(reader.read(r), CommandReader::Result::Record);
    EXPECT_EQ(r.code, kProgram);
    EXPECT_EQ(r.argument, 17);
    ASSERT_EQ(reader.read(r), CommandReader::Result::Record);
    EXPECT_EQ(r.code, kHello);
    ASSERT_EQ(write(pair[0], bytes, 3), 3);
    close(pair[0]);
    EXPECT_EQ(reader.read(r), CommandReader::Result::Closed); // a part record, then the end
    close(pair[1]);
}

} // namespace
