// Brelt.so as a host sees it before any audio flows: the description, the
// parameters and their display, the programs and chunks, the slots, and the
// start of korvex failing. Driven through the binary interface only.
#include "LinkTest.h"
#include "TestFiles.h"
#include "link/SharedSection.h"
#include "link/host/TestHost.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <vector>

using namespace stravik;
using namespace stravik::link::host;
namespace vst2 = stravik::vst2;

namespace {

struct PluginFixture : ::testing::Test {
    std::string section = linktest::sectionName();
    testfiles::TempDir home;
    std::unique_ptr<PluginLibrary> library;
    std::vector<vst2::Effect*> effects;

    void SetUp() override
    {
        // No settings of the user's, and no korvex is started by these tests.
        setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
        library = std::make_unique<PluginLibrary>(linktest::breltPath());
        ASSERT_TRUE(library->ok()) << library->error();
        hostVersion() = 2400;
    }
    void TearDown() override
    {
        for (vst2::Effect* e : effects) dispatch(e, vst2::kClose);
        effects.clear();
    }
    vst2::Effect* make()
    {
        vst2::Effect* e = library->instantiate();
        if (e) effects.push_back(e);
        return e;
    }
};

TEST_F(PluginFixture, DescribesItselfAsTheTableSays)
{
    vst2::Effect* e = make();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->magic, 0x56737450);
    EXPECT_EQ(e->uniqueID, ('S' << 24) | ('t' << 16) | ('v' << 8) | 'K');
    EXPECT_EQ(e->numPrograms, 64);
    EXPECT_EQ(e->numParams, 2);
    EXPECT_EQ(e->numInputs, 2);
    EXPECT_EQ(e->numOutputs, 2);
    EXPECT_EQ(e->flags, (1 << 0) | (1 << 4));
    EXPECT_EQ(text(e, vst2::kGetEffectName), "Stravik live link");
    EXPECT_EQ(text(e, vst2::kGetProductString), "Stravik");
    EXPECT_EQ(text(e, vst2::kGetVendorString), "Velmar");
    EXPECT_EQ(dispatch(e, vst2::kGetVendorVersion), 1000);
    EXPECT_EQ(dispatch(e, vst2::kGetVstVersion), 2400);
    char doubles[] = "receiveVstMidiEvent";
    EXPECT_EQ(dispatch(e, vst2::kCanDo, 0, 0, doubles), 0);
    // The older entry name gives an instance too.
    ASSERT_NE(library->oldEntry(), nullptr);
    vst2::Effect* old = library->oldEntry()(hostCallback);
    ASSERT_NE(old, nullptr);
    effects.push_back(old);
    EXPECT_EQ(old->numPrograms, 64);
}

TEST_F(PluginFixture, TheEditorsSizeIsKnownBeforeItsWindowAndNoDisplayMeansNoEditor)
{
    vst2::Effect* e = make();
    ASSERT_NE(e, nullptr);
    vst2::Rect* rect = nullptr;
    EXPECT_EQ(dispatch(e, vst2::kEditGetRect, 0, 0, &rect), 1);
    ASSERT_NE(rect, nullptr);
    EXPECT_EQ(rect->right - rect->left, 200); // 133 by 95 dialog units
    EXPECT_EQ(rect->bottom - rect->top, 154);
    const char* display = std::getenv("DISPLAY");
    const std::string saved = display ? display : "";
    unsetenv("DISPLAY");
    EXPECT_EQ(dispatch(e, vst2::kEditOpen, 0, 0, reinterpret_cast<void*>(uintptr_t{0x400001})), 0);
    dispatch(e, vst2::kEditIdle);
    dispatch(e, vst2::kEditClose);
    if (display) setenv("DISPLAY", saved.c_str(), 1);
}

TEST_F(PluginFixture, AHostThatDoesNotTellItsVersionGetsNoInstance)
{
    hostVersion() = 0;
    EXPECT_EQ(make(), nullptr);
}

