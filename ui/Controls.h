#pragma once
// The controls every page is made of: a slider row (label, slider, value in
// its format; right click resets), a check box and a list bound to a
// parameter, the lamps, the 16-step level meter and the volume slider.
//
// A control reads and writes its parameter through two functions, so the
// same row serves a plain key, an indexed key or a pair (a mixing ratio
// writes dry and wet). After the user changes a value the control calls its
// `after` function: the effect's prepare operation where its page needs one.
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QSlider>
#include <QString>
#include <QWidget>

#include <functional>

namespace stravik {
class Engine;
}

namespace stravik::ui {

// A parameter as a pair of functions on doubles.
struct Binding {
    std::function<double()> read;
    std::function<void(double)> write;
};
// A preset or settings key of the engine, by its full name ("echo_delay",
// "ictrl_equ3", "tuner_s2"). Integer keys truncate what they are given.
Binding bindKey(Engine& engine, const char* key);

// "%g"-style text of a number as the C library formats it, e.g.
// format("%g s", 0.5) → "0.5 s", format("%d Hz", 8000) → "8000 Hz".
QString format(const char* fmt, double value);

// A titled box of controls stacked in rows, placed in a page's grid.
QGroupBox* addGroupBox(QWidget* page, QGridLayout* grid, const QString& title, int row, int column, int rowSpan,
                       int columnSpan);
QString formatInt(const char* fmt, int value);

class SliderRow : public QWidget {
    Q_OBJECT
public:
    struct Options {
        QString label;                          // "Delay time:"
        int minimum = 0, maximum = 100, reset = 0; // slider positions
        std::function<double(int)> value;       // position → parameter value
        std::function<QString(double)> text;    // parameter value → shown text
        Binding binding;
        std::function<void()> after;            // after a change by the user
        QString tip;                            // the tooltip (what it does, the key)
        // parameter value → position; without it the nearest position is found
        std::function<int(double)> position;
        QString leftWord, rightWord;            // a ratio slider's two ends ("Dry", "Wet")
    };

    SliderRow(Options options, QWidget* parent = nullptr);
    // Shows the parameter's value as it is now (after a preset load).
    void refresh();
    QSlider* slider() const { return slider_; }
    QLabel* valueLabel() const { return value_; }
    int positionFor(double value) const;

signals:
    void changed(double value);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void moved(int position);
    void showValue(double value);

    Options options_;
    QSlider* slider_;
    QLabel* value_;
    bool refreshing_ = false;
};

// A check box bound to a 0/1 parameter.
class CheckControl : public QCheckBox {
    Q_OBJECT
public:
    CheckControl(const QString& label, Binding binding, std::function<void()> after, const QString& tip,
                 QWidget* parent = nullptr);
    void refresh();

private:
    Binding binding_;
    std::function<void()> after_;
    bool refreshing_ = false;
};

// A list bound to a parameter: entry i stands for values[i] (or i itself).
class ListControl : public QComboBox {
    Q_OBJECT
public:
    ListControl(const QStringList& entries, Binding binding, std::function<void()> after, const QString& tip,
                std::vector<double> values = {}, QWidget* parent = nullptr);
    void refresh();

private:
    Binding binding_;
    std::function<void()> after_;
    std::vector<double> values_;
    bool refreshing_ = false;
};

// A list whose entry, when longer than the box, ends in "..." rather than
// being cut off (the open list shows it whole).
class ElidedComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;

protected:
    void paintEvent(QPaintEvent*) override;
};

// A lamp: lit or not, drawn from the skin (clip lamps say "CLIP" too).
class Lamp : public QWidget {
    Q_OBJECT
public:
    enum Kind { Effect, Clip };
    explicit Lamp(Kind kind = Effect, QWidget* parent = nullptr);
    void setLit(bool lit);
    bool lit() const { return lit_; }
    QSize sizeHint() const override;

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent*) override;

private:
    Kind kind_;
    bool lit_ = false;
};

// A level meter: 16 segments (green to -12 dB, yellow to -3 dB, red above),
// step 0 shows nothing lit.
class LevelMeter : public QWidget {
    Q_OBJECT
public:
    explicit LevelMeter(QWidget* parent = nullptr);
    void setStep(int step);
    int step() const { return step_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    int step_ = 0;
};

// A volume: a vertical slider of 66 positions, position p meaning 15 - p dB
// (top +15 dB, bottom -50 dB), with its "%ddB" label.
class VolumeControl : public QWidget {
    Q_OBJECT
public:
    VolumeControl(const QString& name, Binding gain, const QString& tip, QWidget* parent = nullptr);
    // The gain changed from elsewhere (a preset, MIDI): move slider and label.
    void refresh();
    QSlider* slider() const { return slider_; }
    QLabel* label() const { return label_; }

private:
    Binding gain_;
    QSlider* slider_;
    QLabel* label_;
    bool refreshing_ = false;
};

} // namespace stravik::ui
