// The tuner: notes and names, the string setups, the root frequency rules,
// the octave correction, the meter and the lamp, the analysis fed from a
// capture thread, and `korvex tune` end to end.
// test-label: threads
#include "tools/Tuner.h"

#include "RunKorvex.h"
#include "SoundFiles.h"
#include "TestFiles.h"
#include "dsp/RecordingMessages.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

using namespace stravik;
using namespace stravik::tools;
using namespace testfiles;

namespace {

constexpr double kPiExact = 3.141592653589793;

std::vector<int16_t> harmonicTone(double f, std::vector<std::pair<int, double>> partials, size_t n = 32768)
{
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        double x = 0.0;
        for (const auto& [k, a] : partials) x += a * std::sin(2.0 * kPiExact * f * k * static_cast<double>(i) / 44100.0);
        v[i] = static_cast<int16_t>(std::lround(x));
    }
    return v;
}

std::vector<int16_t> tone(double f, size_t n = 32768) { return harmonicTone(f, {{1, 10000.0}}, n); }

std::string fixed2(double v)
{
    char t[32];
    std::snprintf(t, sizeof(t), "%.2f", v);
    return t;
}

using CommandResult = KorvexRun;

CommandResult korvex(const std::string& args, const std::string& dir) { return runKorvex(args, dir); }

std::vector<std::vector<std::string>> dataLines(const std::string& out)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::vector<std::string> row;
        std::string w;
        while (words >> w) row.push_back(w);
        rows.push_back(row);
    }
    return rows;
}

} // namespace

TEST(TunerNotes, NamesRunFromA1WithTheOctaveChangingAtA)
{
    EXPECT_EQ(noteName(0), "A1");
    EXPECT_EQ(noteName(1), "A#1");
    EXPECT_EQ(noteName(3), "C1");
    EXPECT_EQ(noteName(11), "G#1");
    EXPECT_EQ(noteName(12), "A2");
    EXPECT_EQ(noteName(19), "E2");
    EXPECT_EQ(noteName(43), "E4");
    EXPECT_EQ(noteName(48), "A5");
    EXPECT_EQ(noteName(67), "E6");
    EXPECT_EQ(noteName(-1), "N/A");
    EXPECT_EQ(noteName(68), "N/A");
    EXPECT_EQ(noteName(-13), "N/A"); // never a negative index into the names
}

TEST(TunerNotes, NamesAndNumbersReadBack)
{
    for (int n = 0; n < kNoteCount; ++n) {
        EXPECT_EQ(noteFromText(noteName(n)), n) << n;
        EXPECT_EQ(noteFromText(std::to_string(n)), n) << n;
    }
    EXPECT_EQ(noteFromText("e4"), 43);
    EXPECT_EQ(noteFromText(" a#2 "), 13);
    EXPECT_EQ(noteFromText("N/A"), kUnusedString);
    EXPECT_EQ(noteFromText("n/a"), kUnusedString);
    EXPECT_EQ(noteFromText("-"), kUnusedString);
    for (const char* bad : {"", "H2", "E0", "A#", "E#4", "F7", "68", "4x", "A5x", "-1", "1000"})
        EXPECT_FALSE(noteFromText(bad).has_value()) << bad;
}

TEST(TunerNotes, TheStandardSetupAtRoot440)
{
    const StringNotes notes = builtInNotes(kStandardSetup);
    const char* expected[6] = {"329.63", "246.94", "196.00", "146.83", "110.00", "82.41"};
    for (int i = 0; i < kTunerStrings; ++i) EXPECT_EQ(fixed2(noteFrequency(notes[i], 440.0)), expected[i]) << i;
    EXPECT_DOUBLE_EQ(noteFrequency(48, 440.0), 440.0);
    EXPECT_DOUBLE_EQ(noteFrequency(36, 440.0), 220.0);
    EXPECT_DOUBLE_EQ(noteFrequency(48, 432.0), 432.0);
    EXPECT_EQ(noteFrequency(kUnusedString, 440.0), 0.0);
    EXPECT_EQ(frequencyText(82.40689), "82.41 Hz");
    EXPECT_EQ(frequencyText(1.5), " 1.50 Hz");
}

