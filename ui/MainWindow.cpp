#include "ui/MainWindow.h"

#include "engine/Engine.h"
#include "engine/ProcessingRun.h"
#include "presets/PresetStore.h"
#include "presets/RegistryStore.h"
#include "presets/SettingsStore.h"
#include "presets/Shortcuts.h"
#include "ui/Controls.h"
#include "ui/EffectPage.h"
#include "ui/PresetDialogs.h"
#include "ui/PresetsManager.h"
#include "ui/Skin.h"
#include "ui/ToolPage.h"
#include "ui/pages/ToolPages.h"
#include "tools/Metronome.h"
#include "control/MidiInput.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace stravik::ui {

// ---- WindowMeters

void WindowMeters::showLevel(Meter meter, int, int step) { steps_[meter].store(step, std::memory_order_relaxed); }

void WindowMeters::showClip(bool inputLit, bool outputLit)
{
    clips_[kInput].store(inputLit, std::memory_order_relaxed);
    clips_[kOutput].store(outputLit, std::memory_order_relaxed);
}

void WindowMeters::resetMeters()
{
    for (auto& s : steps_) s.store(0, std::memory_order_relaxed);
    for (auto& c : clips_) c.store(false, std::memory_order_relaxed);
}

// ---- MainWindow

const std::vector<QString>& MainWindow::toolPageNames()
{
    static const std::vector<QString> names = {"Tuner", "Metro", "Files", "Keys", "MIDI", "Setup"};
    return names;
}

MainWindow::MainWindow(WindowContext& context, QWidget* parent) : QMainWindow(parent), context_(context)
{
    setObjectName("mainWindow");
    setWindowTitle("Stravik");
    setWindowIcon(QIcon(skinImage("icon")));
    auto* central = new QWidget(this);
    central->setObjectName("mainWindow");
    auto* grid = new QGridLayout(central);
    grid->setContentsMargins(8, 8, 8, 8);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(8);

    pages_ = new QStackedWidget(central);
    pages_->setObjectName("pageArea");
    pages_->setMinimumSize(640, 440);
    for (const EffectPageInfo& info : effectPages()) {
        EffectPage* page = info.make(context_, pages_);
        effectPages_.push_back(page);
        pages_->addWidget(page);
    }
    if (!context_.metronome) {
        ownMetronome_ = std::make_unique<tools::Metronome>(context_.engine.settings, context_.messages);
        context_.metronome = ownMetronome_.get();
    }
    context_.engine.effects().setClickSource(context_.metronome);
    context_.run.setObserver(&runQuestions_);
    const auto midiDevices = [&c = context_] { return c.midiDevices ? c.midiDevices() : control::midiInputDevices(); };
    for (const QString& name : toolPageNames()) {
        ToolPage* page = name == "Metro"  ? makeMetroPage(context_, *context_.metronome, pages_)
                         : name == "Keys"  ? makeKeysPage(context_, pages_)
                         : name == "Files" ? makeFilesPage(context_, pages_)
                         : name == "Tuner" ? makeTunerPage(context_, pages_)
                         : name == "Setup" ? makeSetupPage(context_, [this] { requestRestart(); }, pages_)
                         : name == "MIDI" ? makeMidiPage(context_, midiDevices, pages_)
                                          : makePlaceholderPage(name, context_, pages_);
        toolPages_.push_back(page);
        pages_->addWidget(page);
    }

    grid->addWidget(buildTopRow(), 0, 0, 1, 3);
    grid->addWidget(buildEffectList(), 1, 0);
    grid->addWidget(pages_, 1, 1);
    grid->addWidget(buildMeters(), 1, 2);
    grid->addWidget(buildBottomRow(), 2, 0, 1, 3);
    setCentralWidget(central);

    context_.engine.setMeterDisplay(&meters_);
    context_.presets.setLoadDialog(nullptr);
    refillPresetBox();
    showEffectPage(currentEffect_);

    timer_ = new QTimer(this);
    timer_->setInterval(33); // the display rate
    connect(timer_, &QTimer::timeout, this, &MainWindow::pollState);
    timer_->start();
    pollState();
    setStatus(QString("Ready: %1 Hz, %2").arg(context_.engine.settings.SampleRate.get())
                  .arg(context_.engine.settings.stereo.get() ? "stereo" : "mono"));
}

MainWindow::~MainWindow()
{
    // The run clicks with the metronome, which may go with this window.
    if (context_.run.active()) context_.run.stop();
    context_.run.wait();
    context_.engine.effects().setClickSource(nullptr);
    context_.run.setObserver(nullptr);
    if (ownMetronome_) context_.metronome = nullptr;
    context_.engine.setMeterDisplay(nullptr);
}

void MainWindow::requestRestart()
{
    restart_ = true;
    close();
}

