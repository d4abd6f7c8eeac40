#pragma once
// One equaliser's controls, as the I/O page (input and output) and the amp
// page show them: its switch and its type list on one line, then the
// controls of the type chosen — "Bass", "Mid" and "Treble" for the three
// section types, the five band sliders for "5Band", the graphic editor for
// "Graphic". The controls of the other types wait out of sight, keeping their
// own values (each type has its own settings), so the page stays small.
//
// Every change redesigns the equaliser through its unit: the sections at
// once, the FIR types on the background worker.
#include "effects/tone/Equaliser.h"
#include "ui/Controls.h"
#include "ui/GraphicEqEditor.h"

#include <QStackedWidget>
#include <QWidget>

#include <array>

namespace stravik::ui {

class EqualiserPanel : public QWidget {
    Q_OBJECT
public:
    // What tells one equaliser's keys from another's: "ictrl" and "i" make
    // ictrl_enabled, ictrl_eqtype, ictrl_bass, ictrl_equ0, i_gequ_cnt ...
    struct Keys {
        const char* enabled; // the switch's key
        const char* prefix;  // "ictrl", "octrl", "actrl"
        const char* graphic; // "i", "o", "a"
    };

    // The types' names, in the order of their numbers.
    static const QStringList& typeNames();
    // The tone sliders' text: "%ddB" of (value - 0.5) * 40.
    static QString toneText(double value);

    // switchLabel: the switch's text ("Input"); noun: the equaliser in the
    // tooltips ("input equaliser"); switched: after the switch was clicked.
    EqualiserPanel(Engine& engine, effects::Equaliser& unit, const QString& switchLabel, const QString& noun,
                   Keys keys, std::function<void()> switched, QWidget* parent = nullptr);

    void refresh();

    CheckControl* switchBox() const { return switch_; }
    ListControl* typeList() const { return type_; }
    // The controls of the type chosen: 0 the tone sliders, 1 the bands, 2 the editor.
    QStackedWidget* typeControls() const { return stack_; }
    const std::array<SliderRow*, 3>& toneRows() const { return tone_; }
    const std::array<SliderRow*, 5>& bandRows() const { return bands_; }
    GraphicEqEditor* editor() const { return editor_; }

private:
    void showType();

    effects::Equaliser& unit_;
    CheckControl* switch_;
    ListControl* type_;
    QStackedWidget* stack_;
    std::array<SliderRow*, 3> tone_{};
    std::array<SliderRow*, 5> bands_{};
    GraphicEqEditor* editor_;
};

} // namespace stravik::ui