TEST(TunerNotes, SetupsNamesAndLabels)
{
    EXPECT_STREQ(setupName(kStandardSetup), "Default (standard guitar)");
    EXPECT_STREQ(setupName(kBassSetup), "Bass guitar");
    EXPECT_STREQ(setupName(kCustomSetup), "Custom setting");
    EXPECT_EQ(builtInNotes(kBassSetup), (StringNotes{22, 17, 12, 7, -1, -1}));
    EXPECT_EQ(builtInNotes(kStandardSetup), (StringNotes{43, 38, 34, 29, 24, 19}));
    EXPECT_EQ(stringLabel(0, 43), "1st - E4");
    EXPECT_EQ(stringLabel(5, 19), "6th - E2");
    EXPECT_EQ(stringLabel(4, kUnusedString), "5th - N/A");
}

TEST(TunerCorrection, HarmonicsComeDownToTheString)
{
    const double t = 110.0;
    EXPECT_DOUBLE_EQ(correctOctave(111.0, t), 111.0);
    EXPECT_DOUBLE_EQ(correctOctave(220.0, t), 110.0);
    EXPECT_DOUBLE_EQ(correctOctave(330.0, t), 110.0);
    EXPECT_DOUBLE_EQ(correctOctave(440.0, t), 110.0);
    EXPECT_DOUBLE_EQ(correctOctave(222.0, t), 111.0);
    EXPECT_EQ(correctOctave(550.0, t), 0.0);   // even f/5 is nearer: no reading
    EXPECT_EQ(correctOctave(2000.0, t), 0.0);
    EXPECT_EQ(correctOctave(0.0, t), 0.0);
    // A reading below the string stays as it is.
    EXPECT_DOUBLE_EQ(correctOctave(60.0, t), 60.0);
    // f/2 exactly as far away as f: no correction.
    EXPECT_DOUBLE_EQ(correctOctave(146.0, 109.5), 146.0);
}

TEST(TunerCorrection, TheMeterAndTheLamp)
{
    const double t = 110.0;
    const double sharp30 = t * std::pow(2.0, 0.3 / 12.0);
    EXPECT_NEAR(meterDeviation(sharp30, t), 0.3, 1e-12);
    EXPECT_FALSE(inTune(sharp30, t));
    EXPECT_NEAR(meterDeviation(t * std::pow(2.0, -0.5 / 12.0), t), -0.5, 1e-12);
    EXPECT_EQ(meterDeviation(t * 2.0, t), 1.0);    // limited
    EXPECT_EQ(meterDeviation(t * 0.5, t), -1.0);   // limited (55 Hz is above the 50 Hz floor)
    EXPECT_EQ(meterDeviation(50.0, t), 0.0);       // 50 Hz or less centres the needle
    EXPECT_EQ(meterDeviation(0.0, t), 0.0);
    EXPECT_LT(meterDeviation(50.01, t), -0.99);
    EXPECT_TRUE(inTune(t, t));
    EXPECT_TRUE(inTune(t * std::pow(2.0, 0.049 / 12.0), t));
    EXPECT_FALSE(inTune(t * std::pow(2.0, 0.051 / 12.0), t));
    EXPECT_TRUE(inTune(t * std::pow(2.0, -0.049 / 12.0), t));
    EXPECT_FALSE(inTune(0.0, t));
    EXPECT_FALSE(inTune(t, 0.0));
    EXPECT_EQ(meterDeviation(t, 0.0), 0.0);
}

TEST(Tuner, StartsWithTheStoredNotesAndTheFirstString)
{
    Settings settings;
    Tuner tuner(settings);
    EXPECT_EQ(tuner.selectedString(), 0);
    EXPECT_EQ(fixed2(tuner.correctFrequency()), "329.63");
    EXPECT_EQ(tuner.root(), 440.0);
    EXPECT_EQ(tuner.rootText(), "440");
    EXPECT_EQ(tuner.stringButtonLabel(1), "2nd - B4");
    ASSERT_TRUE(tuner.selectString(4));
    EXPECT_EQ(fixed2(tuner.correctFrequency()), "110.00");
    EXPECT_FALSE(tuner.selectString(6));
    EXPECT_FALSE(tuner.selectString(-1));
    EXPECT_EQ(tuner.selectedString(), 4);
}

