// The SQLite store: the accessors and their encodings and limits, key paths
// without regard to case, write order, transactions that survive a kill, and
// a damaged, foreign or busy store file.
#include "presets/RegistryStore.h"

#include "TestFiles.h"
#include "dsp/RecordingMessages.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace stravik;
using namespace testfiles;

TEST(RegistryStore, AccessorsEncodeAsTheStoreHasAlwaysDone)
{
    RegistryStore s(":memory:");
    ASSERT_TRUE(s.ok());
    s.WriteIntValue("stereo", 1, "cfg");
    s.WriteIntValue("neg", -42, "cfg");
    s.WriteFloatValue("a", 0.123456789f, "cfg");
    s.WriteFloatValue("b", 5500.0f, "cfg");
    s.WriteFloatValue("c", 0.00001f, "cfg");
    s.WriteFloatValue("d", 0.5f, "cfg");
    s.WriteStringValue("FileIn", "take one.wav", "cfg");
    EXPECT_EQ(*s.read("stereo", "cfg"), "1");
    EXPECT_EQ(*s.read("neg", "cfg"), "-42");
    EXPECT_EQ(*s.read("a", "cfg"), "0.123457");
    EXPECT_EQ(*s.read("b", "cfg"), "5500");
    EXPECT_EQ(*s.read("c", "cfg"), "1e-05");
    EXPECT_EQ(*s.read("d", "cfg"), "0.5");
    EXPECT_EQ(s.ReadIntValue("neg", 7, "cfg"), -42);
    EXPECT_FLOAT_EQ(s.ReadFloatValue("a", 7.0f, "cfg"), 0.123457f);
    std::string text;
    EXPECT_EQ(s.ReadStringValue("FileIn", text, 260, "x", "cfg"), 0);
    EXPECT_EQ(text, "take one.wav");
}

TEST(RegistryStore, MissingLongOrUnparsableValuesGiveTheDefaultSilently)
{
    RegistryStore s(":memory:");
    EXPECT_EQ(s.ReadIntValue("missing", 9, "cfg"), 9);
    s.write("word", "loud", "cfg");
    EXPECT_EQ(s.ReadIntValue("word", 9, "cfg"), 9);
    EXPECT_EQ(s.ReadFloatValue("word", 2.5f, "cfg"), 2.5f);
    s.write("nan", "nan", "cfg");
    EXPECT_EQ(s.ReadFloatValue("nan", 2.5f, "cfg"), 2.5f);
    s.write("lead", "  12abc", "cfg"); // leading blanks and trailing text, as a scanf would
    EXPECT_EQ(s.ReadIntValue("lead", 9, "cfg"), 12);
    s.write("long", "1" + std::string(38, '0'), "cfg"); // 39 characters: fits 40 bytes
    EXPECT_EQ(s.ReadFloatValue("long", 1.0f, "cfg"), 1e38f);
    s.write("toolong", std::string(40, '1'), "cfg"); // 40 characters: does not
    EXPECT_EQ(s.ReadIntValue("toolong", 3, "cfg"), 3);
    s.write("huge", "99999999999", "cfg");
    EXPECT_EQ(s.ReadIntValue("huge", 3, "cfg"), 3);
    std::string text;
    s.write("path", std::string(259, 'p'), "cfg");
    EXPECT_EQ(s.ReadStringValue("path", text, 260, "dflt", "cfg"), 0);
    s.write("path", std::string(260, 'p'), "cfg");
    EXPECT_EQ(s.ReadStringValue("path", text, 260, "dflt", "cfg"), 1);
    EXPECT_EQ(text, "dflt");
}

TEST(RegistryStore, PathsAndNamesIgnoreCaseAndValuesKeepTheirWriteOrder)
{
    RegistryStore s(":memory:");
    s.write("zeta", "1", "presets\\Clean");
    s.write("alpha", "2", "presets\\Clean");
    s.write("Zeta", "3", "PRESETS\\clean"); // the same value: updated in place
    EXPECT_EQ(*s.read("ZETA", "presets\\CLEAN"), "3");
    const auto v = s.values("presets\\Clean");
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].first, "zeta");
    EXPECT_EQ(v[0].second, "3");
    EXPECT_EQ(v[1].first, "alpha");
    s.write("x", "1", "presets\\clean2");
    s.write("x", "1", "presets\\Blues");
    s.write("x", "1", "presets\\apple\\deep");
    EXPECT_EQ(s.subKeys("presets"), (std::vector<std::string>{"apple", "Blues", "Clean", "clean2"}));
    ASSERT_TRUE(s.deleteKey("presets\\CLEAN"));
    EXPECT_FALSE(s.keyExists("presets\\Clean"));
    EXPECT_TRUE(s.keyExists("presets\\clean2")); // a common prefix is not a subkey
    ASSERT_TRUE(s.deleteKey("presets\\apple"));
    EXPECT_FALSE(s.keyExists("presets\\apple\\deep"));
}

