#pragma once
// "Tuner setup": the tuner's input device and its strings (standard guitar,
// bass, or six notes of the user's).
#include <QDialog>

#include <array>
#include <string>
#include <vector>

class QButtonGroup;
class QComboBox;

namespace stravik {
class UserMessages;
}
namespace stravik::tools {
class Tuner;
}

namespace stravik::ui {

class TunerSetupDialog final : public QDialog {
    Q_OBJECT
public:
    TunerSetupDialog(tools::Tuner& tuner, int setup, int device, const std::vector<std::string>& devices,
                     const std::array<int, 6>& customNotes, UserMessages& messages, QWidget* parent = nullptr);
    QComboBox* device() const { return device_; }
    QComboBox* note(int string) const { return notes_[static_cast<size_t>(string)]; }
    QButtonGroup* setups() const { return setups_; }
    // OK: the tuner takes the setup; the dialog stays open when it refuses.
    void accept() override;

private:
    void showNotes(const std::array<int, 6>& notes);
    void applyRules();

    tools::Tuner& tuner_;
    UserMessages& messages_;
    bool haveDevices_;
    QComboBox* device_;
    QButtonGroup* setups_;
    std::array<QComboBox*, 6> notes_{};
};

} // namespace stravik::ui
