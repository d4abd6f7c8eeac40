// `korvex presets` on a store of its own (XDG_CONFIG_HOME in a temporary
// directory): list, import, export, delete, exit codes and messages.
#include "RunKorvex.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace testfiles;

namespace {

struct Result {
    int code;
    std::string out; // stdout only
    std::string all; // stdout and stderr
};

// korvex on a store of its own: XDG_CONFIG_HOME is the temporary home.
Result korvex(const TempDir& home, const std::string& args)
{
    const KorvexRun r = runKorvex(args, home.path(), "XDG_CONFIG_HOME='" + home.path() + "'");
    return {r.exitCode, r.out, r.all()};
}

const std::string kDemo = std::string(STRAVIK_BUILD_DIR) + "/demo.fxp";

// A preset file of count presets named "<prefix> <i>".
void writePresets(const std::string& path, const std::string& prefix, int count)
{
    std::string text = ";**** Stravik presets file ****;\r\n";
    for (int i = 0; i < count; ++i)
        text += "[" + prefix + " " + std::to_string(i) + "]\r\necho=1\r\necho_enabled=1\r\necho_delay=0.25\r\n\r\n";
    writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// Permissions mean nothing to root: korvex then runs as nobody.
std::string asAnotherUser() { return geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups env" : "env"; }

} // namespace

TEST(PresetsCommand, ImportListExportDeleteRoundTrip)
{
    TempDir home, files;
    Result r = korvex(home, "presets list");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, ""); // a new store: nothing

    r = korvex(home, "presets import " + kDemo);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "15 presets imported.\n");

    r = korvex(home, "presets list");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.substr(0, 22), "Ambient\nClean Sparkle\n");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 15);

    r = korvex(home, "presets export " + files.file("two.fxp") + " metal Crunch");
    EXPECT_EQ(r.code, 0);
    const auto bytes = readFile(files.file("two.fxp"));
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.find(";**** Stravik presets file ****;\r\n[Crunch]\r\n"), 0u); // sorted, stored spelling
    EXPECT_NE(text.find("\r\n[Metal]\r\n"), std::string::npos);

    r = korvex(home, "presets delete crunch");
    EXPECT_EQ(r.code, 0);
    r = korvex(home, "presets list");
    EXPECT_EQ(r.out.find("Crunch"), std::string::npos);
    // Importing the exported file brings it back.
    r = korvex(home, "presets import " + files.file("two.fxp"));
    EXPECT_EQ(r.out, "2 presets imported.\n");
    EXPECT_NE(korvex(home, "presets list").out.find("Crunch\n"), std::string::npos);
}

TEST(PresetsCommand, FailuresAndUsage)
{
    TempDir home, files;
    Result r = korvex(home, "presets delete Nothing");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.all.find("Preset with that name not found."), std::string::npos);
    r = korvex(home, "presets import " + files.file("missing.fxp"));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.all.find("Error opening file '" + files.file("missing.fxp") + "' !"), std::string::npos);
    writeFile(files.file("plain.ini"), {'[', 'A', ']', '\n', 'x', '=', '1', '\n'});
    r = korvex(home, "presets import " + files.file("plain.ini"));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.all.find("is NOT Stravik presets file!"), std::string::npos);
    r = korvex(home, "presets export " + files.file("x.fxp") + " Ghost");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.all.find("Specified preset not found!"), std::string::npos);
    EXPECT_EQ(korvex(home, "presets").code, 2);
    EXPECT_EQ(korvex(home, "presets list extra").code, 2);
    EXPECT_EQ(korvex(home, "presets export only-a-file.fxp").code, 2);
    EXPECT_EQ(korvex(home, "presets frobnicate").code, 2);
}

TEST(PresetsCommand, RenderLoadsAPresetFromAFileOrFromTheStore)
{
    TempDir home, files;
    // A short clean tone to render.
    std::vector<int16_t> tone(48000);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>(8000 * std::sin(i * 0.05));
    writeWav(files.file("in.wav"), tone);
    Result dry = korvex(home, "render --set stereo=0 --in " + files.file("in.wav") + " --out " + files.file("dry.wav"));
    ASSERT_EQ(dry.code, 0) << dry.all;

    // From the file: the user's store is not touched.
    Result r = korvex(home, "render --in " + files.file("in.wav") + " --out " + files.file("crunch.wav") + " --fxp " +
                                kDemo + " --preset Crunch --set stereo=0");
    ASSERT_EQ(r.code, 0) << r.all;
    EXPECT_EQ(r.all.find("presets imported"), std::string::npos);
    EXPECT_EQ(korvex(home, "presets list").out, "");
    EXPECT_NE(readSamples(files.file("crunch.wav")), readSamples(files.file("dry.wav")));

    // The --set values come after the preset: here they switch its effects off again.
    r = korvex(home, "render --in " + files.file("in.wav") + " --out " + files.file("undone.wav") + " --fxp " + kDemo +
                         " --preset Crunch --set stereo=0 --set dist_enabled=0 --set spkcab_enabled=0 --set rev_enabled=0");
    ASSERT_EQ(r.code, 0) << r.all;
    EXPECT_EQ(readSamples(files.file("undone.wav")), readSamples(files.file("dry.wav")));

    // From the store.
    ASSERT_EQ(korvex(home, "presets import " + kDemo).code, 0);
    r = korvex(home, "render --in " + files.file("in.wav") + " --out " + files.file("stored.wav") +
                         " --preset crunch --set stereo=0");
    ASSERT_EQ(r.code, 0) << r.all;
    EXPECT_EQ(readSamples(files.file("stored.wav")), readSamples(files.file("crunch.wav")));

    r = korvex(home, "render --in " + files.file("in.wav") + " --out " + files.file("x.wav") + " --preset Nope");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.all.find("Specified preset not found!"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(files.file("x.wav")));
    EXPECT_EQ(korvex(home, "render --in a.wav --out b.wav --fxp " + kDemo).code, 2);
}

