#pragma once
// The advanced options of the Setup page: operation modes, duplex, rate
// compensation, screen saver, start beep, level meter, zoom, limiter, SSE,
// and "Defaults".
#include <QDialog>

class QCheckBox;
class QComboBox;

namespace stravik {
struct Settings;
}

namespace stravik::ui {

class AdvancedOptionsDialog final : public QDialog {
    Q_OBJECT
public:
    AdvancedOptionsDialog(Settings& settings, QWidget* parent = nullptr);
    // OK: the boxes go into the settings.
    void accept() override;
    // The boxes as the defaults have them.
    void setDefaults();
    QCheckBox* zoom() const { return zoom_; }
    QComboBox* outputMode() const { return output_; }

private:
    Settings& settings_;
    QComboBox* input_;
    QComboBox* output_;
    QCheckBox* altDuplex_;
    QCheckBox* rateAdapt_;
    QCheckBox* screenSaver_;
    QCheckBox* beep_;
    QCheckBox* noMeter_;
    QCheckBox* zoom_;
    QCheckBox* limiter_;
    QCheckBox* noSse_;
};

} // namespace stravik::ui
