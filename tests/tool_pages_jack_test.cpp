// test-label: threads
// test-fixture: jack
// The tool pages on real devices: the Tuner page hears a string played a
// little sharp into an ALSA capture PCM by a JACK client, and shows its
// frequency, the note and the cents (Start is refused while it listens); the
// Setup page lists the capture devices as `korvex devices` does and shows
// the buffer of the JACK server chosen beside the one the delay asks for.
#include "JackTest.h"
#include "WindowTest.h"

#include "engine/devices/AlsaBackend.h"
#include "engine/devices/JackDriver.h"
#include "ui/Controls.h"
#include "ui/ToolPage.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

using namespace stravik;
using jacktest::JackPcm;
using namespace windowtest;

namespace {

QPushButton* button(QWidget* page, const QString& text)
{
    for (QPushButton* b : page->findChildren<QPushButton*>())
        if (b->text() == text) return b;
    ADD_FAILURE() << "no button " << text.toStdString();
    return nullptr;
}

} // namespace

// The fixture's server runs 128-frame periods at 48000 Hz; 20 ms asks for
// 896 frames. A capture device on it is in the Setup page's input list.
TEST(SetupPage, ListsTheCaptureDevicesAndTheJackServersBuffer)
{
    jacktest::useServer(jacktest::fixtureServer());
    Window w;
    const auto servers = JackDriver::servers();
    const auto it = std::find(servers.begin(), servers.end(), jacktest::fixtureServer());
    ASSERT_NE(it, servers.end());
    w.engine->settings.UseASIO = 1;
    w.engine->settings.ASIO_dev = static_cast<int>(it - servers.begin());
    w.engine->settings.SampleRate = 48000;
    // An ALSA capture device on the server: the input list is the one
    // `korvex devices` prints.
    jacktest::TestClient source(1, 0);
    ASSERT_TRUE(source.ok());
    const std::string pcm = jacktest::uniqueName("stravik_setup");
    jacktest::AlsaConfig config({{pcm, JackPcm::Kind::Plug, {source.outputPort(0)}, {}}});
    ASSERT_TRUE(config.ok());
    AlsaBackend backend;
    w.context.audio = &backend;
    w.window->showToolPage("Setup");
    ui::ToolPage* page = w.window->toolPage("Setup");
    auto* size = page->findChild<QLabel*>("jackSize");
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(size->text(),
              "JACK buffer asked for: 896 frames at 48000 Hz; the server runs 128 frames at 48000 Hz.");
    const auto lists = page->findChildren<ui::ListControl*>();
    ASSERT_FALSE(lists.isEmpty());
    QStringList listed, expected;
    for (int i = 0; i < lists[0]->count(); ++i) listed << lists[0]->itemText(i);
    for (const std::string& name : backend.captureDevices()) expected << QString::fromStdString(name);
    EXPECT_EQ(listed, expected);
    EXPECT_TRUE(listed.contains(QString::fromStdString(pcm)));
}

// The A string (110 Hz, "A3" in the tuner's names) played 10 cents sharp.
TEST(TunerPage, ShowsTheNoteAndTheCentsOfAToneOnTheCaptureDevice)
{
    // The tuner captures at 44100 Hz, which the ALSA plugin takes only from
    // a server at that rate.
    jacktest::PrivateServer server(44100);
    ASSERT_TRUE(server.ready()) << server.log();
    jacktest::useServer(server.name());
    jacktest::TestClient source(1, 0);
    ASSERT_TRUE(source.ok());
    const std::string pcm = jacktest::uniqueName("stravik_tuner");
    jacktest::AlsaConfig config({{pcm, JackPcm::Kind::Plug, {source.outputPort(0)}, {}}});
    ASSERT_TRUE(config.ok());
    const double played = 110.0 * std::pow(2.0, 10.0 / 1200.0);
    std::vector<float> tone(static_cast<size_t>(source.rate()) * 30);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<float>(0.3 * std::sin(2 * M_PI * played * static_cast<double>(i) / source.rate()));
    source.setSignal(0, tone);

    Window w;
    AlsaBackend backend;
    const auto devices = backend.captureDevices();
    const auto it = std::find(devices.begin(), devices.end(), pcm);
    ASSERT_NE(it, devices.end());
    w.context.audio = &backend;
    w.engine->settings.TunerWavein = static_cast<int>(it - devices.begin());
    w.window->showToolPage("Tuner");
    ui::ToolPage* page = w.window->toolPage("Tuner");
    button(page, "5th - A3")->click();

    button(page, "Start tuner")->click();
    ASSERT_TRUE(page->tunerRunning()) << (w.messages.count() ? w.messages.texts()[0] : "");
    source.startPlaying();
    auto* cents = page->findChild<QLabel*>("cents");
    auto* recorded = page->findChild<QLabel*>("recordedFrequency");
    // A reading comes every 0.74 s; the first may hold the silence before
    // the tone.
    int heard = 999;
    for (int i = 0; i < 3000 && std::abs(heard - 10) > 3; ++i) {
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        int c = 0;
        if (std::sscanf(cents->text().toLatin1().constData(), "%d cents", &c) == 1) heard = c;
    }
    EXPECT_NEAR(heard, 10, 3) << recorded->text().toStdString();
    EXPECT_NEAR(recorded->text().split(' ').first().toDouble(), played, 0.5);

    w.window->startButton()->click();
    EXPECT_EQ(w.messages.texts().back(), "You must stop guitar tuner.");
    EXPECT_FALSE(w.run.active());

    button(page, "Start tuner")->click();
    EXPECT_FALSE(page->tunerRunning());
}
