// Preset files: export and import round trip, the header, the value and
// section rules of the reader, and whole-preset replacement.
#include "presets/PresetFile.h"
#include "presets/RegistryStore.h"

#include "TestFiles.h"
#include "dsp/RecordingMessages.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace stravik;
using namespace testfiles;

namespace {

void writeText(const std::string& path, const std::string& text)
{
    writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

} // namespace

TEST(PresetFile, ExportedPresetsImportIntoAnEmptyStoreWithIdenticalTexts)
{
    TempDir dir;
    RegistryStore from(":memory:");
    for (const char* name : {"Clean", "Lead", "Ambient"}) {
        const std::string key = std::string("presets\\") + name;
        from.write("echo", "1", key);
        from.write("echo_enabled", "1", key);
        from.write("echo_delay", std::string(name) == "Lead" ? "0.35" : "0.5", key);
        from.write("echo_lpfreq", "8000", key);
    }
    RecordingMessages messages;
    ASSERT_TRUE(exportPresetFile(from, dir.file("p.fxp"), {"Ambient", "Clean", "Lead"}, messages));
    const auto bytes = readFile(dir.file("p.fxp"));
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.rfind(";**** Stravik presets file ****;\r\n[Ambient]\r\necho=1\r\necho_enabled=1\r\n", 0), 0u);
    EXPECT_NE(text.find("echo_lpfreq=8000\r\n\r\n[Clean]\r\n"), std::string::npos);