TEST(Tuner, StoredValuesThatAreNoNotesCountAsUnusedStrings)
{
    Settings settings;
    settings.tuner_s[0] = -7;
    settings.tuner_s[1] = 500;
    Tuner tuner(settings);
    EXPECT_FALSE(tuner.stringUsed(0));
    EXPECT_FALSE(tuner.stringUsed(1));
    EXPECT_EQ(tuner.stringButtonLabel(1), "2nd - N/A");
    EXPECT_EQ(tuner.selectedString(), 2); // the first used string
    EXPECT_FALSE(tuner.selectString(0));
}

TEST(Tuner, RootFrequencyRules)
{
    Settings settings;
    Tuner tuner(settings);
    ASSERT_TRUE(tuner.selectString(4)); // A, two octaves below the root
    tuner.typeRoot("432");
    EXPECT_DOUBLE_EQ(tuner.correctFrequency(), 108.0);
    tuner.leaveRootField();
    EXPECT_EQ(tuner.root(), 432.0);
    tuner.typeRoot("441.5");
    EXPECT_EQ(tuner.rootText(), "441.5");
    tuner.typeRoot("20"); // typing recomputes at once...
    EXPECT_DOUBLE_EQ(tuner.correctFrequency(), 5.0);
    tuner.leaveRootField(); // ...leaving with less than 50 goes back to 440
    EXPECT_EQ(tuner.root(), 440.0);
    EXPECT_DOUBLE_EQ(tuner.correctFrequency(), 110.0);
    tuner.typeRoot("50");
    tuner.leaveRootField();
    EXPECT_EQ(tuner.root(), 50.0);
    tuner.typeRoot("abc");
    EXPECT_EQ(tuner.root(), 0.0);
    tuner.leaveRootField();
    EXPECT_EQ(tuner.root(), 440.0);
    tuner.typeRoot("1e999");
    tuner.leaveRootField();
    EXPECT_EQ(tuner.root(), 440.0);
    tuner.typeRoot("300");
    tuner.setDefaultRoot();
    EXPECT_EQ(tuner.root(), 440.0);
    EXPECT_DOUBLE_EQ(tuner.correctFrequency(), 110.0);
}

TEST(Tuner, TheSetupDialogsOk)
{
    Settings settings;
    RecordingMessages messages;
    Tuner tuner(settings);
    ASSERT_TRUE(tuner.selectString(5));

    // Custom with every string on N/A: refused, nothing stored.
    const StringNotes none = {-1, -1, -1, -1, -1, -1};
    EXPECT_FALSE(tuner.applySetup(kCustomSetup, none, 3, messages));
    EXPECT_EQ(messages.texts(), std::vector<std::string>{"Please enable at least one string."});
    EXPECT_EQ(settings.TunerMode.get(), 0);
    EXPECT_EQ(settings.TunerWavein.get(), 0);
    EXPECT_EQ(settings.tuner_s[5].get(), 19);

    // Bass: the 6th string is gone, the selection moves to the first string.
    const StringNotes lists = {40, 35, 31, 26, 21, -1};
    ASSERT_TRUE(tuner.applySetup(kBassSetup, lists, 2, messages));
    EXPECT_EQ(settings.TunerMode.get(), kBassSetup);
    EXPECT_EQ(settings.TunerWavein.get(), 2);
    for (int i = 0; i < kTunerStrings; ++i) {
        EXPECT_EQ(settings.tuner_s[i].get(), builtInNotes(kBassSetup)[i]) << i;
        EXPECT_EQ(settings.tuner_us[i].get(), lists[i]) << i; // the lists are the custom notes
    }
    EXPECT_EQ(tuner.selectedString(), 0);
    EXPECT_EQ(tuner.stringButtonLabel(4), "5th - N/A");
    EXPECT_EQ(fixed2(tuner.correctFrequency()), "98.00"); // G2 at 440

    // Custom: the lists become current.
    ASSERT_TRUE(tuner.selectString(3));
    ASSERT_TRUE(tuner.applySetup(kCustomSetup, lists, 2, messages));
    for (int i = 0; i < kTunerStrings; ++i) EXPECT_EQ(settings.tuner_s[i].get(), lists[i]) << i;
    EXPECT_EQ(tuner.selectedString(), 3); // still used: kept
    EXPECT_EQ(tuner.stringNote(3), 26);
    EXPECT_DOUBLE_EQ(tuner.correctFrequency(), noteFrequency(26, 440.0));

    // Values outside the lists are stored as N/A.
    const StringNotes odd = {43, 99, -5, 29, 24, 19};
    ASSERT_TRUE(tuner.applySetup(kCustomSetup, odd, 0, messages));
    EXPECT_EQ(settings.tuner_us[1].get(), kUnusedString);
    EXPECT_EQ(settings.tuner_s[2].get(), kUnusedString);
    EXPECT_EQ(messages.count(), 1u);
}

