#pragma once
// An effect's page: a title row (the effect's name, its on/off box at the
// right), then groups of controls on a two-column grid. A page builds its
// controls once; refresh() shows the parameters as they are now (after a
// preset load, MIDI, or the effect list's switch).
#include "ui/Controls.h"
#include "ui/WindowContext.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

namespace stravik::ui {

class EffectPage : public QWidget {
    Q_OBJECT
public:
    // effect: its index in the effect list (0 Distortion … 12 VolSwell).
    EffectPage(const QString& title, int effect, WindowContext& context, QWidget* parent = nullptr);

    int effect() const { return effect_; }
    const QString& title() const { return title_; }
    // Every control from its parameter, and the enabling rules.
    virtual void refresh();
    // A run started or ended: controls that must not change during a run.
    virtual void runStateChanged(bool /*running*/) {}

protected:
    // A group box at (row, column) of the page's grid.
    QGroupBox* addGroup(const QString& title, int row, int column, int rowSpan = 1, int columnSpan = 1);
    // Rows inside a group, one under the other.
    SliderRow* addSlider(QGroupBox* group, SliderRow::Options options);
    CheckControl* addCheck(QGroupBox* group, const QString& label, Binding binding,
                           std::function<void()> after, const QString& tip);
    ListControl* addList(QGroupBox* group, const QString& label, const QStringList& entries, Binding binding,
                         std::function<void()> after, const QString& tip, std::vector<double> values = {});
    // A widget of the page's own in a group.
    void addRow(QGroupBox* group, QWidget* widget);
    // Called after refresh(): the page's enabling rules.
    virtual void applyRules() {}
    // The title row's on/off box.
    QCheckBox* onOffBox() const { return onOff_; }
    // The tooltip of a control: what it does, and its key.
    static QString tip(const QString& what, const char* key);

    WindowContext& context_;
    Engine& engine_;

private:
    QString title_;
    int effect_;
    QGridLayout* grid_;
    QCheckBox* onOff_;
    std::vector<std::function<void()>> refreshers_;
};

// The pages of the effect list, in its order.
struct EffectPageInfo {
    const char* button; // "Distortion", "AmpSim", ...
    const char* slug;   // "distortion", "amp", ... (screenshot names)
    std::function<EffectPage*(WindowContext&, QWidget*)> make;
};
const std::vector<EffectPageInfo>& effectPages();

} // namespace stravik::ui
