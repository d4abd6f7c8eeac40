#include "ui/pages/PageKit.h"

#include "ui/Skin.h"

#include <QBoxLayout>
#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QSlider>

#include <algorithm>

namespace stravik::ui {

// ---- ChoiceButtons

ChoiceButtons::ChoiceButtons(const QStringList& labels, std::vector<int> values, Binding binding,
                             std::function<void()> after, const QString& tip, Qt::Orientation orientation,
                             QWidget* parent)
    : QWidget(parent), values_(std::move(values)), binding_(std::move(binding)), after_(std::move(after)),
      group_(new QButtonGroup(this))
{
    Q_ASSERT(values_.size() == static_cast<size_t>(labels.size()));
    QBoxLayout* line = orientation == Qt::Horizontal ? static_cast<QBoxLayout*>(new QHBoxLayout(this))
                                                     : static_cast<QBoxLayout*>(new QVBoxLayout(this));
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(orientation == Qt::Horizontal ? 8 : 2);
    for (int i = 0; i < labels.size(); ++i) {
        auto* b = new QRadioButton(labels[i], this);
        b->setToolTip(tip);
        group_->addButton(b, i);
        line->addWidget(b);
        buttons_.push_back(b);
    }
    if (orientation == Qt::Horizontal) line->addStretch(1);
    setToolTip(tip);
    refresh();
    // Clicks only: a refresh checks a button without writing anything back.
    connect(group_, &QButtonGroup::idClicked, this, [this](int i) {
        binding_.write(values_[static_cast<size_t>(i)]);
        if (after_) after_();
        emit changed();
    });
}

void ChoiceButtons::refresh()
{
    const int v = static_cast<int>(binding_.read());
    const auto it = std::find(values_.begin(), values_.end(), v);
    if (it == values_.end()) {
        group_->setExclusive(false);
        for (QRadioButton* b : buttons_) b->setChecked(false);
        group_->setExclusive(true);
        return;
    }
    buttons_[static_cast<size_t>(it - values_.begin())]->setChecked(true);
}

// ---- SliderMarks

namespace {
constexpr int kTickHeight = 4;
}

SliderMarks::SliderMarks(QSlider* slider, std::vector<std::pair<int, QString>> marks, QWidget* parent)
    : QWidget(parent), slider_(slider), marks_(std::move(marks))
{
    for (const auto& m : marks_) hasText_ |= !m.second.isEmpty();
    QFont f = font();
    f.setPointSize(kSecondaryPoints);
    setFont(f);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    slider_->installEventFilter(this);
}

QSize SliderMarks::sizeHint() const
{
    return QSize(40, kTickHeight + 1 + (hasText_ ? fontMetrics().height() : 0));
}

bool SliderMarks::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == slider_ && (event->type() == QEvent::Resize || event->type() == QEvent::Move)) update();
    return QWidget::eventFilter(watched, event);
}

void SliderMarks::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setPen(colour::secondaryText);
    // Where the handle's centre sits for each position, in our coordinates
    // (the skin's handle is 14 pixels wide).
    const int half = 7;
    const int origin = slider_->mapTo(window(), QPoint(0, 0)).x() - mapTo(window(), QPoint(0, 0)).x();
    const int left = origin + half, span = slider_->width() - 2 * half;
    const int range = std::max(1, slider_->maximum() - slider_->minimum());
    for (const auto& [position, text] : marks_) {
        const int x = left + span * (position - slider_->minimum()) / range;
        p.drawLine(x, 0, x, kTickHeight - 1);
        if (text.isEmpty()) continue;
        const int w = fontMetrics().horizontalAdvance(text);
        // Centred on its position, but never beyond the slider's ends.
        const int at = std::clamp(x - w / 2, origin, std::max(origin, origin + slider_->width() - w));
        p.drawText(QRect(at, kTickHeight + 1, w, fontMetrics().height()), Qt::AlignLeft | Qt::AlignTop, text);
    }
}

// ---- KitPage

KitPage::KitPage(const QString& title, int effect, WindowContext& context, QWidget* parent)
    : EffectPage(title, effect, context, parent)
{
    // A control the page has switched off must look so: dimmed text and no
    // fill in the slider. The upright sliders show their empty part too.
    setStyleSheet(QStringLiteral(R"(
QLabel:disabled, QRadioButton:disabled, QCheckBox:disabled { color: #6e7379; }
QSlider::sub-page:horizontal:disabled {
    border-image: url(:/skin/groove.png) 2 3 2 3 stretch; border-width: 2px 3px; height: 2px;
}
QSlider::groove:vertical { background: #1d1e21; width: 6px; border-radius: 3px; }
)"));
}

void KitPage::finish()
{
    // Groups side by side are as tall as the taller one; the shorter keeps
    // its rows together at the top.
    for (QGroupBox* group : findChildren<QGroupBox*>(QString(), Qt::FindDirectChildrenOnly))
        if (auto* rows = qobject_cast<QBoxLayout*>(group->layout())) rows->addStretch(1);
    refresh();
}

void KitPage::refresh()
{
    for (ChoiceButtons* c : choices_) c->refresh();
    EffectPage::refresh();
}

ChoiceButtons* KitPage::addChoice(QGroupBox* group, const QStringList& labels, std::vector<int> values,
                                  Binding binding, std::function<void()> after, const QString& tipText,
                                  Qt::Orientation orientation)
{
    auto* c = new ChoiceButtons(labels, std::move(values), std::move(binding), std::move(after), tipText, orientation,
                                group);
    addRow(group, c);
    choices_.push_back(c);
    connect(c, &ChoiceButtons::changed, this, [this] { applyRules(); });
    return c;
}

SliderMarks* KitPage::addMarks(QGroupBox* group, SliderRow* row, std::vector<std::pair<int, QString>> marks)
{
    auto* m = new SliderMarks(row->slider(), std::move(marks), group);
    addRow(group, m);
    return m;
}

QLabel* KitPage::addNote(QGroupBox* group, const QString& text)
{
    auto* note = new QLabel(text, group);
    note->setProperty("role", "secondary");
    note->setWordWrap(true);
    addRow(group, note);
    return note;
}

void KitPage::standUpright(SliderRow* row, int height)
{
    auto* line = qobject_cast<QBoxLayout*>(row->layout());
    Q_ASSERT(line);
    line->setDirection(QBoxLayout::TopToBottom);
    line->setSpacing(2);
    QSlider* s = row->slider();
    s->setOrientation(Qt::Vertical);
    // The lowest position at the top, as in the mappings these sliders use
    // (4000 Hz and 100 % at the top).
    s->setInvertedAppearance(true);
    s->setInvertedControls(true);
    s->setMinimumWidth(0);
    s->setMinimumHeight(height);
    line->setAlignment(s, Qt::AlignHCenter);
    row->valueLabel()->setMinimumWidth(0);
    row->valueLabel()->setAlignment(Qt::AlignCenter);
}

QLabel* KitPage::rowLabel(SliderRow* row)
{
    const auto labels = row->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
    if (labels.isEmpty() || labels.first() == row->valueLabel()) return nullptr;
    return labels.first()->property("role").isValid() ? nullptr : labels.first();
}

} // namespace stravik::ui
