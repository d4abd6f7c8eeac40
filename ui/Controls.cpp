#include "ui/Controls.h"

#include "engine/Engine.h"
#include "engine/ParameterTable.h"
#include "ui/Skin.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QVBoxLayout>

#include <cmath>
#include <cstdio>

namespace stravik::ui {

Binding bindKey(Engine& engine, const char* key)
{
    int index = 0;
    const KeyInfo* info = findKey(key, &index);
    Q_ASSERT_X(info && info->get && info->set, "bindKey", key);
    return {[&engine, info, index] { return info->get(engine, index); },
            [&engine, info, index](double v) { info->set(engine, index, v); }};
}

QString format(const char* fmt, double value)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, value);
    return QString::fromUtf8(buf);
}

QString formatInt(const char* fmt, int value)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, value);
    return QString::fromUtf8(buf);
}

// ---- SliderRow

QGroupBox* addGroupBox(QWidget* page, QGridLayout* grid, const QString& title, int row, int column, int rowSpan,
                       int columnSpan)
{
    auto* group = new QGroupBox(title, page);
    auto* rows = new QVBoxLayout(group);
    rows->setContentsMargins(8, 6, 8, 6);
    rows->setSpacing(4);
    grid->addWidget(group, row, column, rowSpan, columnSpan);
    return group;
}

SliderRow::SliderRow(Options options, QWidget* parent) : QWidget(parent), options_(std::move(options))
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    if (!options_.label.isEmpty()) {
        auto* name = new QLabel(options_.label, this);
        name->setMinimumWidth(104);
        row->addWidget(name);
    }
    if (!options_.leftWord.isEmpty()) {
        auto* left = new QLabel(options_.leftWord, this);
        left->setProperty("role", "secondary");
        row->addWidget(left);
    }
    slider_ = new QSlider(Qt::Horizontal, this);
    slider_->setRange(options_.minimum, options_.maximum);
    slider_->setSingleStep(1);
    slider_->setPageStep(10);
    slider_->setMinimumWidth(90);
    slider_->installEventFilter(this);
    slider_->setToolTip(options_.tip);
    row->addWidget(slider_, 1);
    if (!options_.rightWord.isEmpty()) {
        auto* right = new QLabel(options_.rightWord, this);
        right->setProperty("role", "secondary");
        row->addWidget(right);
    }
    value_ = new QLabel(this);
    value_->setProperty("role", "value");
    value_->setMinimumWidth(64);
    value_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    if (!options_.text) value_->hide();
    row->addWidget(value_);
    setToolTip(options_.tip);
    connect(slider_, &QSlider::valueChanged, this, &SliderRow::moved);
    refresh();
}

int SliderRow::positionFor(double value) const
{
    if (options_.position) return std::clamp(options_.position(value), options_.minimum, options_.maximum);
    int best = options_.minimum;
    double bestDistance = INFINITY;
    for (int p = options_.minimum; p <= options_.maximum; ++p) {
        const double d = std::fabs(options_.value(p) - value);
        if (d < bestDistance) {
            bestDistance = d;
            best = p;
        }
    }
    return best;
}

void SliderRow::refresh()
{
    const double v = options_.binding.read();
    refreshing_ = true;
    slider_->setValue(positionFor(v));
    refreshing_ = false;
    showValue(v);
}

void SliderRow::showValue(double value)
{
    if (options_.text) value_->setText(options_.text(value));
}

void SliderRow::moved(int position)
{
    if (refreshing_) return;
    const double v = options_.value(position);
    options_.binding.write(v);
    showValue(v);
    if (options_.after) options_.after();
    emit changed(v);
}

