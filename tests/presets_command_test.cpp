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
#include <sys/wait.h>

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
