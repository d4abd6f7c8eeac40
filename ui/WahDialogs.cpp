#include "ui/WahDialogs.h"

#include "engine/Settings.h"
#include "ui/Help.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QVBoxLayout>

namespace stravik::ui {

// ---- the pedal

PedalSetupDialog::PedalSetupDialog(Settings& settings, DeviceList devices, QWidget* parent)
    : QDialog(parent), settings_(settings), devices_(std::move(devices))
{
    setWindowTitle("External game port device setup");
    auto* column = new QVBoxLayout(this);
    enable_ = new QCheckBox("Enable external device", this);
    enable_->setChecked(settings.JoyEnable.get() != 0);
    enable_->setToolTip("The auto wah's \"External pedal\" follows this device while playing (JoyEnable)");
    column->addWidget(enable_);
    auto* deviceRow = new QHBoxLayout;
    device_ = new QComboBox(this);
    device_->setToolTip("The pedal, or the joystick-class device it is plugged into (JoyInDevice)");
    deviceRow->addWidget(device_, 1);
    setup_ = new QPushButton("Setup...", this);
    setup_->setToolTip("Opens the system's game controller tool when there is one, then lists the devices again");
    deviceRow->addWidget(setup_);
    column->addLayout(deviceRow);
    auto* coordinate = new QGroupBox("Device coordinate", this);
    auto* axes = new QVBoxLayout(coordinate);
    axis_ = new QButtonGroup(this);
    const char* names[] = {"Use X (left-right)", "Use Y (up-down)", "Use Z (top-bottom)"};
    for (int i = 0; i < 3; ++i) {
        auto* b = new QRadioButton(names[i], coordinate);
        axis_->addButton(b, i);
        axes->addWidget(b);
    }
    if (auto* b = axis_->button(settings.JoyAxis.get())) b->setChecked(true);
    column->addWidget(coordinate);
    reverse_ = new QCheckBox("Reverse direction", this);
    reverse_->setChecked(settings.JoyReverse.get() != 0);
    reverse_->setToolTip("Toe down for the low end of the sweep (JoyReverse)");
    column->addWidget(reverse_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help,
                                         this);
    column->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &PedalSetupDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::helpRequested, this, [] { showHelp("wah-controllers"); });
    connect(enable_, &QCheckBox::toggled, this, [this] { applyRules(); });
    connect(setup_, &QPushButton::clicked, this, [this] {
        QProcess::startDetached("jstest-gtk", {});
        fill();
    });
    fill();
}

void PedalSetupDialog::fill()
{
    const std::vector<std::string> names = devices_ ? devices_() : std::vector<std::string>{};
    haveDevices_ = !names.empty();
    device_->clear();
    for (const std::string& n : names) device_->addItem(QString::fromStdString(n));
    if (!haveDevices_) device_->addItem("Device not found!");
    const int stored = settings_.JoyInDevice.get();
    device_->setCurrentIndex(stored >= 0 && stored < device_->count() ? stored : 0);
    applyRules();
}

void PedalSetupDialog::applyRules()
{
    const bool on = enable_->isChecked();
    device_->setEnabled(on && haveDevices_);
    setup_->setEnabled(on);
    for (QAbstractButton* b : axis_->buttons()) b->setEnabled(on);
    reverse_->setEnabled(on);
}

void PedalSetupDialog::accept()
{
    settings_.JoyEnable = enable_->isChecked() ? 1 : 0;
    if (haveDevices_) settings_.JoyInDevice = device_->currentIndex();
    settings_.JoyAxis = std::max(0, axis_->checkedId());
    settings_.JoyReverse = reverse_->isChecked() ? 1 : 0;
    QDialog::accept();
}

// ---- the MIDI controller

WahMidiSetupDialog::WahMidiSetupDialog(Settings& settings, const std::vector<std::string>& devices, QWidget* parent)
    : QDialog(parent), settings_(settings), haveDevices_(!devices.empty())
{
    setWindowTitle("MIDI controller setup");
    auto* form = new QFormLayout(this);
    enable_ = new QCheckBox("Enable MIDI input", this);
    enable_->setChecked(settings.MidiInEnable.get() != 0);
    enable_->setToolTip("The auto wah's \"MIDI controller\" follows this input while playing (MidiInEnable)");
    form->addRow(enable_);
    device_ = new QComboBox(this);
    for (const std::string& n : devices) device_->addItem(QString::fromStdString(n));
    if (!haveDevices_) device_->addItem("Driver NOT present!");
    const int stored = settings.MidiInDevice.get();
    device_->setCurrentIndex(stored >= 0 && stored < device_->count() ? stored : 0);
    device_->setToolTip("(MidiInDevice)");
    form->addRow("MIDI input device:", device_);
    channel_ = new QComboBox(this);
    channel_->addItem("Any");
    for (int ch = 1; ch <= 16; ++ch) channel_->addItem(QString::number(ch));
    const int chan = settings.MidiChan.get();
    channel_->setCurrentIndex(chan >= 0 && chan <= 16 ? chan : 0);
    channel_->setToolTip("(MidiChan)");
    form->addRow("MIDI channel:", channel_);
    event_ = new QComboBox(this);
    event_->addItems({"Pitch wheel", "Control"});
    event_->setCurrentIndex(settings.MidiEvent.get() == 0 ? 0 : 1);
    event_->setToolTip("The pitch wheel, or a controller (MidiEvent)");
    form->addRow("MIDI event:", event_);
    controller_ = new QComboBox(this);
    controller_->setEditable(true);
    controller_->addItems({"1 - Modulation", "7 - Volume", "8 - Balance", "10 - Pan"});
    controller_->setEditText(QString::asprintf("%d -", settings.MidiControl.get()));
    controller_->setToolTip("The controller number (any, e.g. 11 for an expression pedal) (MidiControl)");
    form->addRow("Controller:", controller_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help,
                                         this);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &WahMidiSetupDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::helpRequested, this, [] { showHelp("wah-controllers"); });
    connect(enable_, &QCheckBox::toggled, this, [this] { applyRules(); });
    connect(event_, &QComboBox::currentIndexChanged, this, [this] { applyRules(); });
    applyRules();
}

void WahMidiSetupDialog::applyRules()
{
    const bool on = enable_->isChecked();
    device_->setEnabled(on && haveDevices_);
    channel_->setEnabled(on);
    event_->setEnabled(on);
    controller_->setEnabled(on && event_->currentIndex() == 1);
}

void WahMidiSetupDialog::accept()
{
    settings_.MidiInEnable = enable_->isChecked() ? 1 : 0;
    if (haveDevices_) settings_.MidiInDevice = device_->currentIndex();
    settings_.MidiChan = channel_->currentIndex();
    settings_.MidiEvent = event_->currentIndex();
    // The leading number of the text; an unreadable text keeps the old one.
    const auto match = QRegularExpression("^\\s*(\\d+)").match(controller_->currentText());
    bool ok = false;
    const int number = match.hasMatch() ? match.captured(1).toInt(&ok) : 0;
    if (ok) settings_.MidiControl = number;
    QDialog::accept();
}

} // namespace stravik::ui
