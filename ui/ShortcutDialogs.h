#pragma once
// "Define shortcut": picks the preset a function key or a MIDI program
// loads, from the sorted presets with "None" at the top.
#include <QDialog>
#include <QString>
#include <QStringList>

class QListWidget;

namespace stravik::ui {

class DefineShortcutDialog final : public QDialog {
    Q_OBJECT
public:
    // caption: "Select preset for this function key:" or "... MIDI program:";
    // current: the entry now (empty for none).
    DefineShortcutDialog(const QString& caption, const QStringList& presets, const QString& current,
                         QWidget* parent = nullptr);
    // The chosen preset; empty for "None".
    QString chosen() const;
    QListWidget* list() const { return list_; }

private:
    QListWidget* list_;
};

} // namespace stravik::ui