bool SliderRow::eventFilter(QObject* watched, QEvent* event)
{
    // A right click puts the slider back to its reset position, applied like
    // any other move.
    if (watched == slider_ && event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) {
        if (slider_->value() == options_.reset)
            moved(options_.reset);
        else
            slider_->setValue(options_.reset);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

// ---- CheckControl

CheckControl::CheckControl(const QString& label, Binding binding, std::function<void()> after, const QString& tip,
                           QWidget* parent)
    : QCheckBox(label, parent), binding_(std::move(binding)), after_(std::move(after))
{
    setToolTip(tip);
    refresh();
    connect(this, &QCheckBox::toggled, this, [this](bool on) {
        if (refreshing_) return;
        binding_.write(on ? 1 : 0);
        if (after_) after_();
    });
}

void CheckControl::refresh()
{
    refreshing_ = true;
    setChecked(binding_.read() != 0);
    refreshing_ = false;
}

// ---- ListControl

ListControl::ListControl(const QStringList& entries, Binding binding, std::function<void()> after, const QString& tip,
                         std::vector<double> values, QWidget* parent)
    : QComboBox(parent), binding_(std::move(binding)), after_(std::move(after)), values_(std::move(values))
{
    addItems(entries);
    setToolTip(tip);
    refresh();
    connect(this, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (refreshing_ || i < 0) return;
        binding_.write(values_.empty() ? i : values_[static_cast<size_t>(i)]);
        if (after_) after_();
    });
}

void ListControl::refresh()
{
    const double v = binding_.read();
    int index = static_cast<int>(v);
    if (!values_.empty()) {
        index = 0;
        for (size_t i = 0; i < values_.size(); ++i)
            if (std::fabs(values_[i] - v) < std::fabs(values_[static_cast<size_t>(index)] - v))
                index = static_cast<int>(i);
    }
    refreshing_ = true;
    setCurrentIndex(std::clamp(index, 0, count() - 1));
    refreshing_ = false;
}

// ---- ElidedComboBox

void ElidedComboBox::paintEvent(QPaintEvent*)
{
    QStylePainter painter(this);
    QStyleOptionComboBox option;
    initStyleOption(&option);
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    const QRect text = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    option.currentText = fontMetrics().elidedText(option.currentText, Qt::ElideRight, text.width());
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}

// ---- Lamp

Lamp::Lamp(Kind kind, QWidget* parent) : QWidget(parent), kind_(kind)
{
    setFixedSize(sizeHint());
    if (kind_ == Effect) setCursor(Qt::PointingHandCursor);
}

QSize Lamp::sizeHint() const { return kind_ == Clip ? QSize(44, 16) : QSize(18, 18); }

void Lamp::setLit(bool lit)
{
    if (lit == lit_) return;
    lit_ = lit;
    update();
}

void Lamp::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QPixmap image = skinImage(kind_ == Clip ? (lit_ ? "clip-on" : "clip-off") : (lit_ ? "lamp-on" : "lamp-off"));
    p.drawPixmap(QRect(1, (height() - 16) / 2, 16, 16), image);
    if (kind_ == Clip) {
        QFont f = font();
        f.setPointSize(kSecondaryPoints);
        f.setBold(lit_);
        p.setFont(f);
        p.setPen(lit_ ? colour::meterRed : colour::secondaryText);
        p.drawText(QRect(19, 0, width() - 19, height()), Qt::AlignVCenter | Qt::AlignLeft, "CLIP");
    }
}

void Lamp::mousePressEvent(QMouseEvent* e)
{
    if (e->button() == Qt::LeftButton) emit clicked();
}

// ---- LevelMeter

LevelMeter::LevelMeter(QWidget* parent) : QWidget(parent) { setFixedSize(sizeHint()); }

QSize LevelMeter::sizeHint() const { return QSize(24, 16 * 8 + 2); }

void LevelMeter::setStep(int step)
{
    step = std::clamp(step, 0, 16);
    if (step == step_) return;
    step_ = step;
    update();
}

void LevelMeter::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    // Segment i (0 at the bottom) stands for values up to (i + 1) * 100 / 16;
    // the meter value is 2 * (dB + 50): -12 dB is 76, -3 dB is 94.
    for (int i = 0; i < 16; ++i) {
        const int top = (i + 1) * 100 / 16;
        const char* colourName = top > 94 ? "red" : top > 76 ? "yellow" : "green";
        const QString name = QString("meter-%1-%2").arg(colourName).arg(i < step_ ? "on" : "off");
        p.drawPixmap(QRect(1, height() - 1 - (i + 1) * 8, 22, 7), skinImage(name));
    }
}

// ---- VolumeControl

namespace {

double decibels(double gain) { return gain >= 1e-5 ? 20.0 * std::log10(gain) : -100.0; }

} // namespace

VolumeControl::VolumeControl(const QString& name, Binding gain, const QString& tip, QWidget* parent)
    : QWidget(parent), gain_(std::move(gain))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    slider_ = new QSlider(Qt::Vertical, this);
    slider_->setRange(0, 65);
    // Position 0 (+15 dB) at the top.
    slider_->setInvertedAppearance(true);
    slider_->setInvertedControls(true);
    slider_->setPageStep(5);
    slider_->setMinimumHeight(120);
    slider_->setToolTip(tip);
    label_ = new QLabel(this);
    label_->setAlignment(Qt::AlignCenter);
    label_->setProperty("role", "value");
    auto* title = new QLabel(name, this);
    title->setAlignment(Qt::AlignCenter);
    title->setProperty("role", "secondary");
    column->addWidget(slider_, 1, Qt::AlignHCenter);
    column->addWidget(label_);
    column->addWidget(title);
    connect(slider_, &QSlider::valueChanged, this, [this](int p) {
        if (refreshing_) return;
        gain_.write(std::pow(10.0, (15 - p) / 20.0));
        label_->setText(formatInt("%ddB", 15 - p));
    });
    refresh();
}

void VolumeControl::refresh()
{
    const int db = static_cast<int>(decibels(gain_.read()));
    refreshing_ = true;
    slider_->setValue(std::clamp(15 - db, 0, 65));
    refreshing_ = false;
    label_->setText(formatInt("%ddB", db));
}

} // namespace stravik::ui
