#pragma once
// What several effect pages need besides the base controls: a set of radio
// buttons bound to a parameter, marks and words under a slider, and slider
// rows stood upright (the envelope wah's curve).
#include "ui/EffectPage.h"

#include <QButtonGroup>
#include <QRadioButton>
#include <QStringList>

#include <functional>
#include <utility>
#include <vector>

namespace stravik::ui {

// Radio buttons: button i stands for values[i]. A value that matches no
// button (a stray preset) leaves every button unchecked.
class ChoiceButtons : public QWidget {
    Q_OBJECT
public:
    ChoiceButtons(const QStringList& labels, std::vector<int> values, Binding binding, std::function<void()> after,
                  const QString& tip, Qt::Orientation orientation, QWidget* parent = nullptr);
    void refresh();
    QRadioButton* button(int i) const { return buttons_[static_cast<size_t>(i)]; }
    int count() const { return static_cast<int>(buttons_.size()); }

signals:
    void changed();

private:
    std::vector<QRadioButton*> buttons_;
    std::vector<int> values_;
    Binding binding_;
    std::function<void()> after_;
    QButtonGroup* group_;
};

// Short words or ticks under a slider, each at the slider position it names
// (an empty text draws a tick only). Follows the slider's geometry.
class SliderMarks : public QWidget {
public:
    SliderMarks(QSlider* slider, std::vector<std::pair<int, QString>> marks, QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent*) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QSlider* slider_;
    std::vector<std::pair<int, QString>> marks_;
    bool hasText_ = false;
};

// An effect page that also has radio buttons and slider marks.
class KitPage : public EffectPage {
public:
    KitPage(const QString& title, int effect, WindowContext& context, QWidget* parent = nullptr);
    void refresh() override;

protected:
    // The end of a page's constructor: the groups' rows packed at their top,
    // then every control from its parameter.
    void finish();
    ChoiceButtons* addChoice(QGroupBox* group, const QStringList& labels, std::vector<int> values, Binding binding,
                             std::function<void()> after, const QString& tip,
                             Qt::Orientation orientation = Qt::Horizontal);
    // Marks under the slider of a row just added to the group.
    SliderMarks* addMarks(QGroupBox* group, SliderRow* row, std::vector<std::pair<int, QString>> marks);
    // A note in secondary text.
    QLabel* addNote(QGroupBox* group, const QString& text);
    // Stands a row upright: the slider (its lowest position at the top, as
    // the mapping of such a slider expects) over its value.
    static void standUpright(SliderRow* row, int height);
    // The label at the left of a slider row (null when it has none).
    static QLabel* rowLabel(SliderRow* row);

private:
    std::vector<ChoiceButtons*> choices_;
};

} // namespace stravik::ui
