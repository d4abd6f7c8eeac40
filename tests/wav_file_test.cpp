// WAV writer and reader: the header as written and completed, the chunk walk,
// the two error numbers, and malformed files that must be refused cleanly.
#include "engine/WavFile.h"

#include "TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sys/stat.h>

using namespace stravik;
using namespace testfiles;

TEST(WavWriter, WritesTheHeaderAndCompletesItsSizesAtClose)
{
    TempDir dir;
    const std::string path = dir.file("out.wav");
    WavWriter w;
    ASSERT_TRUE(w.create(path, WavFormat::pcm16(2, 44100), 64 * 1024));
    const int16_t s[6] = {1, -1, 32767, -32768, 256, -256};
    w.append(s, 6);
    w.append(s, 2);
    EXPECT_EQ(w.dataBytes(), 16u);
    ASSERT_TRUE(w.close());
    const auto b = readFile(path);
    ASSERT_EQ(b.size(), 44u + 16u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
    EXPECT_EQ(get32(b, 4), 16u + 36u);
    EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(get32(b, 16), 16u);
    EXPECT_EQ(get16(b, 20), 1);     // PCM
    EXPECT_EQ(get16(b, 22), 2);     // channels
    EXPECT_EQ(get32(b, 24), 44100u);
    EXPECT_EQ(get32(b, 28), 44100u * 4);
    EXPECT_EQ(get16(b, 32), 4);
    EXPECT_EQ(get16(b, 34), 16);
    EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "data");
    EXPECT_EQ(get32(b, 40), 16u);
    EXPECT_EQ(readSamples(path), (std::vector<int16_t>{1, -1, 32767, -32768, 256, -256, 1, -1}));
}

TEST(WavWriter, AnUnfinishedFileSaysItsSizesAreUnknown)
{
    TempDir dir;
    const std::string path = dir.file("open.wav");
    {
        WavWriter w;
        ASSERT_TRUE(w.create(path, WavFormat::pcm16(1, 48000)));
        const int16_t s[2] = {5, 6};
        w.append(s, 2);
        // Look at the file while it is still being written.
        std::FILE* peek = std::fopen(path.c_str(), "rb");
        ASSERT_NE(peek, nullptr);
        std::fclose(peek);
    }
    // A reader still finds the samples of a file whose sizes were never
    // written (it trusts the file's length over the header).
    const auto bytes = readFile(path);
    auto unfinished = bytes;
    for (int i = 0; i < 4; ++i) unfinished[4 + i] = unfinished[40 + i] = 0xFF;
    writeFile(dir.file("unfinished.wav"), unfinished);
    WavReader r;
    ASSERT_EQ(r.open(dir.file("unfinished.wav")), kWavOk);
    EXPECT_EQ(r.frames(), 2);
}

TEST(WavWriter, StopsAtTheSizeLimitWithCorrectSizes)
{
    TempDir dir;
    const std::string path = dir.file("full.wav");
    WavWriter w;
    w.limitDataBytes(1002); // stereo frames are 4 bytes: 1000 fit
    ASSERT_TRUE(w.create(path, WavFormat::pcm16(2, 48000)));
    std::vector<int16_t> s(300, 7);
    w.append(s.data(), s.size());
    EXPECT_FALSE(w.reachedLimit());
    w.append(s.data(), s.size());
    EXPECT_TRUE(w.reachedLimit());
    EXPECT_EQ(w.dataBytes(), 1000u);
    w.append(s.data(), s.size()); // nothing more goes in
    ASSERT_TRUE(w.close());
    const auto b = readFile(path);
    ASSERT_EQ(b.size(), 44u + 1000u);
    EXPECT_EQ(get32(b, 4), 1000u + 36u);
    EXPECT_EQ(get32(b, 40), 1000u);
}

TEST(WavWriter, TheRealLimitKeepsTheRiffSizeBelowFourGigabytes)
{
    // Written to /dev/null: the count is real, the disk is spared.
    std::FILE* sink = std::fopen("/dev/null", "wb");
    ASSERT_NE(sink, nullptr);
    WavWriter w;
    ASSERT_TRUE(w.start(sink, WavFormat::pcm16(2, 48000), 0, true));
    const std::vector<int16_t> block(1 << 20, 1); // 2 MiB
    int appends = 0;
    while (!w.reachedLimit() && appends < 3000) {
        w.append(block.data(), block.size());
        ++appends;
    }
    ASSERT_TRUE(w.reachedLimit());
    EXPECT_EQ(appends, 2048); // 4 GiB offered
    // The largest whole number of stereo frames whose RIFF size (data + 36)
    // is still below the all-ones "unknown".
    EXPECT_EQ(w.dataBytes(), 4294967256u);
    EXPECT_TRUE(w.close());
}