bool MainWindow::RunQuestions::tunerRunning() const
{
    const ToolPage* tuner = window_.toolPage("Tuner");
    return tuner && tuner->tunerRunning();
}

void MainWindow::RunQuestions::collectFileSettings()
{
    for (ToolPage* p : window_.toolPages_) p->collectSettings();
}

ToolPage* MainWindow::toolPage(const QString& name) const
{
    const auto& names = toolPageNames();
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return toolPages_[i];
    return nullptr;
}

QWidget* MainWindow::buildTopRow()
{
    auto* row = new QWidget(this);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    pageButtons_ = new QButtonGroup(row);
    pageButtons_->setExclusive(true);
    const QStringList names = {"Effect", "Tuner", "Metro", "Files", "Keys", "MIDI", "Setup"};
    for (int i = 0; i < names.size(); ++i) {
        auto* b = new QPushButton(names[i], row);
        b->setCheckable(true);
        b->setMinimumWidth(64);
        pageButtons_->addButton(b, i);
        line->addWidget(b);
        connect(b, &QPushButton::clicked, this, [this, i, names] {
            if (i == 0)
                showEffectPage(currentEffect_);
            else
                showToolPage(names[i]);
        });
    }
    line->addStretch(1);
    presetBox_ = new QComboBox(row);
    presetBox_->setEditable(true);
    presetBox_->setInsertPolicy(QComboBox::NoInsert);
    presetBox_->setMinimumWidth(220);
    presetBox_->setToolTip("Your presets: pick one to load it, or type a name and save");
    presetBox_->lineEdit()->setMaxLength(PresetStore::kMaxNameLength);
    connect(presetBox_, &QComboBox::textActivated, this, [this](const QString& name) {
        if (ignoreNextSelection_) {
            ignoreNextSelection_ = false;
            return;
        }
        loadSelectedPreset(name);
    });
    line->addWidget(presetBox_);
    presetMenu_ = new QToolButton(row);
    presetMenu_->setText("Preset >");
    presetMenu_->setPopupMode(QToolButton::InstantPopup);
    auto* menu = new QMenu(presetMenu_);
    menu->addAction("Save preset", this, &MainWindow::savePreset);
    menu->addAction("Delete preset", this, &MainWindow::deletePreset);
    menu->addAction("Presets manager", this, [this] {
        PresetsManager manager(context_, this);
        manager.exec();
        if (manager.storeChanged()) refillPresetBox();
    });
    presetMenu_->setMenu(menu);
    line->addWidget(presetMenu_);
    return row;
}

QWidget* MainWindow::buildEffectList()
{
    auto* column = new QWidget(this);
    auto* rows = new QVBoxLayout(column);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(3);
    effectGroup_ = new QButtonGroup(column);
    effectGroup_->setExclusive(true);
    const auto& pages = effectPages();
    for (int i = 0; i < static_cast<int>(pages.size()); ++i) {
        auto* row = new QWidget(column);
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        line->setSpacing(4);
        auto* lamp = new Lamp(Lamp::Effect, row);
        lamp->setToolTip(QString("Switch %1 on or off").arg(pages[static_cast<size_t>(i)].button));
        auto* button = new QPushButton(pages[static_cast<size_t>(i)].button, row);
        button->setCheckable(true);
        button->setMinimumWidth(110);
        button->setToolTip(QString("Show the %1 page").arg(pages[static_cast<size_t>(i)].button));
        effectGroup_->addButton(button, i);
        line->addWidget(lamp);
        line->addWidget(button, 1);
        rows->addWidget(row);
        lamps_.push_back(lamp);
        effectButtons_.push_back(button);
        connect(button, &QPushButton::clicked, this, [this, i] { showEffectPage(i); });
        connect(lamp, &Lamp::clicked, this, [this, i] {
            context_.shortcuts.toggleEffect(i);
            refreshAfterChange();
        });
    }
    rows->addStretch(1);
    return column;
}

