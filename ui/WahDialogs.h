#pragma once
// The auto wah's two controller setups: the expression pedal ("External
// game port device setup") and the MIDI controller ("MIDI controller
// setup"). Both take effect at the next start.
#include <QDialog>

#include <functional>
#include <string>
#include <vector>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QPushButton;

namespace stravik {
struct Settings;
}

namespace stravik::ui {

using DeviceList = std::function<std::vector<std::string>()>;

class PedalSetupDialog final : public QDialog {
    Q_OBJECT
public:
    // devices lists the pedals; it is asked again after "Setup...".
    PedalSetupDialog(Settings& settings, DeviceList devices, QWidget* parent = nullptr);
    void accept() override;
    QCheckBox* enable() const { return enable_; }
    QComboBox* device() const { return device_; }
    QButtonGroup* axis() const { return axis_; }
    QCheckBox* reverse() const { return reverse_; }

private:
    void fill();
    void applyRules();

    Settings& settings_;
    DeviceList devices_;
    bool haveDevices_ = false;
    QCheckBox* enable_;
    QComboBox* device_;
    QPushButton* setup_;
    QButtonGroup* axis_;
    QCheckBox* reverse_;
};

class WahMidiSetupDialog final : public QDialog {
    Q_OBJECT
public:
    WahMidiSetupDialog(Settings& settings, const std::vector<std::string>& devices, QWidget* parent = nullptr);
    void accept() override;
    QCheckBox* enable() const { return enable_; }
    QComboBox* device() const { return device_; }
    QComboBox* channel() const { return channel_; }
    QComboBox* event() const { return event_; }
    QComboBox* controller() const { return controller_; }

private:
    void applyRules();

    Settings& settings_;
    bool haveDevices_;
    QCheckBox* enable_;
    QComboBox* device_;
    QComboBox* channel_;
    QComboBox* event_;
    QComboBox* controller_;
};

} // namespace stravik::ui