TEST(WavWriter, CannotCreateInAMissingOrUnwritablePlace)
{
    TempDir dir;
    WavWriter w;
    EXPECT_FALSE(w.create(dir.file("no/such/dir/out.wav"), WavFormat::pcm16(1, 48000)));
    EXPECT_FALSE(w.create(dir.path(), WavFormat::pcm16(1, 48000))); // a directory
    EXPECT_FALSE(w.isOpen());
}

TEST(WavReader, RoundTripAndDescription)
{
    TempDir dir;
    writeWav(dir.file("a.wav"), {10, 20, 30, 40, 50, 60}, 22050, 2);
    WavReader r;
    ASSERT_EQ(r.open(dir.file("a.wav"), 65536), kWavOk);
    EXPECT_EQ(r.format().formatTag, 1);
    EXPECT_EQ(r.format().channels, 2);
    EXPECT_EQ(r.format().sampleRate, 22050u);
    EXPECT_EQ(r.format().blockAlign, 4);
    EXPECT_EQ(r.format().bitsPerSample, 16);
    EXPECT_EQ(r.frames(), 3);
    EXPECT_EQ(r.dataOffset(), 44);
    int16_t s[6] = {};
    EXPECT_EQ(r.read(s, 12), 12u);
    EXPECT_EQ(s[5], 60);
    EXPECT_EQ(r.read(s, 12), 0u); // end of data
    ASSERT_TRUE(r.seek(8));
    EXPECT_EQ(r.read(s, 4), 4u);
    EXPECT_EQ(s[0], 50);
}

TEST(WavReader, WalksOverExtraChunksAndCountsPositionsFromTheData)
{
    TempDir dir;
    WavRecipe layout;
    layout.extraChunks.push_back({"LIST", std::vector<uint8_t>(27, 'x')}); // odd: padded
    layout.extraChunks.push_back({"cue ", std::vector<uint8_t>(12, 0)});
    writeFile(dir.file("chunks.wav"), wavBytes(layout, pcm16Bytes({7, 8, 9, 10})));
    WavReader r;
    ASSERT_EQ(r.open(dir.file("chunks.wav")), kWavOk);
    EXPECT_EQ(r.dataOffset(), 44 + 8 + 28 + 8 + 12);
    EXPECT_EQ(r.frames(), 4);
    int16_t s[4];
    EXPECT_EQ(r.read(s, 8), 8u);
    EXPECT_EQ(s[0], 7);
    // Rewinding goes to the first sample, never into the header.
    ASSERT_TRUE(r.seek(0));
    EXPECT_EQ(r.read(s, 2), 2u);
    EXPECT_EQ(s[0], 7);
    ASSERT_TRUE(r.seek(6));
    EXPECT_EQ(r.read(s, 2), 2u);
    EXPECT_EQ(s[0], 10);
}

TEST(WavReader, TakesTheFormatFromALaterFormatChunk)
{
    // "JUNK" first (as some recorders write), then "fmt ", then "data".
    std::vector<uint8_t> b;
    putId(b, "RIFF");
    put32(b, 0);
    putId(b, "WAVE");
    putId(b, "JUNK");
    put32(b, 28);
    b.insert(b.end(), 28, 0);
    putId(b, "fmt ");
    put32(b, 16);
    put16(b, 1);
    put16(b, 1);
    put32(b, 44100);
    put32(b, 88200);
    put16(b, 2);
    put16(b, 16);
    putId(b, "data");
    put32(b, 4);
    put16(b, 123);
    put16(b, 456);
    TempDir dir;
    writeFile(dir.file("junk.wav"), b);
    WavReader r;
    ASSERT_EQ(r.open(dir.file("junk.wav")), kWavOk);
    EXPECT_EQ(r.format().sampleRate, 44100u);
    EXPECT_EQ(r.format().blockAlign, 2);
    EXPECT_EQ(r.frames(), 2);
}

TEST(WavReader, ErrorNumbers)
{
    TempDir dir;
    WavReader r;
    EXPECT_EQ(r.open(dir.file("missing.wav")), kWavNotFound);

    WavRecipe layout;
    writeFile(dir.file("empty-data.wav"), wavBytes(layout, {}));
    EXPECT_EQ(r.open(dir.file("empty-data.wav")), kWavBadFormat);

    writeFile(dir.file("short.wav"), std::vector<uint8_t>{'R', 'I', 'F', 'F', 1, 2, 3});
    EXPECT_EQ(r.open(dir.file("short.wav")), kWavBadFormat);

    layout.blockAlign = 0;
    writeFile(dir.file("align0.wav"), wavBytes(layout, pcm16Bytes({1, 2})));
    EXPECT_EQ(r.open(dir.file("align0.wav")), kWavBadFormat);

    // A chunk claiming to reach far beyond the file: no data chunk is found.
    WavRecipe absurd;
    absurd.extraChunks.push_back({"LIST", std::vector<uint8_t>(4, 0)});
    auto bytes = wavBytes(absurd, pcm16Bytes({1, 2, 3}));
    bytes[40] = 0xF0; bytes[41] = 0xFF; bytes[42] = 0xFF; bytes[43] = 0x7F; // LIST size
    writeFile(dir.file("absurd.wav"), bytes);
    EXPECT_EQ(r.open(dir.file("absurd.wav")), kWavBadFormat);

    // No data chunk at all.
    auto noData = wavBytes(WavRecipe{}, pcm16Bytes({1}));
    noData[36] = 'x';
    writeFile(dir.file("nodata.wav"), noData);
    EXPECT_EQ(r.open(dir.file("nodata.wav")), kWavBadFormat);
    EXPECT_FALSE(r.isOpen());
}