QWidget* MainWindow::buildMeters()
{
    auto* panel = new QWidget(this);
    auto* grid = new QGridLayout(panel);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(10);
    const auto heading = [panel](const char* text) {
        auto* l = new QLabel(text, panel);
        l->setAlignment(Qt::AlignCenter);
        l->setProperty("role", "secondary");
        return l;
    };
    inputClip_ = new Lamp(Lamp::Clip, panel);
    outputClip_ = new Lamp(Lamp::Clip, panel);
    inputMeter_ = new LevelMeter(panel);
    outputMeter_ = new LevelMeter(panel);
    inputMeter_->setToolTip("Input level: green up to -12 dB, yellow to -3 dB, red above");
    outputMeter_->setToolTip("Output level: green up to -12 dB, yellow to -3 dB, red above");
    grid->addWidget(heading("IN"), 0, 0);
    grid->addWidget(heading("OUT"), 0, 1);
    grid->addWidget(inputClip_, 1, 0, Qt::AlignHCenter);
    grid->addWidget(outputClip_, 1, 1, Qt::AlignHCenter);
    grid->addWidget(inputMeter_, 2, 0, Qt::AlignHCenter);
    grid->addWidget(outputMeter_, 2, 1, Qt::AlignHCenter);
    auto& volumes = context_.engine.volumes;
    inputVolume_ = new VolumeControl("in vol",
                                     {[&volumes] { return static_cast<double>(volumes.InputVolume.get()); },
                                      [&volumes](double g) { volumes.InputVolume = static_cast<float>(g); }},
                                     "Input volume, +15 to -50 dB (InputVolume)", panel);
    outputVolume_ = new VolumeControl("out vol",
                                      {[&volumes] { return static_cast<double>(volumes.OutputVolume.get()); },
                                       [&volumes](double g) { volumes.OutputVolume = static_cast<float>(g); }},
                                      "Output volume, +15 to -50 dB (OutputVolume)", panel);
    grid->addWidget(inputVolume_, 3, 0);
    grid->addWidget(outputVolume_, 3, 1);
    grid->setRowStretch(3, 1);
    return panel;
}

QWidget* MainWindow::buildBottomRow()
{
    auto* row = new QWidget(this);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    status_ = new QLabel(row);
    status_->setProperty("role", "secondary");
    line->addWidget(status_, 1);
    startButton_ = new QPushButton("Start", row);
    startButton_->setObjectName("startButton");
    startButton_->setCheckable(true);
    startButton_->setToolTip("Start playing through the chain, or stop");
    connect(startButton_, &QPushButton::clicked, this, &MainWindow::startOrStop);
    line->addWidget(startButton_);
    return row;
}

void MainWindow::setStatus(const QString& text) { status_->setText(text); }

QWidget* MainWindow::currentPage() const { return pages_->currentWidget(); }

void MainWindow::showEffectPage(int effect)
{
    currentEffect_ = std::clamp(effect, 0, static_cast<int>(effectPages_.size()) - 1);
    EffectPage* page = effectPages_[static_cast<size_t>(currentEffect_)];
    page->refresh();
    pages_->setCurrentWidget(page);
    effectButtons_[static_cast<size_t>(currentEffect_)]->setChecked(true);
    pageButtons_->button(0)->setChecked(true);
}

void MainWindow::showToolPage(const QString& name)
{
    const auto& names = toolPageNames();
    const auto it = std::find(names.begin(), names.end(), name);
    if (it == names.end()) return;
    const int i = static_cast<int>(it - names.begin());
    ToolPage* page = toolPages_[static_cast<size_t>(i)];
    page->refresh();
    pages_->setCurrentWidget(page);
    pageButtons_->button(i + 1)->setChecked(true);
    // No effect's button is lit while a tool page shows.
    effectGroup_->setExclusive(false);
    for (QPushButton* b : effectButtons_) b->setChecked(false);
    effectGroup_->setExclusive(true);
}

void MainWindow::refillPresetBox()
{
    const QString text = presetBox_->currentText();
    const auto names = context_.presets.ListPresets();
    presetBox_->blockSignals(true);
    presetBox_->clear();
    if (names.empty()) presetBox_->addItem(PresetStore::kPlaceholder);
    for (const auto& n : names) presetBox_->addItem(QString::fromStdString(n));
    const bool stillThere = !text.isEmpty() && context_.presets.exists(text.toStdString());
    presetBox_->setCurrentIndex(-1);
    presetBox_->setEditText(stillThere ? text : QString(PresetStore::kPlaceholder));
    presetBox_->blockSignals(false);
}

void MainWindow::refreshAfterChange()
{
    if (auto* page = dynamic_cast<EffectPage*>(pages_->currentWidget())) page->refresh();
    if (auto* page = dynamic_cast<ToolPage*>(pages_->currentWidget())) page->refresh();
    pollState();
}

void MainWindow::loadSelectedPreset(const QString& name)
{
    WindowLoadDialog dialog(this);
    context_.presets.setLoadDialog(&dialog);
    const int result = context_.presets.LoadPreset(name.toStdString(), true);
    context_.presets.setLoadDialog(nullptr);
    if (result == 0) {
        context_.presets.setCurrentPresetName(name.toStdString());
        presetBox_->setEditText(name);
        setStatus("Preset " + name + " loaded");
    } else {
        presetBox_->setCurrentIndex(-1);
        presetBox_->setEditText(QString::fromStdString(context_.presets.currentPresetName()));
    }
    refreshAfterChange();
}