TEST(RegistryStore, TransactionsCommitWholeOrNotAtAll)
{
    TempDir dir;
    const std::string path = dir.file("store.sqlite3");
    {
        RegistryStore s(path);
        s.write("v", "old", "presets\\A");
        {
            RegistryStore::Transaction tx(s);
            s.write("v", "new", "presets\\A");
            s.write("w", "new", "presets\\A");
            // no commit: rolled back
        }
        EXPECT_EQ(*s.read("v", "presets\\A"), "old");
        EXPECT_FALSE(s.read("w", "presets\\A"));
        RegistryStore::Transaction tx(s);
        s.write("v", "committed", "presets\\A");
        EXPECT_TRUE(tx.commit());
    }
    RegistryStore again(path);
    EXPECT_EQ(*again.read("v", "presets\\A"), "committed");
}

TEST(RegistryStore, AKillInTheMiddleOfAWriteLeavesTheOldStateWhole)
{
    TempDir dir;
    const std::string path = dir.file("store.sqlite3");
    {
        RegistryStore s(path);
        RegistryStore::Transaction tx(s);
        for (int i = 0; i < 20; ++i) s.write("k" + std::to_string(i), "old", "presets\\Lead");
        ASSERT_TRUE(tx.commit());
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        RegistryStore s(path);
        int written = 0;
        s.setWriteObserver([&](const std::string&, const std::string&) {
            if (++written == 7) raise(SIGKILL); // half-way through the new preset
        });
        RegistryStore::Transaction tx(s);
        s.deleteKey("presets\\Lead");
        for (int i = 0; i < 20; ++i) s.write("k" + std::to_string(i), "new", "presets\\Lead");
        tx.commit();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    RegistryStore s(path);
    const auto v = s.values("presets\\Lead");
    ASSERT_EQ(v.size(), 20u);
    for (const auto& [k, value] : v) EXPECT_EQ(value, "old") << k;
}

TEST(RegistryStore, AFileThatIsNotAStoreIsKeptAsideAndAFreshOneStarted)
{
    TempDir dir;
    const std::string path = dir.file("registry.sqlite3");
    writeFile(path, std::vector<uint8_t>(5000, 'x'));
    RecordingMessages messages;
    RegistryStore s(path, &messages);
    ASSERT_TRUE(s.ok());
    ASSERT_EQ(messages.count(), 1u);
    EXPECT_NE(messages.texts()[0].find("could not be read"), std::string::npos);
    s.WriteIntValue("stereo", 0, "cfg");
    EXPECT_EQ(s.ReadIntValue("stereo", 1, "cfg"), 0);
    // The unreadable file is still there, under another name, untouched.
    int kept = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        if (e.path().filename().string().find(".damaged-") == std::string::npos) continue;
        ++kept;
        EXPECT_EQ(readFile(e.path().string()), std::vector<uint8_t>(5000, 'x'));
    }
    EXPECT_EQ(kept, 1);
}

