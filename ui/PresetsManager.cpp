#include "ui/PresetsManager.h"

#include "dsp/UserMessages.h"
#include "presets/PresetFile.h"
#include "presets/PresetStore.h"
#include "presets/RegistryStore.h"
#include "ui/Help.h"

#include <QBoxLayout>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include <algorithm>

namespace stravik::ui {
namespace {

// The file of the last import or export, offered again for this run of the
// program.
QString& rememberedFile()
{
    static QString file = "presets.fxp";
    return file;
}

const QString kFilters = "All Files (*.*);;Preset Files (*.fxp)";

} // namespace

PresetsManager::PresetsManager(WindowContext& context, QWidget* parent) : QDialog(parent), context_(context)
{
    setWindowTitle("Presets manager");
    chooseFile = [this](bool saving, const QString& title, const QString& initial) {
        QString filter = "Preset Files (*.fxp)";
        return saving ? QFileDialog::getSaveFileName(this, title, initial, kFilters, &filter)
                      : QFileDialog::getOpenFileName(this, title, initial, kFilters, &filter);
    };
    auto* columns = new QHBoxLayout(this);
    auto* left = new QVBoxLayout;
    left->addWidget(new QLabel("Select presets:", this));
    list_ = new QListWidget(this);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setToolTip("Use CTRL and SHIFT keys or drag mouse cursor for multiple presets selection");
    list_->setMinimumSize(240, 260);
    left->addWidget(list_, 1);
    auto* hint = new QLabel("Use CTRL and SHIFT keys or drag mouse cursor\nfor multiple presets selection", this);
    hint->setProperty("role", "secondary");
    left->addWidget(hint);
    columns->addLayout(left, 1);

    auto* buttons = new QVBoxLayout;
    const auto addButton = [&](const QString& text, const QString& tip, auto slot) {
        auto* b = new QPushButton(text, this);
        b->setToolTip(tip);
        b->setAutoDefault(false);
        buttons->addWidget(b);
        connect(b, &QPushButton::clicked, this, slot);
        return b;
    };
    addButton("Export...", "Writes the selected presets into a preset file (.fxp)", [this] { exportSelected(); });
    addButton("Import...", "Adds every preset of a preset file, replacing those of the same name",
              [this] { importFile(); });
    addButton("Delete", "Deletes the selected presets", [this] { deleteSelected(); });
    addButton("Help", "Opens the help on presets", [] { showHelp("presets"); });
    buttons->addStretch(1);
    addButton("Close", "Closes the manager", [this] { reject(); });
    columns->addLayout(buttons);
    fill();
}

void PresetsManager::fill()
{
    list_->clear();
    std::vector<std::string> names = context_.presets.ListPresets();
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) < 0;
    });
    for (const std::string& name : names) list_->addItem(QString::fromStdString(name));
}

QStringList PresetsManager::selectedNames() const
{
    // In the order of the list, whatever order they were picked in.
    QStringList names;
    for (int i = 0; i < list_->count(); ++i)
        if (list_->item(i)->isSelected()) names << list_->item(i)->text();
    return names;
}

void PresetsManager::exportSelected()
{
    const QStringList names = selectedNames();
    if (names.isEmpty()) {
        context_.messages.show("No preset selected!", {}, MessageIcon::Warning);
        return;
    }
    const QString file = chooseFile(true, "Save presets to file", rememberedFile());
    if (file.isEmpty()) return;
    rememberedFile() = file;
    std::vector<std::string> list;
    for (const QString& n : names) list.push_back(n.toStdString());
    if (!exportPresetFile(context_.store, file.toStdString(), list, context_.messages)) return;
    context_.store.flush();
    accept();
}

void PresetsManager::importFile()
{
    const QString file = chooseFile(false, "Import presets from file", rememberedFile());
    if (file.isEmpty()) return;
    rememberedFile() = file;
    // It says how many it imported.
    if (importPresetFile(context_.store, file.toStdString(), true, true, context_.messages) != 0) return;
    fill();
    changed_ = true;
}

void PresetsManager::deleteSelected()
{
    const QStringList names = selectedNames();
    if (names.isEmpty()) {
        context_.messages.show("No preset selected!", {}, MessageIcon::Warning);
        return;
    }
    if (context_.messages.ask("Are you sure you want to permanently delete selected preset(s)?", {},
                              MessageButtons::YesNo, MessageIcon::Question) != MessageAnswer::Yes)
        return;
    const int caret = list_->currentRow();
    for (const QString& n : names) context_.presets.DeletePreset(n.toStdString());
    context_.store.flush();
    fill();
    list_->setCurrentRow(std::min(caret, list_->count() - 1), QItemSelectionModel::NoUpdate);
    changed_ = true;
}

void PresetsManager::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Delete && list_->hasFocus()) {
        deleteSelected();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace stravik::ui
