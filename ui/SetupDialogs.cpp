#include "ui/SetupDialogs.h"

#include "dsp/CpuFeatures.h"
#include "engine/Settings.h"
#include "ui/Help.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QPushButton>

namespace stravik::ui {

namespace {
const QStringList kModes = {"Compatibility (safer)", "Fastest (recommended)"}; // index = the setting
}

AdvancedOptionsDialog::AdvancedOptionsDialog(Settings& settings, QWidget* parent)
    : QDialog(parent), settings_(settings)
{
    setWindowTitle("Advanced options");
    auto* form = new QFormLayout(this);
    input_ = new QComboBox(this);
    input_->addItems(kModes);
    input_->setCurrentIndex(settings.InputFast.get() ? 1 : 0);
    // Capture is always the standard one here: no faster path to choose.
    input_->setEnabled(false);
    input_->setToolTip("How the input is read (only one way on this system) (InputFast)");
    form->addRow("Input operation mode:", input_);
    output_ = new QComboBox(this);
    output_->addItems(kModes);
    output_->setCurrentIndex(settings.OutFast.get() ? 1 : 0);
    output_->setToolTip("Fastest: blocks placed from the playing position; Compatibility: from the writing "
                        "position (OutFast)");
    form->addRow("Output operation mode:", output_);
    const auto box = [&](const QString& text, bool on, const QString& tip) {
        auto* b = new QCheckBox(text, this);
        b->setChecked(on);
        b->setToolTip(tip);
        form->addRow(b);
        return b;
    };
    altDuplex_ = box("Alt duplex mode", settings.AltDuplex.get() != 0,
                     "Opens the output before the input (for devices that need it) (AltDuplex)");
    rateAdapt_ = box("Compensate sample rate differences (recommended)", settings.SRateAdapt.get() != 0,
                     "Keeps the delay steady when input and output clocks differ a little (SRateAdapt)");
    screenSaver_ = box("Disable screen saver activation during processing", settings.DisableSSaver.get() != 0,
                       "(DisableSSaver)");
    beep_ = box("Beep on start", settings.BeepOnStart.get() != 0, "A short tone when playing starts (BeepOnStart)");
    noMeter_ = box("Disable level meter", settings.LMeterON.get() == 0, "Saves a little processor time (LMeterON)");
    zoom_ = box("Zoom window (requires restart)", settings.ZoomWindows.get() != 0,
                "Draws the window twice as large (ZoomWindows)");
    limiter_ = box("Limiter on output", settings.EnableLimiter.get() != 0,
                   "Keeps peaks below full scale before the soft clipper (EnableLimiter)");
    noSse_ = box("Disable CPU SSE optimizations (not recommended)", !dsp::cpu::simdEnabled(),
                 "Plain code instead of the processor's vector instructions (EnableSSE)");
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help,
                                         this);
    auto* defaults = buttons->addButton("Defaults", QDialogButtonBox::ResetRole);
    form->addRow(buttons);
    connect(defaults, &QPushButton::clicked, this, &AdvancedOptionsDialog::setDefaults);
    connect(buttons, &QDialogButtonBox::accepted, this, &AdvancedOptionsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::helpRequested, this, [] { showHelp("setup"); });
}

void AdvancedOptionsDialog::setDefaults()
{
    if (input_->isEnabled()) input_->setCurrentIndex(1);
    output_->setCurrentIndex(1);
    altDuplex_->setChecked(false);
    rateAdapt_->setChecked(true);
    screenSaver_->setChecked(true);
    beep_->setChecked(true);
    noMeter_->setChecked(false);
    zoom_->setChecked(false);
    limiter_->setChecked(false);
    noSse_->setChecked(false);
}

void AdvancedOptionsDialog::accept()
{
    settings_.InputFast = input_->currentIndex();
    settings_.OutFast = output_->currentIndex();
    settings_.AltDuplex = altDuplex_->isChecked() ? 1 : 0;
    settings_.SRateAdapt = rateAdapt_->isChecked() ? 1 : 0;
    settings_.DisableSSaver = screenSaver_->isChecked() ? 1 : 0;
    settings_.BeepOnStart = beep_->isChecked() ? 1 : 0;
    settings_.LMeterON = noMeter_->isChecked() ? 0 : 1;
    settings_.ZoomWindows = zoom_->isChecked() ? 1 : 0;
    settings_.EnableLimiter = limiter_->isChecked() ? 1 : 0;
    dsp::cpu::setSimdEnabled(!noSse_->isChecked());
    QDialog::accept();
}

} // namespace stravik::ui
