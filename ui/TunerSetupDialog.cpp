#include "ui/TunerSetupDialog.h"

#include "tools/Tuner.h"
#include "ui/Help.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace stravik::ui {

TunerSetupDialog::TunerSetupDialog(tools::Tuner& tuner, int setup, int device, const std::vector<std::string>& devices,
                                   const std::array<int, 6>& customNotes, UserMessages& messages, QWidget* parent)
    : QDialog(parent), tuner_(tuner), messages_(messages), haveDevices_(!devices.empty())
{
    setWindowTitle("Tuner setup");
    auto* column = new QVBoxLayout(this);
    column->addWidget(new QLabel("Input device", this));
    device_ = new QComboBox(this);
    for (const std::string& name : devices) device_->addItem(QString::fromStdString(name));
    if (devices.empty()) device_->addItem("Driver NOT present!");
    device_->setCurrentIndex(device >= 0 && device < device_->count() ? device : 0);
    device_->setEnabled(haveDevices_);
    device_->setToolTip("The capture device the tuner listens to, at 44100 Hz (TunerWavein)");
    column->addWidget(device_);

    auto* strings = new QGroupBox("Strings setup", this);
    auto* grid = new QGridLayout(strings);
    setups_ = new QButtonGroup(this);
    for (int s = tools::kStandardSetup; s <= tools::kCustomSetup; ++s) {
        auto* b = new QRadioButton(tools::setupName(s), strings);
        setups_->addButton(b, s);
        grid->addWidget(b, s, 0, 1, 2);
    }
    if (auto* b = setups_->button(setup)) b->setChecked(true);
    auto* standard = new QPushButton("Set to default", strings);
    auto* bass = new QPushButton("Set to bass", strings);
    standard->setToolTip("Puts the notes of a standard guitar into the lists");
    bass->setToolTip("Puts the notes of a bass guitar into the lists");
    grid->addWidget(standard, 3, 0);
    grid->addWidget(bass, 3, 1);
    for (int i = 0; i < tools::kTunerStrings; ++i) {
        auto* label = new QLabel(tools::stringOrdinal(i), strings);
        auto* list = new QComboBox(strings);
        list->addItem("N/A");
        for (int n = 0; n < tools::kNoteCount; ++n) list->addItem(QString::fromStdString(tools::noteName(n)));
        list->setToolTip("The note of this string (N/A: not used)");
        notes_[static_cast<size_t>(i)] = list;
        grid->addWidget(label, 4 + i, 0);
        grid->addWidget(list, 4 + i, 1);
    }
    column->addWidget(strings);
    showNotes(customNotes);
    connect(standard, &QPushButton::clicked, this, [this] { showNotes(tools::builtInNotes(tools::kStandardSetup)); });
    connect(bass, &QPushButton::clicked, this, [this] { showNotes(tools::builtInNotes(tools::kBassSetup)); });
    connect(setups_, &QButtonGroup::idClicked, this, [this] { applyRules(); });

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help,
                                         this);
    column->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &TunerSetupDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::helpRequested, this, [] { showHelp("tuner"); });
    applyRules();
}

void TunerSetupDialog::showNotes(const std::array<int, 6>& notes)
{
    for (int i = 0; i < tools::kTunerStrings; ++i) {
        const int n = notes[static_cast<size_t>(i)];
        notes_[static_cast<size_t>(i)]->setCurrentIndex(tools::validNote(n) ? n + 1 : 0);
    }
}

void TunerSetupDialog::applyRules()
{
    // The lists are the custom notes: offered with the custom setting only.
    const bool custom = setups_->checkedId() == tools::kCustomSetup;
    for (QComboBox* list : notes_) list->setEnabled(custom);
}

void TunerSetupDialog::accept()
{
    tools::StringNotes notes;
    for (int i = 0; i < tools::kTunerStrings; ++i) notes[static_cast<size_t>(i)] = notes_[static_cast<size_t>(i)]->currentIndex() - 1;
    const int setup = std::max(0, setups_->checkedId());
    if (!tuner_.applySetup(setup, notes, device_->currentIndex(), messages_)) return;
    QDialog::accept();
}

} // namespace stravik::ui
