#pragma once
// The Save preset and Load preset dialogs: which of the 14 sections go into
// a preset, or come out of one.
#include "presets/PresetStore.h"

#include <QDialog>

#include <array>

class QCheckBox;

namespace stravik {
class Engine;
}

namespace stravik::ui {

class SectionsDialog : public QDialog {
    Q_OBJECT
public:
    // save: "Save preset - NAME" (with "All enabled effects"); otherwise
    // "Load preset - NAME" (boxes only for the sections the preset holds, and
    // "Turn off other effects").
    SectionsDialog(bool save, const QString& name, const SectionFlags& enabled, const SectionFlags& checked,
                   QWidget* parent = nullptr);
    SectionFlags selection() const;
    // The "All enabled effects" button's choice, from the engine's flags.
    void setEnabledEffects(const SectionFlags& on) { enabledEffects_ = on; }
    QCheckBox* turnOffOthers() const { return turnOff_; }
    QCheckBox* section(int i) const { return boxes_[static_cast<size_t>(i)]; }

private:
    std::array<QCheckBox*, kPresetSectionCount> boxes_{};
    QCheckBox* turnOff_ = nullptr;
    SectionFlags enabledEffects_{};
};

// The sections whose effects are on now, as "All enabled effects" picks them.
SectionFlags enabledEffectSections(const Engine& engine);

// The load dialog as the preset store asks for it.
class WindowLoadDialog final : public LoadPresetDialog {
public:
    explicit WindowLoadDialog(QWidget* parent) : parent_(parent) {}
    bool choose(const std::string& name, const SectionFlags& held, SectionFlags& selection,
                bool& turnOffOthers) override;

private:
    QWidget* parent_;
};

} // namespace stravik::ui