TEST(Tuner, APure110HzToneIsInTuneOnTheFifthString)
{
    Settings settings;
    RecordingMessages messages;
    Tuner tuner(settings);
    ASSERT_TRUE(tuner.openAnalysis(messages));
    ASSERT_TRUE(tuner.selectString(4));
    tuner.clearInTune();
    const auto v = tone(110.0);
    tuner.analyseBuffer(v.data(), v.size());
    const TunerReading r = tuner.takeReading();
    EXPECT_NEAR(r.recorded, 110.0, 0.05);
    EXPECT_EQ(r.corrected, r.recorded); // nothing to correct
    EXPECT_NEAR(r.deviation, 0.0, 0.01);
    EXPECT_TRUE(r.inTune);
    EXPECT_TRUE(r.lampChanged);
    tuner.analyseBuffer(v.data(), v.size());
    EXPECT_FALSE(tuner.takeReading().lampChanged); // lit already
    EXPECT_TRUE(tuner.lampInTune());
}

TEST(Tuner, AStrongSecondHarmonicIsCorrectedToTheFundamental)
{
    Settings settings;
    RecordingMessages messages;
    Tuner tuner(settings);
    ASSERT_TRUE(tuner.openAnalysis(messages));
    ASSERT_TRUE(tuner.selectString(5)); // E2, 82.41 Hz
    // The fundamental too weak to count: the analysis reads the octave...
    const auto v = harmonicTone(82.4069, {{1, 800.0}, {2, 9000.0}, {3, 1500.0}});
    tuner.analyseBuffer(v.data(), v.size());
    const TunerReading r = tuner.takeReading();
    EXPECT_NEAR(r.recorded, 164.81, 0.3);
    // ...and the correction brings it back to the string.
    EXPECT_NEAR(r.corrected, 82.41, 0.15);
    EXPECT_TRUE(r.inTune);
    // A fundamental above a fifth of the strongest partial is read directly.
    const auto w = harmonicTone(82.4069, {{1, 3000.0}, {2, 9000.0}});
    tuner.analyseBuffer(w.data(), w.size());
    const TunerReading s = tuner.takeReading();
    EXPECT_NEAR(s.recorded, 82.41, 0.15);
    EXPECT_NEAR(s.corrected, 82.41, 0.15);
}

TEST(Tuner, SilenceReadsZeroAndCentresTheMeter)
{
    Settings settings;
    RecordingMessages messages;
    Tuner tuner(settings);
    ASSERT_TRUE(tuner.openAnalysis(messages));
    const auto v = tone(329.63);
    tuner.analyseBuffer(v.data(), v.size());
    EXPECT_TRUE(tuner.takeReading().inTune);
    const std::vector<int16_t> flat(32768, 321);
    tuner.analyseBuffer(flat.data(), flat.size());
    const TunerReading r = tuner.takeReading();
    EXPECT_EQ(r.recorded, 0.0);
    EXPECT_EQ(r.corrected, 0.0);
    EXPECT_EQ(r.deviation, 0.0);
    EXPECT_FALSE(r.inTune);
    EXPECT_TRUE(r.lampChanged);
}

