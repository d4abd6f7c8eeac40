#include "ui/ShortcutDialogs.h"

#include "engine/Settings.h"
#include "ui/Help.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace stravik::ui {

namespace {
const QString kNone = "None";
}

DefineShortcutDialog::DefineShortcutDialog(const QString& caption, const QStringList& presets,
                                           const QString& current, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle("Define shortcut");
    auto* column = new QVBoxLayout(this);
    column->addWidget(new QLabel(caption, this));
    list_ = new QListWidget(this);
    list_->addItem(kNone);
    QStringList sorted = presets;
    sorted.sort(Qt::CaseInsensitive);
    list_->addItems(sorted);
    const auto found = list_->findItems(current, Qt::MatchExactly);
    list_->setCurrentRow(current.isEmpty() || found.isEmpty() ? 0 : list_->row(found.first()));
    list_->setMinimumSize(260, 220);
    column->addWidget(list_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help,
                                         this);
    column->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::helpRequested, this, [] { showHelp("shortcuts"); });
    connect(list_, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
}

QString DefineShortcutDialog::chosen() const
{
    const QListWidgetItem* item = list_->currentItem();
    return !item || list_->row(item) == 0 ? QString() : item->text();
}

MidiSetupDialog::MidiSetupDialog(Settings& settings, const std::vector<std::string>& devices, QWidget* parent)
    : QDialog(parent), settings_(settings), haveDevices_(!devices.empty())
{
    setWindowTitle("MIDI controller setup");
    auto* form = new QFormLayout(this);
    enable_ = new QCheckBox(this);
    enable_->setChecked(settings.ProgMidiInEnable.get() != 0);
    enable_->setToolTip("Opens the MIDI input when playing starts (ProgMidiInEnable)");
    form->addRow("Enable MIDI input:", enable_);
    device_ = new QComboBox(this);
    for (const std::string& name : devices) device_->addItem(QString::fromStdString(name));
    if (devices.empty()) device_->addItem("Driver NOT present!");
    const int stored = settings.ProgMidiInDevice.get();
    device_->setCurrentIndex(stored >= 0 && stored < device_->count() ? stored : 0);
    device_->setEnabled(haveDevices_);
    device_->setToolTip("The MIDI input of program changes and effect control (ProgMidiInDevice)");
    form->addRow("MIDI input device:", device_);
    channel_ = new QComboBox(this);
    channel_->addItem("Any");
    for (int ch = 1; ch <= 16; ++ch) channel_->addItem(QString::number(ch));
    const int chan = settings.ProgMidiChan.get();
    channel_->setCurrentIndex(chan >= 0 && chan <= 16 ? chan : 0);
    channel_->setToolTip("Messages on other channels are ignored (ProgMidiChan)");
    form->addRow("MIDI channel:", channel_);
    effects_ = new QCheckBox("Enable control of individual effects (on/off)", this);
    effects_->setChecked(settings.CtrlMidiEnable.get() != 0);
    effects_->setToolTip("Controllers 100 to 112 switch the effects, 119 and 120 set the volumes (CtrlMidiEnable)");
    form->addRow(effects_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help,
                                         this);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        store();
        accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::helpRequested, this, [] { showHelp("shortcuts"); });
}

void MidiSetupDialog::store()
{
    settings_.ProgMidiInEnable = enable_->isChecked() ? 1 : 0;
    // Without a device the stored choice is kept for when one is there.
    if (haveDevices_) settings_.ProgMidiInDevice = device_->currentIndex();
    settings_.ProgMidiChan = channel_->currentIndex();
    settings_.CtrlMidiEnable = effects_->isChecked() ? 1 : 0;
}

} // namespace stravik::ui
