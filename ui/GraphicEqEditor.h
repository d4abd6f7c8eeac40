#pragma once
// The graphic equaliser's editor: the curve of up to 100 points (frequency in
// Hz, gain in dB) drawn over a log-frequency / dB grid.
//
//   drag a point        moves it (and every other selected point with it)
//   click a point       selects it; Ctrl+click adds it to or takes it from the selection
//   double-click        adds a point there
//   Delete              removes the selected points
//   right click         "Select &all", "&Reset", "Copy setting", "Paste setting"
//   Ctrl+A, Ctrl+C, Ctrl+V   the same as the menu
//
// The editor owns no curve of its own: it shows and writes the points of one
// equaliser's settings, and after every change calls its `after` function,
// which hands the redesign of the filter to the background worker. The
// points are kept in order of frequency, as the design wants them.
#include "effects/tone/Equaliser.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

class QMenu;
class QAction;

namespace stravik::ui {

class GraphicEqEditor : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxPoints = effects::EqualiserSettings::kMaxPoints;
    // What the grid shows; points are kept inside it while they are moved.
    static constexpr double kLowestHz = 20.0, kHighestHz = 20000.0;
    static constexpr double kLowestDb = -20.0, kHighestDb = 20.0;
    // The clipboard format of a copied curve (the text is one "Hz dB" pair a
    // line, so it also pastes into a text editor).
    static constexpr const char* kMimeType = "application/x-stravik-eq-curve";

    struct Point {
        double hz = 0.0;
        double db = 0.0;
        bool operator==(const Point&) const = default;
    };

    GraphicEqEditor(effects::EqualiserSettings& settings, std::function<void()> after, const QString& tip,
                    QWidget* parent = nullptr);

    // Shows the points as the settings hold them now (after a preset load).
    void refresh();
    std::vector<Point> points() const;
    bool selected(int index) const;
    int selectedCount() const;

    // The menu's commands.
    void selectAll();
    // The selected points back to 0 dB; with all of them selected (or none),
    // the whole curve back to its start: 100 Hz and 20000 Hz at 0 dB.
    void reset();
    void copySetting();
    void pasteSetting();
    void removeSelected();

    // The right-click menu (its actions, for the keyboard and tests).
    QMenu* menu() const { return menu_; }

    QSize sizeHint() const override { return {300, 150}; }
    QSize minimumSizeHint() const override { return {220, 110}; }

signals:
    void changed();

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;
    void mouseReleaseEvent(QMouseEvent*) override;
    void mouseDoubleClickEvent(QMouseEvent*) override;
    void keyPressEvent(QKeyEvent*) override;
    void contextMenuEvent(QContextMenuEvent*) override;

private:
    struct Marked {
        Point point;
        bool selected = false;
    };

    QRectF plotArea() const;
    QPointF toScreen(const Point& p) const;
    Point fromScreen(const QPointF& s) const;
    int pointAt(const QPointF& s) const;
    void setPoints(std::vector<Marked> points); // sorts, writes, redesigns
    void store();

    effects::EqualiserSettings& settings_;
    std::function<void()> after_;
    std::vector<Marked> points_;
    QMenu* menu_;

    // A drag in progress: the curve as it was when the button went down.
    bool dragging_ = false;
    QPointF dragStart_;
    std::vector<Marked> dragOrigin_;
};

} // namespace stravik::ui