TEST(Tuner, ThirtyCentsSharpPutsTheNeedleAtPointThree)
{
    Settings settings;
    RecordingMessages messages;
    Tuner tuner(settings);
    ASSERT_TRUE(tuner.openAnalysis(messages));
    ASSERT_TRUE(tuner.selectString(4));
    const auto v = tone(110.0 * std::pow(2.0, 0.3 / 12.0));
    tuner.analyseBuffer(v.data(), v.size());
    const TunerReading r = tuner.takeReading();
    EXPECT_NEAR(r.deviation, 0.3, 0.03);
    EXPECT_FALSE(r.inTune);
    EXPECT_FALSE(r.lampChanged); // dark, and was dark
}

TEST(Tuner, AShortBufferKeepsTheLastReadingButIsStillAnnounced)
{
    Settings settings;
    RecordingMessages messages;
    Tuner tuner(settings);
    int notified = 0;
    tuner.setNotifier([&] { ++notified; });
    const auto v = tone(196.0);
    tuner.analyseBuffer(v.data(), v.size()); // not open yet: nothing analysed
    EXPECT_EQ(tuner.recordedFrequency(), 0.0);
    ASSERT_TRUE(tuner.openAnalysis(messages));
    tuner.analyseBuffer(v.data(), v.size());
    const double first = tuner.recordedFrequency();
    EXPECT_NEAR(first, 196.0, 0.3);
    const auto shortOne = tone(300.0, 32767);
    tuner.analyseBuffer(shortOne.data(), shortOne.size());
    EXPECT_EQ(tuner.recordedFrequency(), first);
    EXPECT_EQ(notified, 3);
    EXPECT_TRUE(tuner.analysisFinished());
    tuner.closeAnalysis();
    EXPECT_FALSE(tuner.analysisOpen());
}

TEST(Tuner, TheCaptureThreadFeedsWhileThePageReads)
{
    Settings settings;
    RecordingMessages messages;
    Tuner tuner(settings);
    ASSERT_TRUE(tuner.selectString(4));
    ASSERT_TRUE(tuner.openAnalysis(messages));

    // The capture hands out its next buffer only when the page has taken the
    // last result, as the real one does.
    std::mutex m;
    std::condition_variable cv;
    int posted = 0, taken = 0;
    tuner.setNotifier([&] {
        std::lock_guard lock(m);
        ++posted;
        cv.notify_all();
    });
    const auto a = tone(110.0);
    const auto e = tone(82.4069);
    constexpr int kBuffers = 6;
    std::thread capture([&] {
        for (int i = 0; i < kBuffers; ++i) {
            const auto& buf = i % 2 == 0 ? a : e;
            tuner.analyseBuffer(buf.data(), buf.size());
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return taken > i; });
        }
    });
    std::vector<double> readings;
    for (int i = 0; i < kBuffers; ++i) {
        {
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return posted > i; });
        }
        readings.push_back(tuner.takeReading().recorded);
        std::lock_guard lock(m);
        ++taken;
        cv.notify_all();
    }
    capture.join();
    tuner.closeAnalysis(); // nothing in flight: returns at once
    ASSERT_EQ(readings.size(), static_cast<size_t>(kBuffers));
    for (int i = 0; i < kBuffers; ++i) EXPECT_NEAR(readings[i], i % 2 == 0 ? 110.0 : 82.41, 0.1) << i;
}