TEST_F(PluginFixture, ParametersAndTheirDisplay)
{
    vst2::Effect* e = make();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(text(e, vst2::kGetParamName, 0), "Gain");
    EXPECT_EQ(text(e, vst2::kGetParamName, 1), "Bypass");
    EXPECT_EQ(text(e, vst2::kGetParamLabel, 0), "dB");
    EXPECT_EQ(text(e, vst2::kGetParamLabel, 1), "");
    EXPECT_EQ(e->getParameter(e, 0), 1.0f);
    EXPECT_EQ(std::stod(text(e, vst2::kGetParamDisplay, 0)), 0.0);
    e->setParameter(e, 0, 0.0f);
    EXPECT_EQ(text(e, vst2::kGetParamDisplay, 0), "-oo");
    e->setParameter(e, 0, 0.5f);
    EXPECT_NEAR(std::stod(text(e, vst2::kGetParamDisplay, 0)), -6.02, 0.006);
    EXPECT_EQ(e->getParameter(e, 0), 0.5f);

    EXPECT_EQ(text(e, vst2::kGetParamDisplay, 1), "Off");
    e->setParameter(e, 1, 0.5f);
    EXPECT_EQ(e->getParameter(e, 1), 0.0f);
    e->setParameter(e, 1, 0.51f);
    EXPECT_EQ(e->getParameter(e, 1), 1.0f);
    EXPECT_EQ(text(e, vst2::kGetParamDisplay, 1), "On");
    // Other indices read as 0 and have no text.
    e->setParameter(e, 2, 0.7f);
    EXPECT_EQ(e->getParameter(e, 2), 0.0f);
    EXPECT_EQ(text(e, vst2::kGetParamName, 2), "");
}

TEST_F(PluginFixture, ProgramsKeepTheirOwnGainAndBypass)
{
    vst2::Effect* e = make();
    ASSERT_NE(e, nullptr);
    for (int i = 0; i < 64; ++i) {
        char name[64] = {};
        EXPECT_EQ(dispatch(e, vst2::kGetProgramNameIndexed, i, 0, name), 1);
        EXPECT_STREQ(name, ("Program " + std::to_string(i)).c_str());
    }
    char name[64] = {};
    EXPECT_EQ(dispatch(e, vst2::kGetProgramNameIndexed, 64, 0, name), 0);
    EXPECT_EQ(text(e, vst2::kGetProgramName), "Default");
    EXPECT_EQ(dispatch(e, vst2::kGetProgram), 0);

    e->setParameter(e, 0, 0.5f);
    dispatch(e, vst2::kSetProgram, 0, 5);
    EXPECT_EQ(dispatch(e, vst2::kGetProgram), 5);
    EXPECT_EQ(e->getParameter(e, 0), 1.0f);
    e->setParameter(e, 1, 1.0f);
    dispatch(e, vst2::kSetProgram, 0, 0);
    EXPECT_EQ(e->getParameter(e, 0), 0.5f);
    EXPECT_EQ(e->getParameter(e, 1), 0.0f);
    dispatch(e, vst2::kSetProgram, 0, 64); // refused
    dispatch(e, vst2::kSetProgram, 0, -1);
    EXPECT_EQ(dispatch(e, vst2::kGetProgram), 0);

    char longName[] = "A name far longer than twenty-four characters";
    dispatch(e, vst2::kSetProgramName, 0, 0, longName);
    EXPECT_EQ(text(e, vst2::kGetProgramName), std::string(longName, 24));
    // The table's names are the table's.
    dispatch(e, vst2::kGetProgramNameIndexed, 0, 0, name);
    EXPECT_STREQ(name, "Program 0");
}

TEST_F(PluginFixture, ChunksCarryOneProgramOrTheBank)
{
    vst2::Effect* e = make();
    ASSERT_NE(e, nullptr);
    dispatch(e, vst2::kSetProgram, 0, 3);
    e->setParameter(e, 0, 0.25f);
    void* data = nullptr;
    ASSERT_EQ(dispatch(e, vst2::kGetChunk, 1, 0, &data), 32);
    unsigned char one[32];
    std::memcpy(one, data, 32);
    EXPECT_STREQ(reinterpret_cast<char*>(one), "Program 3");
    float gain;
    std::memcpy(&gain, one + 24, 4);
    EXPECT_EQ(gain, 0.25f);

    ASSERT_EQ(dispatch(e, vst2::kGetChunk, 0, 0, &data), 2048);
    std::vector<unsigned char> bank(static_cast<unsigned char*>(data), static_cast<unsigned char*>(data) + 2048);
    std::memcpy(bank.data() + 7 * 32, "Seventh", 8);
    const int32_t on = 1;
    std::memcpy(bank.data() + 7 * 32 + 28, &on, 4);

    vst2::Effect* other = make();
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(dispatch(other, vst2::kSetChunk, 0, 4096, bank.data()), 0); // longer than the table
    ASSERT_EQ(dispatch(other, vst2::kSetChunk, 0, 2048, bank.data()), 1);
    char name[64] = {};
    dispatch(other, vst2::kGetProgramNameIndexed, 7, 0, name);
    EXPECT_STREQ(name, "Seventh");
    dispatch(other, vst2::kSetProgram, 0, 7);
    EXPECT_EQ(other->getParameter(other, 1), 1.0f);
    dispatch(other, vst2::kSetProgram, 0, 3);
    EXPECT_EQ(other->getParameter(other, 0), 0.25f);
    // One program into the current record.
    ASSERT_EQ(dispatch(other, vst2::kSetChunk, 1, 32, bank.data() + 7 * 32), 1);
    EXPECT_EQ(other->getParameter(other, 1), 1.0f);
    EXPECT_EQ(dispatch(other, vst2::kSetChunk, 1, 16, bank.data()), 0);
}

