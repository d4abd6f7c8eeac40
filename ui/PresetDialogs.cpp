#include "ui/PresetDialogs.h"

#include "engine/Engine.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace stravik::ui {

SectionsDialog::SectionsDialog(bool save, const QString& name, const SectionFlags& enabled,
                               const SectionFlags& checked, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle((save ? "Save preset - " : "Load preset - ") + name);
    auto* column = new QVBoxLayout(this);
    column->addWidget(new QLabel(save ? "Select controls to include in preset:" : "Select controls to load from preset:",
                                 this));
    auto* grid = new QGridLayout;
    for (int i = 0; i < kPresetSectionCount; ++i) {
        auto* box = new QCheckBox(QString::fromLatin1(sectionLabel(static_cast<Section>(i))), this);
        box->setEnabled(enabled[static_cast<size_t>(i)]);
        box->setChecked(checked[static_cast<size_t>(i)] && enabled[static_cast<size_t>(i)]);
        grid->addWidget(box, i % 7, i / 7);
        boxes_[static_cast<size_t>(i)] = box;
    }
    column->addLayout(grid);
    auto* buttons = new QHBoxLayout;
    const auto setAll = [this](bool on) {
        for (QCheckBox* b : boxes_)
            if (b->isEnabled()) b->setChecked(on);
    };
    if (save) {
        auto* enabledButton = new QPushButton("All enabled effects", this);
        connect(enabledButton, &QPushButton::clicked, this, [this] {
            for (int i = 0; i < kPresetSectionCount; ++i)
                boxes_[static_cast<size_t>(i)]->setChecked(enabledEffects_[static_cast<size_t>(i)]);
        });
        buttons->addWidget(enabledButton);
    }
    auto* all = new QPushButton("All", this);
    auto* none = new QPushButton("None", this);
    connect(all, &QPushButton::clicked, this, [setAll] { setAll(true); });
    connect(none, &QPushButton::clicked, this, [setAll] { setAll(false); });
    buttons->addWidget(all);
    buttons->addWidget(none);
    buttons->addStretch(1);
    column->addLayout(buttons);
    if (!save) {
        turnOff_ = new QCheckBox("Turn off other effects", this);
        column->addWidget(turnOff_);
    }
    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    column->addWidget(box);
}

SectionFlags SectionsDialog::selection() const
{
    SectionFlags s{};
    for (int i = 0; i < kPresetSectionCount; ++i) s[static_cast<size_t>(i)] = boxes_[static_cast<size_t>(i)]->isChecked();
    return s;
}

SectionFlags enabledEffectSections(const Engine& engine)
{
    const auto& p = engine.params;
    SectionFlags on{};
    const auto set = [&on](Section s, bool v) { on[static_cast<size_t>(s)] = v; };
    set(Section::distortion, p.dist.dist_enabled != 0);
    set(Section::echo, p.echo.echo_enabled != 0);
    set(Section::ioctrl, p.io.ictrl_enabled || p.io.octrl_enabled);
    set(Section::pitch, p.pitch.pitch_enabled != 0);
    set(Section::reverb, p.rev.rev_enabled != 0);
    set(Section::wah, p.wah.wah_enabled != 0);
    set(Section::chorus, p.chorus.chorus_enabled != 0);
    set(Section::tremolo, p.trem.trem_enabled != 0);
    set(Section::IO_Volumes, true);
    set(Section::ewah, p.ewah.ewah_enabled != 0);
    set(Section::compress, p.compr.icompr_enabled || p.compr.ocompr_enabled);
    set(Section::phaser, p.phaser.phaser_enabled != 0);
    set(Section::spkcab, p.amp.spkcab_enabled != 0);
    set(Section::swell, p.swell.swell_enabled != 0);
    return on;
}

bool WindowLoadDialog::choose(const std::string& name, const SectionFlags& held, SectionFlags& selection,
                              bool& turnOffOthers)
{
    SectionsDialog dialog(false, QString::fromStdString(name), held, held, parent_);
    dialog.turnOffOthers()->setChecked(turnOffOthers);
    if (dialog.exec() != QDialog::Accepted) return false;
    selection = dialog.selection();
    turnOffOthers = dialog.turnOffOthers()->isChecked();
    return true;
}

} // namespace stravik::ui