TEST(Tuner, StoppingWaitsForTheAnalysisInProgress)
{
    Settings settings;
    RecordingMessages messages;
    Tuner tuner(settings);
    ASSERT_TRUE(tuner.openAnalysis(messages));
    std::atomic<bool> inNotifier{false}, release{false};
    tuner.setNotifier([&] {
        inNotifier = true;
        while (!release) std::this_thread::yield();
    });
    const auto v = tone(110.0);
    std::thread capture([&] { tuner.analyseBuffer(v.data(), v.size()); });
    while (!inNotifier) std::this_thread::yield();
    EXPECT_FALSE(tuner.analysisFinished());
    std::atomic<bool> closed{false};
    std::thread stopper([&] {
        tuner.closeAnalysis();
        closed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(closed.load()); // still waiting for the buffer in progress
    release = true;
    stopper.join();
    capture.join();
    EXPECT_TRUE(closed.load());
    EXPECT_FALSE(tuner.analysisOpen());
}

TEST(KorvexTune, ReadsEachBufferOfAFile)
{
    TempDir dir;
    // Three buffers: A2 string in tune, the low E 30 cents sharp, silence;
    // then a piece shorter than a buffer, which is left out.
    std::vector<int16_t> s = tone(110.0);
    const auto sharpE = tone(82.4069 * std::pow(2.0, 0.3 / 12.0));
    s.insert(s.end(), sharpE.begin(), sharpE.end());
    s.insert(s.end(), 32768 + 1000, 0);
    writeWav(dir.file("take.wav"), s, 44100);

    const auto r = korvex("tune " + dir.file("take.wav"), dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("# " + dir.file("take.wav") + ": 3 buffers of 32768 samples at 44100 Hz"), std::string::npos)
        << r.out;
    const auto rows = dataLines(r.out);
    ASSERT_EQ(rows.size(), 3u) << r.out;
    for (const auto& row : rows) ASSERT_EQ(row.size(), 9u) << r.out;
    EXPECT_EQ(rows[0][0], "1");
    EXPECT_EQ(rows[0][1], "0.00");
    EXPECT_NEAR(std::stod(rows[0][2]), 110.0, 0.05);
    EXPECT_EQ(rows[0][4], "5th");
    EXPECT_EQ(rows[0][5], "A3");
    EXPECT_EQ(rows[0][6], "110.00");
    EXPECT_EQ(rows[0][8], "yes");

    EXPECT_EQ(rows[1][1], "0.74");
    EXPECT_EQ(rows[1][4], "6th");
    EXPECT_EQ(rows[1][6], "82.41");
    EXPECT_NEAR(std::stod(rows[1][7]), 30.0, 3.0);
    EXPECT_EQ(rows[1][7][0], '+');
    EXPECT_EQ(rows[1][8], "no");

    EXPECT_EQ(rows[2][2], "0.00");
    EXPECT_EQ(rows[2][3], "0.00");
    EXPECT_EQ(rows[2][4], "-");
    EXPECT_EQ(rows[2][7], "-");
    EXPECT_EQ(rows[2][8], "no");
}

TEST(KorvexTune, AFixedStringCorrectsHarmonicsLikeThePage)
{
    TempDir dir;
    // A stereo file: the tuner takes the average of the channels.
    const auto octave = harmonicTone(82.4069, {{1, 700.0}, {2, 9000.0}});
    std::vector<int16_t> stereo;
    for (int16_t v : octave) {
        stereo.push_back(v);
        stereo.push_back(v);
    }
    writeWav(dir.file("octave.wav"), stereo, 44100, 2);
    const auto fixed = korvex("tune --string 6 " + dir.file("octave.wav"), dir.path());
    ASSERT_EQ(fixed.exitCode, 0) << fixed.err;
    const auto rows = dataLines(fixed.out);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_NEAR(std::stod(rows[0][2]), 164.81, 0.3);
    EXPECT_NEAR(std::stod(rows[0][3]), 82.41, 0.15);
    EXPECT_EQ(rows[0][4], "6th");
    EXPECT_EQ(rows[0][8], "yes");

    // Compared with the 4th string (D3, 146.83 Hz) the same reading is far off.
    const auto d4 = korvex("tune " + dir.file("octave.wav") + " --string 4", dir.path());
    ASSERT_EQ(d4.exitCode, 0) << d4.err;
    const auto rows4 = dataLines(d4.out);
    ASSERT_EQ(rows4.size(), 1u);
    EXPECT_EQ(rows4[0][4], "4th");
    EXPECT_GT(std::stod(rows4[0][7]), 150.0);
    EXPECT_EQ(rows4[0][8], "no");
}

TEST(KorvexTune, SetupsRootAndCustomNotes)
{
    TempDir dir;
    writeWav(dir.file("a.wav"), tone(108.0), 44100);
    // Root 432: the A string is at 108 Hz.
    const auto r432 = korvex("tune --root 432 " + dir.file("a.wav"), dir.path());
    ASSERT_EQ(r432.exitCode, 0) << r432.err;
    auto rows = dataLines(r432.out);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][6], "108.00");
    EXPECT_EQ(rows[0][8], "yes");
    EXPECT_NE(r432.out.find("root 432 Hz"), std::string::npos);

    // A root below 50 Hz is taken as 440, with a word on stderr.
    const auto low = korvex("tune --root 20 " + dir.file("a.wav"), dir.path());
    ASSERT_EQ(low.exitCode, 0) << low.err;
    EXPECT_NE(low.err.find("440"), std::string::npos);
    EXPECT_NE(low.out.find("root 440 Hz"), std::string::npos);

    // Bass setup (G2 98 Hz, D2, A2 55 Hz, E1): 108 Hz is the octave of A2,
    // 32 cents flat once corrected; G2 would be 167 cents sharp.
    const auto bass = korvex("tune --setup bass " + dir.file("a.wav"), dir.path());
    ASSERT_EQ(bass.exitCode, 0) << bass.err;
    rows = dataLines(bass.out);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][4], "3rd");
    EXPECT_EQ(rows[0][5], "A2");
    EXPECT_NEAR(std::stod(rows[0][3]), 54.0, 0.05);
    EXPECT_NEAR(std::stod(rows[0][7]), -31.8, 1.0);
    EXPECT_NE(bass.out.find("\"Bass guitar\""), std::string::npos);

    // Custom notes by name, number and N/A.
    const auto custom = korvex("tune --notes N/A,N/A,N/A,N/A,24,- " + dir.file("a.wav"), dir.path());
    ASSERT_EQ(custom.exitCode, 0) << custom.err;
    rows = dataLines(custom.out);
    EXPECT_EQ(rows[0][4], "5th");
    EXPECT_EQ(rows[0][5], "A3");
    EXPECT_NE(custom.out.find("\"Custom setting\""), std::string::npos);
    const auto byName = korvex("tune --setup custom --notes e4,b4,g3,d3,A#3,E2 " + dir.file("a.wav"), dir.path());
    ASSERT_EQ(byName.exitCode, 0) << byName.err;
    rows = dataLines(byName.out);
    EXPECT_EQ(rows[0][5], "A#3");
}