// Nothing here may be moved aside or emptied: the file is a healthy database.
TEST(RegistryStore, AnotherProgramsDatabaseIsLeftAloneAndNotOpened)
{
    TempDir dir;
    const std::string path = dir.file("registry.sqlite3");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE photos(id INTEGER); INSERT INTO photos VALUES (1);", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    const auto before = readFile(path);
    RecordingMessages messages;
    RegistryStore s(path, &messages);
    EXPECT_FALSE(s.ok());
    EXPECT_FALSE(s.write("v", "1", "cfg"));
    ASSERT_GE(messages.count(), 1u);
    EXPECT_NE(messages.texts()[0].find("another program"), std::string::npos);
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// Committed transactions that still live in the -wal file survive a store
// that another program holds locked while we open it.
TEST(RegistryStore, AStoreLockedByAnotherProgramIsNeitherMovedNorEmptied)
{
    TempDir dir;
    const std::string path = dir.file("registry.sqlite3");
    { RegistryStore s(path); }
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    sqlite3_exec(other, "PRAGMA wal_autocheckpoint = 0", nullptr, nullptr, nullptr);
    ASSERT_EQ(sqlite3_exec(other, "INSERT INTO registry_values (path, name, value) VALUES ('presets\\Lead', 'echo', '1')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    ASSERT_GT(std::filesystem::file_size(path + "-wal"), 0u); // the preset is only in the -wal file
    ASSERT_EQ(sqlite3_exec(other, "PRAGMA locking_mode = EXCLUSIVE; BEGIN EXCLUSIVE; "
                                  "UPDATE registry_values SET value = '1'",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    RecordingMessages messages;
    {
        RegistryStore blocked(path, &messages); // waits for the lock, then gives up
        EXPECT_FALSE(blocked.ok());
    }
    ASSERT_EQ(messages.count(), 1u);
    EXPECT_NE(messages.texts()[0].find("another program is using it"), std::string::npos);
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1); // no file kept aside
    RegistryStore s(path);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(s.read("echo", "presets\\Lead"), "1");
}

// A write refused half-way (here by a trigger, as a full disk or an I/O error
// would) leaves nothing of the transaction behind, and nothing after it runs.
TEST(RegistryStore, AFailedWriteFailsItsWholeTransaction)
{
    TempDir dir;
    const std::string path = dir.file("registry.sqlite3");
    RecordingMessages messages;
    RegistryStore s(path, &messages);
    s.write("v", "old", "presets\\A");
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "CREATE TRIGGER refuse BEFORE INSERT ON registry_values WHEN NEW.name = 'poison' "
                                  "BEGIN SELECT RAISE(ABORT, 'disk full'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(other);
    {
        RegistryStore::Transaction tx(s);
        EXPECT_TRUE(s.write("v", "new", "presets\\A"));
        EXPECT_FALSE(s.write("poison", "1", "presets\\A"));
        EXPECT_FALSE(s.write("after", "1", "presets\\A"));
        EXPECT_FALSE(s.deleteKey("presets\\A"));
        EXPECT_FALSE(tx.commit());
    }
    EXPECT_EQ(s.values("presets\\A"), (std::vector<std::pair<std::string, std::string>>{{"v", "old"}}));
    ASSERT_EQ(messages.count(), 1u);
    EXPECT_NE(messages.texts()[0].find("disk full"), std::string::npos);
}

TEST(RegistryStore, OpeningForReadingNeverCreatesOrChangesAStore)
{
    TempDir dir;
    const std::string path = dir.file("sub/registry.sqlite3");
    {
        RegistryStore reader(path, nullptr, RegistryStore::Access::ReadOnly);
        ASSERT_TRUE(reader.ok());
        EXPECT_TRUE(reader.readOnly());
        EXPECT_TRUE(reader.subKeys("presets").empty());
        EXPECT_FALSE(reader.write("v", "1", "cfg"));
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("sub")));
    { RegistryStore(path).write("v", "1", "presets\\A"); }
    RegistryStore reader(path, nullptr, RegistryStore::Access::ReadOnly);
    EXPECT_EQ(reader.subKeys("presets"), std::vector<std::string>{"A"});
    EXPECT_FALSE(reader.deleteKey("presets\\A"));
    EXPECT_TRUE(reader.keyExists("presets\\A"));
}

TEST(RegistryStore, ADamagedStoreIsKeptAside)
{
    TempDir dir;
    const std::string path = dir.file("registry.sqlite3");
    {
        RegistryStore s(path);
        RegistryStore::Transaction tx(s);
        for (int i = 0; i < 2000; ++i) s.write("key" + std::to_string(i), std::string(100, 'v'), "presets\\P");
        ASSERT_TRUE(tx.commit());
    }
    // Scribble over the middle of the file (the pages of the table).
    auto bytes = readFile(path);
    ASSERT_GT(bytes.size(), 40000u);
    for (size_t i = 8192; i < 40000; ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    writeFile(path, bytes);
    std::filesystem::remove(path + "-wal");
    writeFile(path + "-wal", {1, 2, 3}); // whatever journal it has goes along with it
    RecordingMessages messages;
    RegistryStore s(path, &messages);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(messages.count(), 1u);
    EXPECT_FALSE(s.read("key1", "presets\\P").has_value()); // a fresh store
    bool walKept = false;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        if (e.path().string().ends_with("-wal") && e.path().string().find(".damaged-") != std::string::npos)
            walKept = readFile(e.path().string()) == std::vector<uint8_t>{1, 2, 3};
    EXPECT_TRUE(walKept);
}

TEST(RegistryStore, ABusyStoreRefusesTheWholeTransactionWithAMessage)
{
    TempDir dir;
    const std::string path = dir.file("registry.sqlite3");
    RecordingMessages messages;
    RegistryStore s(path, &messages);
    s.write("v", "old", "presets\\A");
    s.setBusyTimeout(50);
    // Another program holds the write lock.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    {
        RegistryStore::Transaction tx(s);
        EXPECT_FALSE(s.write("v", "new", "presets\\A"));
        EXPECT_FALSE(s.write("w", "new", "presets\\A"));
        EXPECT_FALSE(tx.commit());
    }
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(messages.count(), 1u); // one message for the whole refused write
    EXPECT_EQ(*s.read("v", "presets\\A"), "old");
    EXPECT_FALSE(s.read("w", "presets\\A"));
    EXPECT_TRUE(s.write("v", "later", "presets\\A")); // free again
}

TEST(RegistryStore, DefaultPathFollowsXdgConfigHome)
{
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    setenv("XDG_CONFIG_HOME", "/tmp/somewhere", 1);
    EXPECT_EQ(RegistryStore::defaultPath(), "/tmp/somewhere/stravik/registry.sqlite3");
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", "/home/player", 1);
    EXPECT_EQ(RegistryStore::defaultPath(), "/home/player/.config/stravik/registry.sqlite3");
    if (old) setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}
