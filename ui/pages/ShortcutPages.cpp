// The Keys page: the preset each function key (F1..F12, Ctrl+F1..Ctrl+F12)
// loads, and whether the keys are on and ask which sections to load.
#include "engine/Engine.h"
#include "presets/PresetStore.h"
#include "ui/ShortcutDialogs.h"
#include "ui/pages/ToolPages.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPushButton>
#include <QTableWidget>

#include <cstdio>

namespace stravik::ui {
namespace {

// The table of presets by key; Delete frees the selected key.
class ShortcutTable final : public QTableWidget {
public:
    using QTableWidget::QTableWidget;
    std::function<void(int)> cleared;

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        if (event->key() == Qt::Key_Delete && currentRow() >= 0 && cleared) {
            cleared(currentRow());
            return;
        }
        QTableWidget::keyPressEvent(event);
    }
};

class KeysPage final : public ToolPage {
public:
    KeysPage(WindowContext& c, QWidget* parent) : ToolPage(tr("Function keys"), c, parent)
    {
        auto& settings = engine_.settings;
        addHelp("shortcuts");

        QGroupBox* keys = addGroup(tr("Presets by key"), 0, 0, 1, 2);
        table_ = new ShortcutTable(Settings::kShortcutKeys, 2, keys);
        table_->setObjectName("shortcutTable");
        table_->setHorizontalHeaderLabels({"Key", "Activate preset"});
        table_->verticalHeader()->hide();
        table_->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
        table_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
        table_->horizontalHeader()->setStretchLastSection(true);
        table_->setSelectionBehavior(QAbstractItemView::SelectRows);
        table_->setSelectionMode(QAbstractItemView::SingleSelection);
        table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
        table_->setMinimumHeight(260);
        table_->setToolTip(tr("Double-click a key to choose its preset; Delete frees it"));
        for (int i = 0; i < Settings::kShortcutKeys; ++i) {
            char key[16];
            std::snprintf(key, sizeof key, "%sF%-2d", i < 12 ? " " : " Ctrl+", i % 12 + 1);
            table_->setItem(i, 0, new QTableWidgetItem(QString::fromLatin1(key)));
            table_->setItem(i, 1, new QTableWidgetItem);
        }
        table_->cleared = [this](int row) { setEntry(row, {}); };
        connect(table_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { defineShortcut(row); });
        addRow(keys, table_);

        auto* options = new QWidget(keys);
        auto* line = new QHBoxLayout(options);
        line->setContentsMargins(0, 0, 0, 0);
        enabled_ = new CheckControl("Shortcuts enabled",
                                    {[&settings] { return static_cast<double>(settings.ShortcutsON.get()); },
                                     [&settings](double v) { settings.ShortcutsON = static_cast<int>(v); }},
                                    {}, tip(tr("The function keys load their presets"), "ShortcutsON"), options);
        noDialog_ = new CheckControl("Don't show load dialog box",
                                     {[&settings] { return static_cast<double>(settings.ShortcutDial.get()); },
                                      [&settings](double v) { settings.ShortcutDial = static_cast<int>(v); }},
                                     {}, tip(tr("A key loads its whole preset without asking"), "ShortcutDial"),
                                     options);
        line->addWidget(enabled_);
        line->addWidget(noDialog_);
        line->addStretch(1);
        addRow(keys, options);
        finish();
    }

    void refresh() override
    {
        for (int i = 0; i < Settings::kShortcutKeys; ++i) {
            const QString name = QString::fromStdString(engine_.settings.Shortcuts[i].get());
            table_->item(i, 1)->setText(name.isEmpty() ? "None" : name);
        }
        enabled_->refresh();
        noDialog_->refresh();
        ToolPage::refresh();
    }

private:
    void defineShortcut(int row)
    {
        QStringList presets;
        for (const std::string& name : context_.presets.ListPresets()) presets << QString::fromStdString(name);
        DefineShortcutDialog dialog("Select preset for this function key:", presets,
                                    QString::fromStdString(engine_.settings.Shortcuts[row].get()), this);
        if (dialog.exec() == QDialog::Accepted) setEntry(row, dialog.chosen());
    }

    void setEntry(int row, const QString& name)
    {
        engine_.settings.Shortcuts[row] = name.left(127).toStdString();
        refresh();
    }

    ShortcutTable* table_ = nullptr;
    CheckControl* enabled_ = nullptr;
    CheckControl* noDialog_ = nullptr;
};

} // namespace

ToolPage* makeKeysPage(WindowContext& c, QWidget* parent) { return new KeysPage(c, parent); }

} // namespace stravik::ui
