#include "ui/pages/EqualiserPanel.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include <cmath>

namespace stravik::ui {
namespace {

QString tipFor(const QString& what, const std::string& key) { return what + " (" + QString::fromStdString(key) + ")"; }

// A page of the type stack: rows from the top.
QWidget* rowsPage(QStackedWidget* stack)
{
    auto* page = new QWidget(stack);
    auto* rows = new QVBoxLayout(page);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(4);
    stack->addWidget(page);
    return page;
}

} // namespace

const QStringList& EqualiserPanel::typeNames()
{
    static const QStringList names = {"HI-FI", "Amp-UK", "Amp-US", "5Band", "Graphic"};
    return names;
}

QString EqualiserPanel::toneText(double value)
{
    // The decibels are whole at every slider position; the rounding to a
    // thousandth only keeps the float's last bit from tipping -2 to -1.
    const double db = std::round((value - 0.5) * 40.0 * 1000.0) / 1000.0;
    return formatInt("%ddB", static_cast<int>(db));
}

EqualiserPanel::EqualiserPanel(Engine& engine, effects::Equaliser& unit, const QString& switchLabel,
                               const QString& noun, Keys keys, std::function<void()> switched, QWidget* parent)
    : QWidget(parent), unit_(unit)
{
    const std::string prefix = keys.prefix;
    const std::string graphic = std::string(keys.graphic) + "_gequ_";
    auto redesign = [this] { unit_.design(); };

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    auto* top = new QHBoxLayout;
    switch_ = new CheckControl(switchLabel, bindKey(engine, keys.enabled), std::move(switched),
                               tipFor("Switches the " + noun + " on or off", keys.enabled), this);
    top->addWidget(switch_);
    top->addStretch(1);
    const std::string typeKey = prefix + "_eqtype";
    type_ = new ListControl(typeNames(), bindKey(engine, typeKey.c_str()), redesign,
                            tipFor("The kind of " + noun +
                                       ": hi-fi shelves, a British or an American amp's tone stack, five bands "
                                       "or a curve of your own",
                                   typeKey),
                            {}, this);
    type_->setMinimumWidth(110);
    top->addWidget(type_);
    column->addLayout(top);

    stack_ = new QStackedWidget(this);
    column->addWidget(stack_, 1);

    QWidget* tonePage = rowsPage(stack_);
    const char* toneNames[3] = {"Bass", "Mid", "Treble"};
    const char* toneKeys[3] = {"_bass", "_mid", "_treble"};
    const char* toneTips[3] = {"Cut or boost of the low end", "Cut or boost of the middle",
                               "Cut or boost of the high end"};
    for (int i = 0; i < 3; ++i) {
        const std::string key = prefix + toneKeys[i];
        tone_[static_cast<size_t>(i)] =
            new SliderRow({.label = toneNames[i], .minimum = 0, .maximum = 100, .reset = 50,
                           .value = [](int p) { return p / 100.0; },
                           .text = &EqualiserPanel::toneText,
                           .binding = bindKey(engine, key.c_str()),
                           .after = redesign,
                           .tip = tipFor(QString(toneTips[i]) + ", -20 to +20 dB", key),
                           .position = [](double v) { return static_cast<int>(std::lround(v * 100.0)); }},
                          tonePage);
        tonePage->layout()->addWidget(tone_[static_cast<size_t>(i)]);
    }
    static_cast<QVBoxLayout*>(tonePage->layout())->addStretch(1);

    QWidget* bandPage = rowsPage(stack_);
    const char* bandNames[5] = {"100 Hz", "600 Hz", "1 kHz", "3.3 kHz", "10 kHz"};
    for (int k = 0; k < 5; ++k) {
        const std::string key = prefix + "_equ" + std::to_string(k);
        bands_[static_cast<size_t>(k)] =
            new SliderRow({.label = bandNames[k], .minimum = 0, .maximum = 100, .reset = 50,
                           .value = [](int p) { return p / 100.0; },
                           .text = &EqualiserPanel::toneText,
                           .binding = bindKey(engine, key.c_str()),
                           .after = redesign,
                           .tip = tipFor(QString("Cut or boost around ") + bandNames[k] + ", -20 to +20 dB", key),
                           .position = [](double v) { return static_cast<int>(std::lround(v * 100.0)); }},
                          bandPage);
        bandPage->layout()->addWidget(bands_[static_cast<size_t>(k)]);
    }
    static_cast<QVBoxLayout*>(bandPage->layout())->addStretch(1);

    editor_ = new GraphicEqEditor(unit.settings(), [this] { unit_.designGraphic(); },
                                  tipFor("The " + noun +
                                             "'s curve: drag the points, double-click to add one, Delete removes "
                                             "the selected ones, right click for more",
                                         graphic + "cnt, " + graphic + "x, " + graphic + "y"),
                                  stack_);
    stack_->addWidget(editor_);

    connect(type_, &QComboBox::currentIndexChanged, this, &EqualiserPanel::showType);
    refresh();
}

void EqualiserPanel::refresh()
{
    switch_->refresh();
    type_->refresh();
    for (SliderRow* row : tone_) row->refresh();
    for (SliderRow* row : bands_) row->refresh();
    editor_->refresh();
    showType();
}

void EqualiserPanel::showType()
{
    const int type = type_->currentIndex();
    stack_->setCurrentIndex(type == effects::kEqGraphic ? 2 : type == effects::kEqFiveBand ? 1 : 0);
}

} // namespace stravik::ui