TEST(KorvexTune, UsageErrorsAndFailures)
{
    TempDir dir;
    writeWav(dir.file("ok.wav"), tone(110.0), 44100);
    writeWav(dir.file("short.wav"), tone(110.0, 32767), 44100);
    writeWav(dir.file("short48.wav"), tone(110.0, 35000), 48000); // 32156 samples at 44100 Hz
    writeFile(dir.file("junk.wav"), {'j', 'u', 'n', 'k'});

    const auto help = korvex("tune --help", dir.path());
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage: korvex tune"), std::string::npos);
    EXPECT_NE(help.out.find("Exit status"), std::string::npos);

    for (const std::string& args :
         {std::string("tune"), "tune --bogus " + dir.file("ok.wav"), "tune " + dir.file("ok.wav") + " second.wav",
          "tune --setup guitar " + dir.file("ok.wav"), "tune --setup custom " + dir.file("ok.wav"),
          "tune --setup bass --notes E4,B4,G3,D3,A3,E2 " + dir.file("ok.wav"),
          "tune --notes E4,B4,G3 " + dir.file("ok.wav"), "tune --notes E4,B4,G3,D3,A3,E2,E1 " + dir.file("ok.wav"),
          "tune --notes E4,B4,H3,D3,A3,E2 " + dir.file("ok.wav"),
          "tune --notes N/A,N/A,N/A,N/A,N/A,N/A " + dir.file("ok.wav"), "tune --string 7 " + dir.file("ok.wav"),
          "tune --string 0 " + dir.file("ok.wav"), "tune --setup bass --string 5 " + dir.file("ok.wav"),
          "tune --root abc " + dir.file("ok.wav"), "tune --root " + dir.file("ok.wav"),
          "tune " + dir.file("ok.wav") + " --root"}) {
        const auto r = korvex(args, dir.path());
        EXPECT_EQ(r.exitCode, 2) << args;
        EXPECT_NE(r.err.find("korvex tune:"), std::string::npos) << args;
        EXPECT_TRUE(r.out.empty()) << args;
    }
    const auto none = korvex("tune --notes N/A,N/A,N/A,N/A,N/A,N/A " + dir.file("ok.wav"), dir.path());
    EXPECT_NE(none.err.find("Please enable at least one string."), std::string::npos);

    for (const char* bad : {"missing.wav", "short.wav", "short48.wav", "junk.wav"}) {
        const auto r = korvex("tune " + dir.file(bad), dir.path());
        EXPECT_EQ(r.exitCode, 1) << bad;
        EXPECT_NE(r.err.find("korvex tune:"), std::string::npos) << bad;
        EXPECT_TRUE(dataLines(r.out).empty()) << bad;
    }
    EXPECT_NE(korvex("tune " + dir.file("junk.wav"), dir.path()).err.find("'" + dir.file("junk.wav") + "'"),
              std::string::npos);
    EXPECT_EQ(korvex("tune --channel 0 " + dir.file("ok.wav"), dir.path()).exitCode, 2);

    // Files that cannot be opened: a FIFO is refused at once (nobody will
    // ever write to it), and so is a device that never ends.
    ASSERT_EQ(mkfifo(dir.file("fifo.wav").c_str(), 0600), 0);
    for (const std::string& path : {dir.file("fifo.wav"), std::string("/dev/zero"), dir.path()}) {
        const auto r = korvex("tune " + path, dir.path());
        EXPECT_EQ(r.exitCode, 1) << path;
        EXPECT_NE(r.err.find("korvex tune: cannot open '" + path + "'"), std::string::npos) << r.err;
    }
}