    RegistryStore to(":memory:");
    int count = 0;
    ASSERT_EQ(importPresetFile(to, dir.file("p.fxp"), true, true, messages, &count), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(messages.texts(), (std::vector<std::string>{"3 presets imported."}));
    for (const char* name : {"Clean", "Lead", "Ambient"}) {
        const std::string key = std::string("presets\\") + name;
        EXPECT_EQ(to.values(key), from.values(key)) << name;
    }
}

TEST(PresetFile, FilesWithoutTheHeaderOrThatCannotBeOpenedAreRefused)
{
    TempDir dir;
    RegistryStore store(":memory:");
    RecordingMessages messages;
    writeText(dir.file("plain.ini"), "[Clean]\necho=1\n");
    EXPECT_EQ(importPresetFile(store, dir.file("plain.ini"), true, true, messages), 1);
    EXPECT_EQ(importPresetFile(store, dir.file("missing.fxp"), true, true, messages), 1);
    EXPECT_EQ(messages.texts(), (std::vector<std::string>{"'" + dir.file("plain.ini") + "' is NOT Stravik presets file!",
                                                          "Error opening file '" + dir.file("missing.fxp") + "' !"}));
    EXPECT_TRUE(store.subKeys("presets").empty());
    // Without the header check the same file is read.
    EXPECT_EQ(importPresetFile(store, dir.file("plain.ini"), false, false, messages), 0);
    EXPECT_EQ(store.subKeys("presets"), (std::vector<std::string>{"Clean"}));
}

// Anything but a regular file is refused before it is read: a FIFO would
// block the import for ever, /dev/zero would fill the memory. A huge file
// without the header costs one look at its first line.
TEST(PresetFile, OnlyRegularFilesAreReadAndOnlyPastAGoodFirstLine)
{
    TempDir dir;
    RegistryStore store(":memory:");
    RecordingMessages messages;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    for (const std::string& path : {dir.file("fifo"), std::string("/dev/zero"), dir.path()}) {
        EXPECT_EQ(importPresetFile(store, path, true, true, messages), 1);
        EXPECT_EQ(messages.texts().back(), "Error opening file '" + path + "' !");
    }
    const std::string huge = dir.file("huge.fxp");
    writeText(huge, "[Clean]\necho=1\n");
    std::filesystem::resize_file(huge, 64ull << 30); // sparse: 64 GiB of zeros after the text
    EXPECT_EQ(importPresetFile(store, huge, true, true, messages), 1);
    EXPECT_EQ(messages.texts().back(), "'" + huge + "' is NOT Stravik presets file!");
    EXPECT_TRUE(store.subKeys("presets").empty());
}

// The store refuses a write half-way through the file: nothing of the file is
// stored and no count of imported presets is claimed.
TEST(PresetFile, AnImportTheStoreRefusesHalfWayStoresNothing)
{
    TempDir dir;
    const std::string path = dir.file("registry.sqlite3");
    RecordingMessages messages;
    RegistryStore store(path, &messages);
    store.write("echo", "1", "presets\\Old");
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "CREATE TRIGGER refuse BEFORE INSERT ON registry_values WHEN NEW.name = 'poison' "
                                  "BEGIN SELECT RAISE(ABORT, 'disk full'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(other);
    writeText(dir.file("p.fxp"), ";**** Stravik presets file ****;\n[A]\necho=1\n[Old]\nchorus=1\n[C]\npoison=1\n[D]\necho=1\n");
    int count = -1;
    EXPECT_EQ(importPresetFile(store, dir.file("p.fxp"), true, true, messages, &count), 1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(store.subKeys("presets"), std::vector<std::string>{"Old"});
    EXPECT_EQ(store.values("presets\\Old"), (std::vector<std::pair<std::string, std::string>>{{"echo", "1"}}));
    for (const auto& text : messages.texts()) EXPECT_EQ(text.find("imported."), std::string::npos) << text;
}

TEST(PresetFile, ImportReplacesWholePresetsAndCutsValuesAtTheFirstBlank)
{
    TempDir dir;
    RegistryStore store(":memory:");
    store.write("chorus", "1", "presets\\Clean");
    store.write("chorus_delay", "0.02", "presets\\Clean");
    writeText(dir.file("p.fxp"), ";**** Stravik presets file ****;\n"
                                 "; a comment line\n"
                                 "[Clean]\n"
                                 "spkcab=1\n"
                                 "spk_ir_fname=/home/me/my cab.wav\n"
                                 "  spk_gain = 3\n"
                                 "no equals sign here\n"
                                 "=orphan\n"
                                 "empty=\n"
                                 "\n"
                                 "[Bad\\Name]\n"
                                 "echo=1\n"
                                 "[clean]\n"
                                 "echo=1\n");
    RecordingMessages messages;
    int count = 0;
    ASSERT_EQ(importPresetFile(store, dir.file("p.fxp"), true, true, messages, &count), 0);
    EXPECT_EQ(count, 1); // the bad name is skipped, the repeated section keeps its first entries
    ASSERT_EQ(messages.count(), 2u);
    EXPECT_EQ(messages.texts()[1], "These presets of '" + dir.file("p.fxp") +
                                       "' were not imported:\n  [Bad\\Name]: A preset name cannot contain \\, ] or "
                                       "control characters.");
    EXPECT_FALSE(store.read("chorus", "presets\\Clean").has_value()); // replaced whole
    EXPECT_EQ(*store.read("spk_ir_fname", "presets\\Clean"), "/home/me/my");
    EXPECT_EQ(*store.read("spk_gain", "presets\\Clean"), "3");
    EXPECT_FALSE(store.read("echo", "presets\\Clean").has_value());
    EXPECT_EQ(store.values("presets\\Clean").size(), 3u);
}

TEST(PresetFile, AFileWithNoSectionsImportsNothingQuietly)
{
    TempDir dir;
    writeText(dir.file("empty.fxp"), ";**** Stravik presets file ****;\r\n\r\n");
    RegistryStore store(":memory:");
    RecordingMessages messages;
    int count = -1;
    EXPECT_EQ(importPresetFile(store, dir.file("empty.fxp"), true, true, messages, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(messages.count(), 0u);
}

TEST(PresetFile, ReaderRulesOnTheirOwn)
{
    const auto s = parsePresetFile("junk before any section\n[A]\r\nk=v w\r\nlong=" + std::string(2000, 'x') +
                                   "\n[B] trailing\nq=1\n[A]\nk=second\n");
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].name, "A");
    EXPECT_EQ(s[0].entries[0].second, "v");
    EXPECT_EQ(s[0].entries[1].second.size(), 1023u);
    EXPECT_EQ(s[1].name, "B");
    EXPECT_EQ(s[0].entries.size(), 2u);
    EXPECT_TRUE(hasPresetFileHeader("x**** Stravik presets file\n"));
    EXPECT_FALSE(hasPresetFileHeader("\n;**** Stravik presets file ****;"));
    EXPECT_FALSE(hasPresetFileHeader(std::string(256, ' ') + "**** Stravik"));
}

TEST(PresetFile, ExportNeedsASelectionAndAWritablePlace)
{
    TempDir dir;
    RegistryStore store(":memory:");
    RecordingMessages messages;
    EXPECT_FALSE(exportPresetFile(store, dir.file("p.fxp"), {}, messages));
    EXPECT_FALSE(exportPresetFile(store, dir.file("no/such/dir/p.fxp"), {"A"}, messages));
    EXPECT_EQ(messages.texts(), (std::vector<std::string>{"No preset selected!", "Error opening file!"}));
}

TEST(PresetFile, DemonstrationPresetsComeInOnTheFirstStartOnly)
{
    TempDir dir;
    writeText(dir.file("demo.fxp"), ";**** Stravik presets file ****;\r\n[Demo]\r\necho=1\r\n\r\n");
    RegistryStore store(":memory:");
    RecordingMessages messages;
    EXPECT_FALSE(importDemoPresetsOnFirstStart(0, store, dir.path(), messages));
    EXPECT_TRUE(store.subKeys("presets").empty());
    EXPECT_TRUE(importDemoPresetsOnFirstStart(1, store, dir.path(), messages));
    EXPECT_EQ(store.subKeys("presets"), (std::vector<std::string>{"Demo"}));
    EXPECT_EQ(messages.count(), 0u); // quietly
    // The file installed with the program holds presets for every section.
    RegistryStore shipped(":memory:");
    ASSERT_TRUE(importDemoPresetsOnFirstStart(1, shipped, STRAVIK_BUILD_DIR, messages));
    const auto names = shipped.subKeys("presets");
    EXPECT_GE(names.size(), 12u);
    for (const char* section : {"distortion", "echo", "ioctrl", "pitch", "reverb", "wah", "chorus", "tremolo",
                                "IO_Volumes", "ewah", "compress", "phaser", "spkcab", "swell"}) {
        bool used = false;
        for (const auto& n : names) used = used || shipped.read(section, "presets\\" + n).has_value();
        EXPECT_TRUE(used) << section;
    }
}