void MainWindow::savePreset()
{
    const QString name = presetBox_->currentText().left(127);
    if (name.isEmpty() || name == PresetStore::kPlaceholder) {
        context_.messages.show("First type a name for a preset.", {}, MessageIcon::Information);
        presetBox_->setFocus();
        return;
    }
    if (context_.presets.exists(name.toStdString()) &&
        context_.messages.ask("Overwrite existing preset?", {}, MessageButtons::YesNo, MessageIcon::Question) !=
            MessageAnswer::Yes)
        return;
    SectionFlags all{};
    all.fill(true);
    SectionsDialog dialog(true, name, all, context_.presets.saveSelection(), this);
    dialog.setEnabledEffects(enabledEffectSections(context_.engine));
    if (dialog.exec() != QDialog::Accepted) return;
    context_.presets.setSaveSelection(dialog.selection());
    if (!context_.presets.WritePreset(name.toStdString())) return;
    refillPresetBox();
    presetBox_->setEditText(name);
    context_.presets.setCurrentPresetName(name.toStdString());
    ignoreNextSelection_ = false;
    setStatus("Preset " + name + " saved");
}

void MainWindow::deletePreset()
{
    const QString name = presetBox_->currentText();
    if (name.isEmpty() || name == PresetStore::kPlaceholder) return;
    if (!context_.presets.exists(name.toStdString())) {
        context_.messages.show("Preset with that name not found.", {}, MessageIcon::Information);
        return;
    }
    if (context_.messages.ask("Delete preset  \"" + name.toStdString() + "\" ?", {}, MessageButtons::YesNo,
                              MessageIcon::Question) != MessageAnswer::Yes)
        return;
    context_.presets.DeletePreset(name.toStdString());
    refillPresetBox();
    presetBox_->setEditText(PresetStore::kPlaceholder);
}

void MainWindow::startOrStop()
{
    const auto result = context_.run.start();
    if (result == ProcessingRun::StartResult::Started) {
        setStatus("Starting...");
        runPending_ = true;
    }
    pollState();
}

void MainWindow::pollState()
{
    // Lamps follow the enable flags, whoever set them.
    const auto on = context_.presets.indicators();
    if (on != shownLamps_) {
        shownLamps_ = on;
        for (size_t i = 0; i < on.size(); ++i) lamps_[i]->setLit(on[i]);
        if (auto* page = dynamic_cast<EffectPage*>(pages_->currentWidget())) page->refresh();
    }
    const float in = context_.engine.volumes.InputVolume, out = context_.engine.volumes.OutputVolume;
    if (in != shownInputGain_) {
        shownInputGain_ = in;
        inputVolume_->refresh();
    }
    if (out != shownOutputGain_) {
        shownOutputGain_ = out;
        outputVolume_->refresh();
    }
    inputMeter_->setStep(meters_.step(MeterDisplay::kInput));
    outputMeter_->setStep(meters_.step(MeterDisplay::kOutput));
    inputClip_->setLit(meters_.clip(MeterDisplay::kInput));
    outputClip_->setLit(meters_.clip(MeterDisplay::kOutput));

    const bool active = context_.run.active();
    startButton_->setChecked(active);
    startButton_->setText(active ? "Stop" : "Start");
    if (active && context_.run.running() && !wasActive_) {
        wasActive_ = true;
        runPending_ = false;
        setStatus(QString("Running at %1 Hz").arg(context_.engine.ProcessingRate.load()));
        for (EffectPage* p : effectPages_) p->runStateChanged(true);
        for (ToolPage* p : toolPages_) p->runStateChanged(true);
    } else if (!active && (wasActive_ || runPending_)) {
        // A short run may begin and end between two ticks.
        wasActive_ = false;
        runPending_ = false;
        setStatus(QString("Stopped: %1").arg(runEndText(context_.run.endReason())));
        for (EffectPage* p : effectPages_) p->runStateChanged(false);
        for (ToolPage* p : toolPages_) p->runStateChanged(false);
    }
}

void MainWindow::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    if (key >= Qt::Key_F1 && key <= Qt::Key_F12 && context_.engine.settings.ShortcutsON) {
        const bool ctrl = (event->modifiers() & Qt::ControlModifier) != 0;
        // The Load preset dialog asks which sections to load, unless the Keys
        // page says not to.
        WindowLoadDialog dialog(this);
        context_.presets.setLoadDialog(&dialog);
        const bool handled = context_.shortcuts.functionKey(key - Qt::Key_F1 + 1, ctrl, event->isAutoRepeat());
        context_.presets.setLoadDialog(nullptr);
        if (handled) {
            presetBox_->setEditText(QString::fromStdString(context_.presets.currentPresetName()));
            refreshAfterChange();
            return;
        }
    }
    QMainWindow::keyPressEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // A running run is stopped and waited for before the window goes, and
    // the tuner stops listening.
    timer_->stop();
    for (ToolPage* p : toolPages_) p->closing();
    context_.run.closeProgramWait();
    context_.engine.setMeterDisplay(nullptr);
    event->accept();
}

} // namespace stravik::ui
