#pragma once
// The main window: the page buttons and the preset box on top, the effect
// list with its lamps on the left, the page area, the meters and the volume
// sliders on the right, Start/Stop and the status line at the bottom.
//
// Everything that other threads change (enable flags from MIDI or a preset,
// volumes, meters, the run's state) is read back by a timer at the display
// rate, so no other thread ever touches a widget.
#include "engine/Meters.h"
#include "engine/ProcessingRun.h"
#include "ui/WindowContext.h"

#include <QMainWindow>
#include <QString>

#include <array>
#include <atomic>
#include <memory>
#include <vector>

class QButtonGroup;
class QComboBox;
class QLabel;
class QPushButton;
class QStackedWidget;
class QTimer;
class QToolButton;

namespace stravik::tools {
class Metronome;
}

namespace stravik::ui {

class EffectPage;
class ToolPage;
class Lamp;
class LevelMeter;
class VolumeControl;

// The meters as the chain reports them (from the audio thread), read by the
// window's timer.
class WindowMeters final : public MeterDisplay {
public:
    void showLevel(Meter meter, int value, int step) override;
    void showClip(bool inputLit, bool outputLit) override;
    void resetMeters() override;
    int step(Meter meter) const { return steps_[meter].load(std::memory_order_relaxed); }
    bool clip(Meter meter) const { return clips_[meter].load(std::memory_order_relaxed); }

private:
    std::array<std::atomic<int>, 2> steps_{};
    std::array<std::atomic<bool>, 2> clips_{};
};

class MainWindow final : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(WindowContext& context, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The names of the pages, for the page buttons and screenshots.
    static const std::vector<QString>& toolPageNames();

    // Shows an effect's page (0 Distortion … 12 VolSwell).
    void showEffectPage(int effect);
    // Shows a tool page by its button's name ("Tuner", "Setup", ...).
    void showToolPage(const QString& name);
    EffectPage* effectPage(int effect) const { return effectPages_[static_cast<size_t>(effect)]; }
    ToolPage* toolPage(const QString& name) const;
    QWidget* currentPage() const;

    // The preset box, filled from the store (sorted); keeps the text when it
    // still names a preset, else shows the placeholder.
    void refillPresetBox();
    // The preset box's commands.
    void loadSelectedPreset(const QString& name);
    void savePreset();
    void deletePreset();

    // Start/Stop.
    void startOrStop();
    // Closes the window; the program then starts itself again (after the
    // settings are written).
    void requestRestart();
    bool restartRequested() const { return restart_; }
    // What the timer does: lamps, volumes, meters, the run's state.
    void pollState();

    QComboBox* presetBox() const { return presetBox_; }
    QPushButton* startButton() const { return startButton_; }
    Lamp* effectLamp(int effect) const { return lamps_[static_cast<size_t>(effect)]; }
    QPushButton* effectButton(int effect) const { return effectButtons_[static_cast<size_t>(effect)]; }
    VolumeControl* inputVolume() const { return inputVolume_; }
    VolumeControl* outputVolume() const { return outputVolume_; }
    LevelMeter* meter(int which) const { return which == 0 ? inputMeter_ : outputMeter_; }
    QLabel* statusLine() const { return status_; }
    void setStatus(const QString& text);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* buildTopRow();
    QWidget* buildEffectList();
    QWidget* buildMeters();
    QWidget* buildBottomRow();
    void refreshAfterChange();

    WindowContext& context_;
    WindowMeters meters_;
    QStackedWidget* pages_ = nullptr;
    std::vector<EffectPage*> effectPages_;
    std::vector<ToolPage*> toolPages_;
    // What the run asks the window when Start is pressed.
    class RunQuestions final : public RunObserver {
    public:
        explicit RunQuestions(MainWindow& w) : window_(w) {}
        bool tunerRunning() const override;
        void collectFileSettings() override;

    private:
        MainWindow& window_;
    };
    RunQuestions runQuestions_{*this};
    // The metronome the chain clicks with, when the context brings none.
    std::unique_ptr<tools::Metronome> ownMetronome_;
    std::vector<QPushButton*> effectButtons_;
    std::vector<Lamp*> lamps_;
    QButtonGroup* pageButtons_ = nullptr;
    QButtonGroup* effectGroup_ = nullptr;
    int currentEffect_ = 3; // the echo's page until another is picked
    QComboBox* presetBox_ = nullptr;
    QToolButton* presetMenu_ = nullptr;
    LevelMeter* inputMeter_ = nullptr;
    LevelMeter* outputMeter_ = nullptr;
    Lamp* inputClip_ = nullptr;
    Lamp* outputClip_ = nullptr;
    VolumeControl* inputVolume_ = nullptr;
    VolumeControl* outputVolume_ = nullptr;
    QPushButton* startButton_ = nullptr;
    QLabel* status_ = nullptr;
    QTimer* timer_ = nullptr;
    std::array<bool, 13> shownLamps_{};
    float shownInputGain_ = -1, shownOutputGain_ = -1;
    bool wasActive_ = false;
    bool runPending_ = false; // started from here, not yet seen running
    bool ignoreNextSelection_ = false;
    bool restart_ = false;
};

} // namespace stravik::ui
