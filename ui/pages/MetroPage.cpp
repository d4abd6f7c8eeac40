// The metronome's page: its switch, the tempo with tap tempo, the volume, and
// the click's sound (a beep, the drum kick or a WAV file of the user's).
#include "dsp/UserMessages.h"
#include "engine/Engine.h"
#include "tools/Metronome.h"
#include "ui/pages/PageKit.h"
#include "ui/pages/ToolPages.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>

namespace stravik::ui {
namespace {

class MetroPage final : public ToolPage {
public:
    MetroPage(WindowContext& c, tools::Metronome& metronome, QWidget* parent)
        : ToolPage(tr("Metronome"), c, parent), metronome_(metronome)
    {
        using tools::Metronome;
        auto& settings = engine_.settings;

        onOff_ = new QCheckBox(tr("On"), this);
        onOff_->setObjectName("onOff");
        onOff_->setToolTip(tr("Metronome on/off: a click mixed into the output while playing (not stored)"));
        titleRow()->addWidget(onOff_);
        addHelp("metronome");
        connect(onOff_, &QCheckBox::clicked, this, [this](bool on) { engine_.metronomeOn = on ? 1 : 0; });

        QGroupBox* tempo = addGroup(tr("Tempo"), 0, 0);
        tempo_ = addSlider(tempo, {.label = "Tempo:", .minimum = 100, .maximum = 3000, .reset = 1500,
                                   .value = [](int p) { return Metronome::tempoFromSlider(p); },
                                   .text = [](double v) { return QString::fromStdString(Metronome::tempoLabel(v)); },
                                   .binding = {[&settings] { return static_cast<double>(settings.MetroTempo.get()); },
                                               [this](double v) { metronome_.setTempo(v); }},
                                   .tip = tip(tr("Beats per minute"), "MetroTempo"),
                                   .position = [](double v) { return Metronome::tempoSliderPosition(v); }});
        auto* tapRow = new QWidget(tempo);
        auto* tapLine = new QHBoxLayout(tapRow);
        tapLine->setContentsMargins(0, 0, 0, 0);
        tap_ = new QPushButton("T", tapRow);
        tap_->setObjectName("tapTempo");
        tap_->setFixedWidth(36);
        tap_->setToolTip(tr("Click in time with the music: the tempo follows your clicks"));
        tapLine->addWidget(tap_);
        auto* tapNote = new QLabel("Click few times\n to set tempo", tapRow);
        tapNote->setProperty("role", "secondary");
        tapLine->addWidget(tapNote, 1);
        addRow(tempo, tapRow);
        connect(tap_, &QPushButton::clicked, this, [this] {
            if (metronome_.tapTempo()) tempo_->refresh();
        });

        QGroupBox* volume = addGroup(tr("Volume"), 0, 1);
        addSlider(volume, {.label = "Volume:", .minimum = 0, .maximum = 100, .reset = 50,
                           .value = [](int p) { return Metronome::volumeFromSlider(p); },
                           .text = [](double v) { return QString::fromStdString(Metronome::volumeLabel(v)); },
                           .binding = {[&settings] { return static_cast<double>(settings.MetroVolume.get()); },
                                       [this](double v) { metronome_.setVolume(v); }},
                           .tip = tip(tr("Loudness of the click"), "MetroVolume"),
                           .position = [](double v) { return Metronome::volumeSliderPosition(v); }});

        QGroupBox* sound = addGroup(tr("Sound"), 1, 0, 1, 2);
        sound_ = new ChoiceButtons({"Beep", "Drum kick", "Wave file"},
                                   {Metronome::kBeep, Metronome::kDrumKick, Metronome::kWaveFile},
                                   {[&settings] { return static_cast<double>(settings.MetroSound.get()); },
                                    [this](double v) { metronome_.selectSound(static_cast<int>(v)); }},
                                   {}, tip(tr("The click: a short beep, a drum kick or a WAV file"), "MetroSound"),
                                   Qt::Horizontal, sound);
        addRow(sound, sound_);
        connect(sound_, &ChoiceButtons::changed, this, [this] { applyRules(); });
        auto* fileRow = new QWidget(sound);
        auto* fileLine = new QHBoxLayout(fileRow);
        fileLine->setContentsMargins(0, 0, 0, 0);
        open_ = new QPushButton("Open...", fileRow);
        open_->setToolTip(tip(tr("Chooses the WAV file of the click (with \"Wave file\", while not playing)"),
                              "MetroWave"));
        fileLine->addWidget(open_);
        file_ = new QLabel(fileRow);
        file_->setProperty("role", "secondary");
        file_->setMinimumWidth(0);
        file_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        fileLine->addWidget(file_, 1);
        addRow(sound, fileRow);
        connect(open_, &QPushButton::clicked, this, [this] { openWave(); });
        finish();
    }

    void refresh() override
    {
        onOff_->setChecked(engine_.metronomeOn.get() != 0);
        sound_->refresh();
        const QString wave = QString::fromStdString(engine_.settings.MetroWave.get());
        file_->setText(wave.isEmpty() ? tr("(no file)") : QFileInfo(wave).fileName());
        file_->setToolTip(wave);
        ToolPage::refresh();
    }

protected:
    void applyRules() override
    {
        open_->setEnabled(engine_.settings.MetroSound.get() == tools::Metronome::kWaveFile &&
                          !context_.engine.running.load());
    }

private:
    void openWave()
    {
        const QString current = QString::fromStdString(engine_.settings.MetroWave.get());
        QString filter = "WAVE files (*.wav)";
        const QString chosen = QFileDialog::getOpenFileName(this, "Open WAVE file", current,
                                                            "All Files (*.*);;WAVE files (*.wav)", &filter);
        // The setting holds at most 259 characters, as every stored file name.
        if (chosen.toStdString().size() > 259)
            context_.messages.show("The file name is too long (at most 259 characters).", "Metronome",
                                   MessageIcon::Warning);
        else if (!chosen.isEmpty())
            engine_.settings.MetroWave = chosen.toStdString();
        // Read again at the next run's start, also after a cancel.
        metronome_.markWaveForReload();
        refresh();
    }

    tools::Metronome& metronome_;
    QCheckBox* onOff_ = nullptr;
    SliderRow* tempo_ = nullptr;
    QPushButton* tap_ = nullptr;
    ChoiceButtons* sound_ = nullptr;
    QPushButton* open_ = nullptr;
    QLabel* file_ = nullptr;
};

} // namespace

ToolPage* makeMetroPage(WindowContext& c, tools::Metronome& metronome, QWidget* parent)
{
    return new MetroPage(c, metronome, parent);
}

} // namespace stravik::ui