// Importers started at the same moment on a configuration folder that has no
// store yet: every import that says it succeeded is in the store, whole.
TEST(PresetsCommand, ConcurrentImportsIntoAFreshFolderLoseNothing)
{
    constexpr int kImporters = 6, kPresetsEach = 25;
    for (int round = 0; round < 3; ++round) {
        TempDir home, files;
        for (int k = 0; k < kImporters; ++k) writePresets(files.file(std::to_string(k) + ".fxp"), "P" + std::to_string(k), kPresetsEach);
        std::vector<std::FILE*> running;
        for (int k = 0; k < kImporters; ++k) {
            const std::string cmd = "XDG_CONFIG_HOME='" + home.path() + "' " + STRAVIK_BUILD_DIR + "/korvex presets import " +
                                    files.file(std::to_string(k) + ".fxp") + " 2>&1";
            running.push_back(popen(cmd.c_str(), "r"));
        }
        std::vector<int> succeeded;
        for (int k = 0; k < kImporters; ++k) {
            char line[512] = {};
            std::string out;
            while (std::fgets(line, sizeof line, running[static_cast<size_t>(k)])) out += line;
            const int status = pclose(running[static_cast<size_t>(k)]);
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
                EXPECT_EQ(out, std::to_string(kPresetsEach) + " presets imported.\n");
                succeeded.push_back(k);
            } else {
                EXPECT_NE(out.find("another program is using it"), std::string::npos) << out;
            }
        }
        EXPECT_EQ(succeeded.size(), static_cast<size_t>(kImporters)); // 5 s of patience is plenty here
        const std::string list = korvex(home, "presets list").out;
        for (int k : succeeded)
            for (int i = 0; i < kPresetsEach; ++i)
                EXPECT_NE(list.find("P" + std::to_string(k) + " " + std::to_string(i) + "\n"), std::string::npos)
                    << "round " << round << ", importer " << k << ", preset " << i;
        for (const auto& e : std::filesystem::directory_iterator(home.path() + "/stravik"))
            EXPECT_EQ(e.path().filename().string().find(".damaged"), std::string::npos);
    }
}

// A store the user may only read still lists and exports; an import into it
// fails and says so; a store the user may not read fails every command.
TEST(PresetsCommand, ReadOnlyAndUnreadableStores)
{
    TempDir home, files;
    ASSERT_EQ(korvex(home, "presets import " + kDemo).code, 0);
    writePresets(files.file("more.fxp"), "More", 3);
    const std::string store = home.path() + "/stravik/registry.sqlite3";
    const std::string folder = home.path() + "/stravik";
    chmod(home.path().c_str(), 0755);
    chmod(files.path().c_str(), 0777);
    chmod(folder.c_str(), 0555);
    chmod(store.c_str(), 0444);
    const std::string env = asAnotherUser() + " XDG_CONFIG_HOME='" + home.path() + "'";

    KorvexRun r = runKorvex("presets list", files.path(), env);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 15);
    r = runKorvex("presets export " + files.file("out.fxp") + " Crunch", files.path(), env);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = runKorvex("presets import " + files.file("more.fxp"), files.path(), env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("could not be written (it is read-only)"), std::string::npos) << r.err;
    r = runKorvex("presets delete Crunch", files.path(), env);
    EXPECT_EQ(r.exitCode, 1);

    chmod(store.c_str(), 0);
    r = runKorvex("presets list", files.path(), env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("could not be opened"), std::string::npos) << r.err;

    chmod(folder.c_str(), 0755);
    chmod(store.c_str(), 0644);
    const std::string list = korvex(home, "presets list").out; // all still there, nothing kept aside
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 15);
    EXPECT_EQ(list.find("More"), std::string::npos);
    for (const auto& e : std::filesystem::directory_iterator(folder))
        EXPECT_EQ(e.path().filename().string().find(".damaged"), std::string::npos);
}