TEST(KorvexTune, RecordingsOfAnyRateFormatAndChannelAreConvertedToTheAnalysisRate)
{
    TempDir dir;
    // 110 Hz at 96 kHz in 24 bits; a FLAC file at 48 kHz with the A string
    // on the left and the low E 30 cents sharp on the right.
    ASSERT_TRUE(writeSound(dir.file("a96.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_24, 96000, 1, sine(110.0, 0.4, 96000, 96000)));
    const auto a = sine(110.0, 0.4, 48000, 48000);
    const auto e = sine(82.4069 * std::pow(2.0, 0.3 / 12.0), 0.4, 48000, 48000);
    std::vector<double> stereo;
    for (size_t i = 0; i < a.size(); ++i) stereo.insert(stereo.end(), {a[i], e[i]});
    ASSERT_TRUE(writeSound(dir.file("ae.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000, 2, stereo));

    const auto r96 = korvex("tune " + dir.file("a96.wav"), dir.path());
    ASSERT_EQ(r96.exitCode, 0) << r96.err;
    EXPECT_NE(r96.out.find("converted from 96000 Hz"), std::string::npos) << r96.out;
    auto rows = dataLines(r96.out);
    ASSERT_EQ(rows.size(), 1u) << r96.out; // 44100 samples: one buffer
    EXPECT_NEAR(std::stod(rows[0][2]), 110.0, 0.05);
    EXPECT_EQ(rows[0][4], "5th");
    EXPECT_EQ(rows[0][8], "yes");

    const auto right = korvex("tune --channel 2 " + dir.file("ae.flac"), dir.path());
    ASSERT_EQ(right.exitCode, 0) << right.err;
    rows = dataLines(right.out);
    ASSERT_EQ(rows.size(), 1u) << right.out;
    EXPECT_EQ(rows[0][4], "6th");
    EXPECT_NEAR(std::stod(rows[0][7]), 30.0, 3.0);
    const auto left = korvex("tune --channel 1 " + dir.file("ae.flac"), dir.path());
    ASSERT_EQ(left.exitCode, 0) << left.err;
    EXPECT_EQ(dataLines(left.out).at(0).at(4), "5th");
    EXPECT_EQ(korvex("tune --channel 3 " + dir.file("ae.flac"), dir.path()).exitCode, 1);
}
