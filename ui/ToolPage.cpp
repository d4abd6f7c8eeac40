#include "ui/ToolPage.h"

#include "ui/Help.h"

#include <QBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace stravik::ui {

ToolPage::ToolPage(const QString& title, WindowContext& context, QWidget* parent)
    : QWidget(parent), context_(context), engine_(context.engine), title_(title)
{
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(12, 10, 12, 10);
    page->setSpacing(8);
    titleRow_ = new QHBoxLayout;
    auto* name = new QLabel(title, this);
    name->setProperty("role", "title");
    titleRow_->addWidget(name);
    titleRow_->addStretch(1);
    page->addLayout(titleRow_);
    grid_ = new QGridLayout;
    grid_->setHorizontalSpacing(10);
    grid_->setVerticalSpacing(10);
    grid_->setColumnStretch(0, 1);
    grid_->setColumnStretch(1, 1);
    page->addLayout(grid_);
    page->addStretch(1);
}

void ToolPage::refresh()
{
    for (const auto& r : refreshers_) r();
    applyRules();
}

void ToolPage::runStateChanged(bool) { applyRules(); }

QGroupBox* ToolPage::addGroup(const QString& title, int row, int column, int rowSpan, int columnSpan)
{
    return addGroupBox(this, grid_, title, row, column, rowSpan, columnSpan);
}

void ToolPage::addRow(QGroupBox* group, QWidget* widget) { group->layout()->addWidget(widget); }

SliderRow* ToolPage::addSlider(QGroupBox* group, SliderRow::Options options)
{
    auto* row = new SliderRow(std::move(options), group);
    addRow(group, row);
    refreshers_.push_back([row] { row->refresh(); });
    return row;
}

void ToolPage::addHelp(const QString& topic)
{
    auto* help = new QPushButton("Help", this);
    help->setObjectName("help");
    help->setToolTip(tr("Opens the help on this page"));
    titleRow_->addWidget(help);
    connect(help, &QPushButton::clicked, this, [topic] { showHelp(topic); });
}

void ToolPage::finish()
{
    for (QGroupBox* group : findChildren<QGroupBox*>(QString(), Qt::FindDirectChildrenOnly))
        if (auto* rows = qobject_cast<QBoxLayout*>(group->layout())) rows->addStretch(1);
    refresh();
}

QString ToolPage::tip(const QString& what, const char* key) { return what + " (" + QString::fromLatin1(key) + ")"; }

ToolPage* makePlaceholderPage(const QString& title, WindowContext& context, QWidget* parent)
{
    auto* page = new ToolPage(title, context, parent);
    auto* note = new QLabel("This page is not built yet.", page);
    note->setProperty("role", "secondary");
    static_cast<QVBoxLayout*>(page->layout())->insertWidget(1, note);
    return page;
}

} // namespace stravik::ui