TEST_F(PluginFixture, ANinthInstanceGetsNoEffect)
{
    std::set<vst2::Effect*> made;
    for (int i = 0; i < 8; ++i) made.insert(make());
    EXPECT_EQ(made.size(), 8u);
    EXPECT_EQ(made.count(nullptr), 0u);
    EXPECT_EQ(make(), nullptr);
    // A closed instance frees its slot.
    dispatch(effects.back(), vst2::kClose);
    effects.pop_back();
    EXPECT_NE(make(), nullptr);
}

TEST_F(PluginFixture, TwoHostsCreatingFourInstancesEachAtOnceGetEightSlotsAndACrashedHostsComeBack)
{
    // Run as a test of its own (as CTest does), neither host finds the
    // section: both race to make it, then to claim.
    int go[2], report[2], release[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(release), 0);
    ASSERT_EQ(pipe(report), 0);
    pid_t hosts[2];
    for (pid_t& host : hosts) {
        host = fork();
        if (host == 0) {
            char c;
            if (read(go[0], &c, 1) != 1) _exit(3);
            PluginLibrary plugin(linktest::breltPath());
            char made = 0;
            for (int i = 0; i < 4; ++i) made = static_cast<char>(made + (plugin.instantiate() != nullptr));
            if (write(report[1], &made, 1) != 1) _exit(4);
            if (read(release[0], &c, 1) != 1) _exit(5); // holds its instances until told
            _exit(0); // then ends without closing them, as a crashing host would
        }
    }
    ASSERT_EQ(write(go[1], "gg", 2), 2);
    for (int i = 0; i < 2; ++i) {
        char made = 0;
        ASSERT_EQ(read(report[0], &made, 1), 1);
        EXPECT_EQ(made, 4);
    }
    {
        stravik::link::SharedSection mapped;
        std::string error;
        ASSERT_TRUE(mapped.open(section, false, error)) << error;
        std::map<int, int> perHost;
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(mapped.slot(i).inUse.load(), 1);
            ++perHost[mapped.header().ownerPid[i].load()];
        }
        EXPECT_EQ(perHost, (std::map<int, int>{{hosts[0], 4}, {hosts[1], 4}}));
    }
    EXPECT_EQ(make(), nullptr); // all eight are taken
    ASSERT_EQ(write(release[1], "xx", 2), 2);
    for (pid_t host : hosts) {
        int status = 0;
        waitpid(host, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    // The slots of hosts that are gone are taken again.
    for (int i = 0; i < 8; ++i) EXPECT_NE(make(), nullptr) << "instance " << i;
}

TEST_F(PluginFixture, WithoutKorvexOpeningSaysSoAndAudioIsLeftAlone)
{
    // The library alone in a folder, and no "AppPath".
    const std::string copy = home.file("Brelt.so");
    std::filesystem::copy_file(linktest::breltPath(), copy);
    PluginLibrary alone(copy);
    ASSERT_TRUE(alone.ok()) << alone.error();
    vst2::Effect* e = alone.instantiate();
    ASSERT_NE(e, nullptr);

    const std::string errFile = home.file("stderr.txt");
    fflush(stderr);
    const int saved = dup(2);
    const int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
    startInstance(e, 48000.0f, 256);
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::ifstream in(errFile);
    std::stringstream said;
    said << in.rdbuf();
    EXPECT_NE(said.str().find("Error loading plugin!\nKORVEX.EXE file not found.\n\nThis file should be located "
                              "either in the same folder\nwith BRELT.DLL or in Stravik application folder."),
              std::string::npos)
        << said.str();

    std::vector<float> inL(300, 0.5f), inR(300, -0.5f), outL(300, 7.0f), outR(300, 7.0f);
    process(e, inL.data(), inR.data(), outL.data(), outR.data(), 300);
    EXPECT_EQ(outL, std::vector<float>(300, 7.0f));
    EXPECT_EQ(outR, std::vector<float>(300, 7.0f));
    // Bypassed, the inputs pass.
    e->setParameter(e, 1, 1.0f);
    process(e, inL.data(), inR.data(), outL.data(), outR.data(), 300);
    EXPECT_EQ(outL, inL);
    EXPECT_EQ(outR, inR);
    closeInstance(e);
}

} // namespace
