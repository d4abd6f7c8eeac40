#pragma once
// "Define shortcut": picks the preset a function key or a MIDI program
// loads, from the sorted presets with "None" at the top. "MIDI controller
// setup": the MIDI input of program changes and effect control.
#include <QDialog>
#include <QString>
#include <QStringList>

#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QListWidget;

namespace stravik {
struct Settings;
}

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

class MidiSetupDialog final : public QDialog {
    Q_OBJECT
public:
    // devices: the MIDI inputs, as the pedal and MIDI lists number them.
    MidiSetupDialog(Settings& settings, const std::vector<std::string>& devices, QWidget* parent = nullptr);
    QCheckBox* enableInput() const { return enable_; }
    QComboBox* device() const { return device_; }
    QComboBox* channel() const { return channel_; }
    QCheckBox* effectControl() const { return effects_; }

private:
    void store();

    Settings& settings_;
    bool haveDevices_;
    QCheckBox* enable_;
    QComboBox* device_;
    QComboBox* channel_;
    QCheckBox* effects_;
};

} // namespace stravik::ui
