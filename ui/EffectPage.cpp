#include "ui/EffectPage.h"

#include "presets/Shortcuts.h"

#include "ui/Help.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QLabel>
#include <QVBoxLayout>

namespace stravik::ui {

EffectPage::EffectPage(const QString& title, int effect, WindowContext& context, QWidget* parent)
    : QWidget(parent), context_(context), engine_(context.engine), title_(title), effect_(effect)
{
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(12, 10, 12, 10);
    page->setSpacing(8);
    auto* titleRow = new QHBoxLayout;
    auto* name = new QLabel(title, this);
    name->setProperty("role", "title");
    titleRow->addWidget(name);
    titleRow->addStretch(1);
    onOff_ = new QCheckBox(tr("On"), this);
    onOff_->setObjectName("onOff"); // drawn as the effect's lamp
    onOff_->setToolTip(tr("Switches the effect on or off (as its lamp in the effect list does)"));
    titleRow->addWidget(onOff_);
    auto* help = new QPushButton(tr("Help"), this);
    help->setToolTip(tr("Opens the help on this effect"));
    titleRow->addWidget(help);
    connect(help, &QPushButton::clicked, this, [this] {
        showHelp("effects", QString::fromLatin1(effectPages()[static_cast<size_t>(effect_)].slug));
    });
    page->addLayout(titleRow);
    grid_ = new QGridLayout;
    grid_->setHorizontalSpacing(10);
    grid_->setVerticalSpacing(10);
    grid_->setColumnStretch(0, 1);
    grid_->setColumnStretch(1, 1);
    page->addLayout(grid_);
    page->addStretch(1);
    connect(onOff_, &QCheckBox::clicked, this, [this] {
        context_.shortcuts.toggleEffect(effect_);
        refresh();
    });
}

void EffectPage::refresh()
{
    onOff_->blockSignals(true);
    onOff_->setChecked(context_.shortcuts.effectOn(effect_));
    onOff_->blockSignals(false);
    for (const auto& r : refreshers_) r();
    applyRules();
}

QGroupBox* EffectPage::addGroup(const QString& title, int row, int column, int rowSpan, int columnSpan)
{
    return addGroupBox(this, grid_, title, row, column, rowSpan, columnSpan);
}

void EffectPage::addRow(QGroupBox* group, QWidget* widget) { group->layout()->addWidget(widget); }

SliderRow* EffectPage::addSlider(QGroupBox* group, SliderRow::Options options)
{
    auto* row = new SliderRow(std::move(options), group);
    addRow(group, row);
    refreshers_.push_back([row] { row->refresh(); });
    connect(row, &SliderRow::changed, this, [this] { applyRules(); });
    return row;
}

CheckControl* EffectPage::addCheck(QGroupBox* group, const QString& label, Binding binding,
                                   std::function<void()> after, const QString& tipText)
{
    auto* box = new CheckControl(label, std::move(binding), std::move(after), tipText, group);
    addRow(group, box);
    refreshers_.push_back([box] { box->refresh(); });
    connect(box, &QCheckBox::toggled, this, [this] { applyRules(); });
    return box;
}

ListControl* EffectPage::addList(QGroupBox* group, const QString& label, const QStringList& entries,
                                 Binding binding, std::function<void()> after, const QString& tipText,
                                 std::vector<double> values)
{
    auto* row = new QWidget(group);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    if (!label.isEmpty()) {
        auto* name = new QLabel(label, row);
        name->setMinimumWidth(104);
        line->addWidget(name);
    }
    auto* list = new ListControl(entries, std::move(binding), std::move(after), tipText, std::move(values), row);
    line->addWidget(list, 1);
    addRow(group, row);
    refreshers_.push_back([list] { list->refresh(); });
    connect(list, &QComboBox::currentIndexChanged, this, [this] { applyRules(); });
    return list;
}

QString EffectPage::tip(const QString& what, const char* key) { return what + " (" + QString::fromLatin1(key) + ")"; }

} // namespace stravik::ui