TEST(WavReader, OnlyRegularFilesAreOpened)
{
    // A FIFO is refused at once instead of waiting for a writer; devices
    // that never end and folders are refused too. All count as files that
    // cannot be opened.
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo.wav").c_str(), 0600), 0);
    WavReader r;
    std::string why;
    EXPECT_EQ(r.open(dir.file("fifo.wav"), 0, &why), kWavNotFound);
    EXPECT_EQ(why, "not a regular file");
    EXPECT_EQ(r.open("/dev/zero", 0, &why), kWavNotFound);
    EXPECT_EQ(why, "not a regular file");
    EXPECT_EQ(r.open(dir.path(), 0, &why), kWavNotFound);
    EXPECT_EQ(why, "is a folder");
    EXPECT_FALSE(r.isOpen());
    // A symbolic link to a WAV file is that file.
    writeWav(dir.file("a.wav"), {1, 2, 3});
    std::filesystem::create_symlink(dir.file("a.wav"), dir.file("link.wav"));
    ASSERT_EQ(r.open(dir.file("link.wav")), kWavOk);
    EXPECT_EQ(r.frames(), 3);
}

TEST(WavReader, TheChunkWalkGoesOnToTheEndOfTheFile)
{
    // Twenty thousand empty chunks before the data: far more than any writer
    // puts there, but the data is still found.
    WavRecipe many;
    for (int i = 0; i < 20000; ++i) many.extraChunks.push_back({"JUNK", {}});
    TempDir dir;
    writeFile(dir.file("many.wav"), wavBytes(many, pcm16Bytes({4, 5})));
    WavReader r;
    ASSERT_EQ(r.open(dir.file("many.wav")), kWavOk);
    EXPECT_EQ(r.frames(), 2);
    EXPECT_EQ(r.dataOffset(), 44 + 20000 * 8);
    // Without a data chunk the walk ends at the end of the file.
    auto noData = wavBytes(many, pcm16Bytes({4, 5}));
    noData[36 + 20000 * 8] = 'x';
    writeFile(dir.file("nodata.wav"), noData);
    EXPECT_EQ(r.open(dir.file("nodata.wav")), kWavBadFormat);
}

TEST(WavReader, DataSizeBeyondTheFileIsCutToTheFile)
{
    TempDir dir;
    WavRecipe layout;
    layout.dataSizeOverride = 1000000;
    writeFile(dir.file("long.wav"), wavBytes(layout, pcm16Bytes({1, 2, 3})));
    WavReader r;
    ASSERT_EQ(r.open(dir.file("long.wav")), kWavOk);
    EXPECT_EQ(r.frames(), 3);
    int16_t s[8];
    EXPECT_EQ(r.read(s, 16), 6u);
}

TEST(WavReader, DamagedHeadersNeverCrashTheReader)
{
    // Random damage to a valid file: every open either succeeds with a
    // consistent description or fails with the bad-format number.
    TempDir dir;
    WavRecipe layout;
    layout.extraChunks.push_back({"LIST", std::vector<uint8_t>(9, 'a')});
    const auto good = wavBytes(layout, pcm16Bytes(std::vector<int16_t>(300, 1000)));
    std::mt19937 rng(5);
    const std::string path = dir.file("damaged.wav");
    for (int round = 0; round < 500; ++round) {
        auto bytes = good;
        const int hits = 1 + static_cast<int>(rng() % 6);
        for (int h = 0; h < hits; ++h) bytes[rng() % 80] = static_cast<uint8_t>(rng());
        if (rng() % 4 == 0) bytes.resize(rng() % bytes.size());
        writeFile(path, bytes);
        WavReader r;
        const WavError e = r.open(path);
        ASSERT_TRUE(e == kWavOk || e == kWavBadFormat) << round;
        if (e != kWavOk) continue;
        ASSERT_GT(r.format().blockAlign, 0);
        ASSERT_GT(r.frames(), 0);
        ASSERT_LE(r.dataOffset() + r.frames() * r.format().blockAlign, static_cast<int64_t>(bytes.size()));
        std::vector<uint8_t> buf(4096);
        size_t total = 0, got;
        while ((got = r.read(buf.data(), buf.size())) > 0) total += got;
        ASSERT_EQ(static_cast<int64_t>(total), r.frames() * r.format().blockAlign);
    }
}
