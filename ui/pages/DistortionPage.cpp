// The distortion's page: the mode and its drive, the low-pass behind every
// mode, the Overdrive's clipping type and dry mix with the state of its
// table, the "Saturation" shaper, and where the stage sits in the chain.
#include "engine/Engine.h"
#include "ui/pages/PageKit.h"
#include "ui/pages/Pages.h"

#include <QLabel>
#include <QMetaObject>

#include <cmath>
#include <memory>

namespace stravik::ui {
namespace {

// Shows the table's progress, which the background worker reports, in a
// label of the window's thread.
class TableStatus final : public effects::DistortionStatus {
public:
    explicit TableStatus(QLabel* label) : label_(label) {}
    void showStatus(const char* text) override
    {
        const QString shown = QString::fromLatin1(text);
        QMetaObject::invokeMethod(label_, [label = label_, shown] { label->setText(shown); }, Qt::QueuedConnection);
    }

private:
    QLabel* label_;
};

class DistortionPage final : public KitPage {
public:
    DistortionPage(WindowContext& c, QWidget* parent) : KitPage(tr("Distortion"), kDistortion, c, parent)
    {
        // Every slider of the page ends the same way: Setup while a run goes
        // (and a new table for a new drive in Overdrive mode), else the table
        // is only marked stale and the run's start rebuilds it.
        const auto slidersMoved = [this] { unit().slidersChanged(engine_.running.load()); };
        const auto percent = [](double v) { return formatInt("%d %%", static_cast<int>(std::lround(v * 100))); };

        QGroupBox* mode = addGroup(tr("Mode"), 0, 0);
        addList(mode, "Mode:", {"Overdrive", "Distortion", "Metal Distortion"},
                bindKey(engine_, "dist_mode"), [this] { unit().modeChanged(); },
                tip(tr("Overdrive (diode clipper), Distortion (wave shaper) or Metal Distortion"), "dist_mode"));
        addSlider(mode, {.label = "DRIVE", .minimum = 0, .maximum = 1000, .reset = 500,
                         .value = [](int p) { return static_cast<double>(p); },
                         .text = [](double v) { return formatInt("%d %%", static_cast<int>(v / 10)); },
                         .binding = bindKey(engine_, "dist_drive"),
                         .after = slidersMoved,
                         .tip = tip(tr("How hard the signal drives the stage"), "dist_drive"),
                         .position = [](double v) { return static_cast<int>(std::lround(v)); }});

        QGroupBox* filter = addGroup(tr("Filter"), 0, 1);
        addSlider(filter, {.label = "LowPass:", .minimum = 100, .maximum = 16000, .reset = 5500,
                           .value = [](int p) { return static_cast<double>(p); },
                           .text = [](double v) { return formatInt("%d Hz", static_cast<int>(v)); },
                           .binding = bindKey(engine_, "dist_lpfreq"),
                           .after = slidersMoved,
                           .tip = tip(tr("Corner of the low-pass behind the distortion"), "dist_lpfreq"),
                           .position = [](double v) { return static_cast<int>(std::lround(v)); }});
        SliderRow* q = addSlider(filter, {.label = "LP Filter Q:", .minimum = 10, .maximum = 200, .reset = 70,
                                          .value = [](int p) { return p / 100.0; },
                                          .text = [](double v) { return format("%g", v); },
                                          .binding = bindKey(engine_, "dist_lpq"),
                                          .after = slidersMoved,
                                          .tip = tip(tr("Resonance of the low-pass"), "dist_lpq"),
                                          // This slider has always stood at Q x 101.
                                          .position = [](double v) { return static_cast<int>(v * 101); }});
        addMarks(filter, q, {{70, {}}});

        overdrive_ = addGroup(tr("Overdrive options"), 1, 0);
        auto* clipping = new QLabel("Clipping type", overdrive_);
        addRow(overdrive_, clipping);
        addChoice(overdrive_, {"Soft", "Normal", "Hard", "XHard"}, {0, 1, 2, 3}, bindKey(engine_, "dist_clip"),
                  [this] { unit().clippingTypeChanged(); },
                  tip(tr("How sharply the diodes clip; the table is computed again"), "dist_clip"));
        addSlider(overdrive_, {.label = "Dry mix", .minimum = 0, .maximum = 100, .reset = 20,
                               .value = [](int p) { return p / 100.0; },
                               .text = percent,
                               .binding = bindKey(engine_, "dist_dry_mix"),
                               .after = slidersMoved,
                               .tip = tip(tr("Clean, bass-free signal mixed into the overdrive"), "dist_dry_mix")});
        status_ = new QLabel(overdrive_);
        status_->setObjectName("distortionStatus");
        status_->setProperty("role", "secondary");
        status_->setToolTip(tr("The overdrive's table for the current drive and clipping type"));
        if (unit().tableReady()) status_->setText("Ready.");
        addRow(overdrive_, status_);
        display_ = std::make_unique<TableStatus>(status_);
        unit().setStatusDisplay(display_.get());

        QGroupBox* saturation = addGroup(tr("Shaper"), 1, 1);
        addCheck(saturation, "Saturation", bindKey(engine_, "dist_fbon"), {},
                 tip(tr("Rounds the result off with a soft limit, in every mode"), "dist_fbon"));
        amount_ = addSlider(saturation, {.label = tr("Amount:"), .minimum = 0, .maximum = 100, .reset = 20,
                                         .value = [](int p) { return p / 100.0; },
                                         .text = percent,
                                         .binding = bindKey(engine_, "dist_fb"),
                                         .after = slidersMoved,
                                         .tip = tip(tr("How soon the saturation rounds the peaks"), "dist_fb")});

        QGroupBox* placement = addGroup(tr("Placement"), 2, 0);
        addCheck(placement, "After Wah", bindKey(engine_, "dist_awah"), {},
                 tip(tr("The wah runs before the distortion"), "dist_awah"));
        addCheck(placement, "After Phaser", bindKey(engine_, "dist_afterwah"), {},
                 tip(tr("The phaser runs before the distortion"), "dist_afterwah"));
        finish();
    }

    ~DistortionPage() override
    {
        // A table job may be reporting to our label right now: take the
        // display away and let the job end before the label goes.
        unit().setStatusDisplay(nullptr);
        if (engine_.worker().busyWith(effects::Distortion::kTableJob)) engine_.worker().waitIdle();
    }

protected:
    void applyRules() override
    {
        // The clipping type and the dry mix act in Overdrive mode only; the
        // amount only with the saturation on.
        overdrive_->setEnabled(engine_.params.dist.dist_mode.get() == effects::kOverdrive);
        amount_->setEnabled(engine_.params.dist.dist_fbon.get() != 0);
    }

private:
    effects::Distortion& unit() { return engine_.effects().distortionUnit; }

    QGroupBox* overdrive_ = nullptr;
    SliderRow* amount_ = nullptr;
    QLabel* status_ = nullptr;
    std::unique_ptr<TableStatus> display_;
};

} // namespace

EffectPage* makeDistortionPage(WindowContext& c, QWidget* parent) { return new DistortionPage(c, parent); }

} // namespace stravik::ui
