#pragma once
// A tool page of the window (Tuner, Metro, Files, Keys, MIDI, Setup): a title
// row, then groups of controls on a two-column grid, as the effect pages.
#include "ui/Controls.h"
#include "ui/WindowContext.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

class QHBoxLayout;

namespace stravik::ui {

class ToolPage : public QWidget {
    Q_OBJECT
public:
    ToolPage(const QString& title, WindowContext& context, QWidget* parent = nullptr);

    const QString& title() const { return title_; }
    // Every control from what it shows (settings changed elsewhere).
    virtual void refresh();
    // A run started or ended: controls that must not change during a run.
    virtual void runStateChanged(bool running);
    // Start was pressed: the page's fields go into the settings.
    virtual void collectSettings() {}
    // The tuner's capture is on (a run must not start then).
    virtual bool tunerRunning() const { return false; }
    // The window closes: whatever the page runs stops.
    virtual void closing() {}

protected:
    QGroupBox* addGroup(const QString& title, int row, int column, int rowSpan = 1, int columnSpan = 1);
    SliderRow* addSlider(QGroupBox* group, SliderRow::Options options);
    void addRow(QGroupBox* group, QWidget* widget);
    // The title row, for a page's own on/off box or buttons at the right.
    QHBoxLayout* titleRow() const { return titleRow_; }
    // A "Help" button in the title row that opens the page's help topic.
    void addHelp(const QString& topic);
    // Keeps every group's rows together at their top; call at the end of a
    // page's constructor.
    void finish();
    // The page's enabling rules, after refresh() and on a run's change.
    virtual void applyRules() {}
    static QString tip(const QString& what, const char* key);

    WindowContext& context_;
    Engine& engine_;

private:
    QString title_;
    QHBoxLayout* titleRow_;
    QGridLayout* grid_;
    std::vector<std::function<void()>> refreshers_;
};

// A page that is not there yet: its title and a note.
ToolPage* makePlaceholderPage(const QString& title, WindowContext& context, QWidget* parent);

} // namespace stravik::ui
