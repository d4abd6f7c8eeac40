#include "ui/ShortcutDialogs.h"

#include "ui/Help.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace stravik::ui {

namespace {
const QString kNone = "None";
}

DefineShortcutDialog::DefineShortcutDialog(const QString& caption, const QStringList& presets,
                                           const QString& current, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle("Define shortcut");
    auto* column = new QVBoxLayout(this);
    column->addWidget(new QLabel(caption, this));
    list_ = new QListWidget(this);
    list_->addItem(kNone);
    QStringList sorted = presets;
    sorted.sort(Qt::CaseInsensitive);
    list_->addItems(sorted);
    const auto found = list_->findItems(current, Qt::MatchExactly);
    list_->setCurrentRow(current.isEmpty() || found.isEmpty() ? 0 : list_->row(found.first()));
    list_->setMinimumSize(260, 220);
    column->addWidget(list_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help,
                                         this);
    column->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::helpRequested, this, [] { showHelp("shortcuts"); });
    connect(list_, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
}

QString DefineShortcutDialog::chosen() const
{
    const QListWidgetItem* item = list_->currentItem();
    return !item || list_->row(item) == 0 ? QString() : item->text();
}

} // namespace stravik::ui
