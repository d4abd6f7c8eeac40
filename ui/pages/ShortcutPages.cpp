// The Keys and MIDI pages: the preset each function key (F1..F12,
// Ctrl+F1..Ctrl+F12) or MIDI program (0..63) loads, with their switches; the
// MIDI page also opens the MIDI input's setup.
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

// The table of presets; Delete frees the selected row.
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

// A page around one table: rows named by rowName, entries in the settings.
class ShortcutPage : public ToolPage {
public:
    ShortcutPage(const QString& title, const QString& group, const QString& firstColumn, int rows,
                 const std::function<QString(int)>& rowName, TextParam* entries, const QString& caption,
                 WindowContext& c, QWidget* parent)
        : ToolPage(title, c, parent), entries_(entries), caption_(caption)
    {
        addHelp("shortcuts");
        group_ = addGroup(group, 0, 0, 1, 2);
        table_ = new ShortcutTable(rows, 2, group_);
        table_->setObjectName("shortcutTable");
        table_->setHorizontalHeaderLabels({firstColumn, "Activate preset"});
        table_->verticalHeader()->hide();
        table_->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
        table_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
        table_->horizontalHeader()->setStretchLastSection(true);
        table_->setSelectionBehavior(QAbstractItemView::SelectRows);
        table_->setSelectionMode(QAbstractItemView::SingleSelection);
        table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
        table_->setMinimumHeight(260);
        table_->setToolTip(tr("Double-click a row to choose its preset; Delete frees it"));
        for (int i = 0; i < rows; ++i) {
            table_->setItem(i, 0, new QTableWidgetItem(rowName(i)));
            table_->setItem(i, 1, new QTableWidgetItem);
        }
        table_->cleared = [this](int row) { setEntry(row, {}); };
        connect(table_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { defineShortcut(row); });
        addRow(group_, table_);
        options_ = new QWidget(group_);
        optionLine_ = new QHBoxLayout(options_);
        optionLine_->setContentsMargins(0, 0, 0, 0);
        addRow(group_, options_);
    }

    void refresh() override
    {
        for (int i = 0; i < table_->rowCount(); ++i) {
            const QString name = QString::fromStdString(entries_[i].get());
            table_->item(i, 1)->setText(name.isEmpty() ? "None" : name);
        }
        for (CheckControl* c : checks_) c->refresh();
        ToolPage::refresh();
    }

protected:
    // A check box under the table, bound to a 0/1 setting.
    CheckControl* addOption(const QString& label, Param<int>& setting, const QString& tipText)
    {
        auto* box = new CheckControl(label,
                                     {[&setting] { return static_cast<double>(setting.get()); },
                                      [&setting](double v) { setting = static_cast<int>(v); }},
                                     {}, tipText, options_);
        optionLine_->addWidget(box);
        checks_.push_back(box);
        return box;
    }
    QHBoxLayout* optionLine() const { return optionLine_; }

private:
    void defineShortcut(int row)
    {
        QStringList presets;
        for (const std::string& name : context_.presets.ListPresets()) presets << QString::fromStdString(name);
        DefineShortcutDialog dialog(caption_, presets, QString::fromStdString(entries_[row].get()), this);
        if (dialog.exec() == QDialog::Accepted) setEntry(row, dialog.chosen());
    }

    void setEntry(int row, const QString& name)
    {
        entries_[row] = name.left(127).toStdString();
        refresh();
    }

    TextParam* entries_;
    QString caption_;
    QGroupBox* group_ = nullptr;
    ShortcutTable* table_ = nullptr;
    QWidget* options_ = nullptr;
    QHBoxLayout* optionLine_ = nullptr;
    std::vector<CheckControl*> checks_;
};

QString keyName(int i)
{
    char key[16];
    std::snprintf(key, sizeof key, "%sF%-2d", i < 12 ? " " : " Ctrl+", i % 12 + 1);
    return QString::fromLatin1(key);
}

QString programName(int i)
{
    char program[16];
    std::snprintf(program, sizeof program, " %d", i);
    return QString::fromLatin1(program);
}

class KeysPage final : public ShortcutPage {
public:
    KeysPage(WindowContext& c, QWidget* parent)
        : ShortcutPage(tr("Function keys"), tr("Presets by key"), "Key", Settings::kShortcutKeys, keyName,
                       c.engine.settings.Shortcuts, "Select preset for this function key:", c, parent)
    {
        auto& settings = engine_.settings;
        addOption("Shortcuts enabled", settings.ShortcutsON, tip(tr("The function keys load their presets"),
                                                                 "ShortcutsON"));
        addOption("Don't show load dialog box", settings.ShortcutDial,
                  tip(tr("A key loads its whole preset without asking"), "ShortcutDial"));
        optionLine()->addStretch(1);
        finish();
    }
};

class MidiPage final : public ShortcutPage {
public:
    MidiPage(WindowContext& c, std::function<std::vector<std::string>()> devices, QWidget* parent)
        : ShortcutPage(tr("MIDI program change"), tr("Presets by MIDI program"), "Prog", Settings::kMidiPrograms,
                       programName, c.engine.settings.MIDIShortcuts, "Select preset for this MIDI program:", c,
                       parent),
          devices_(std::move(devices))
    {
        addOption("MIDI control enabled", engine_.settings.MIDIShortcutsON,
                  tip(tr("Program changes load their presets; controllers switch effects and volumes"),
                      "MIDIShortcutsON"));
        optionLine()->addStretch(1);
        setup_ = new QPushButton("Setup...", this);
        setup_->setToolTip(tr("The MIDI input, its channel and the control of effects (not while playing)"));
        optionLine()->addWidget(setup_);
        connect(setup_, &QPushButton::clicked, this, [this] {
            MidiSetupDialog dialog(engine_.settings, devices_(), this);
            dialog.exec();
        });
        finish();
    }

protected:
    void applyRules() override { setup_->setEnabled(!engine_.running.load()); }

private:
    std::function<std::vector<std::string>()> devices_;
    QPushButton* setup_ = nullptr;
};

} // namespace

ToolPage* makeKeysPage(WindowContext& c, QWidget* parent) { return new KeysPage(c, parent); }

ToolPage* makeMidiPage(WindowContext& c, std::function<std::vector<std::string>()> devices, QWidget* parent)
{
    return new MidiPage(c, std::move(devices), parent);
}

} // namespace stravik::ui
