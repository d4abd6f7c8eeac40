// The tuner's page: the six strings, the correct and the recorded frequency,
// a meter from "Lower" to "Higher" with the cents, the in-tune lamp, the
// root frequency, "Start tuner" and "Tuner setup...". The tuner has its own
// capture and runs only while no run goes.
#include "engine/Engine.h"
#include "engine/ProcessingRun.h"
#include "engine/devices/AudioDevices.h"
#include "tools/Tuner.h"
#include "tools/TunerCapture.h"
#include "ui/Skin.h"
#include "ui/TunerSetupDialog.h"
#include "ui/pages/ToolPages.h"

#include <QBoxLayout>
#include <QButtonGroup>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

#include <cmath>

namespace stravik::ui {
namespace {

// The needle between -1 (a semitone low) and +1 (a semitone high).
class TuningMeter final : public QWidget {
public:
    explicit TuningMeter(QWidget* parent) : QWidget(parent) { setMinimumSize(200, 36); }
    void setDeviation(double d)
    {
        if (d == deviation_) return;
        deviation_ = d;
        update();
    }
    double deviation() const { return deviation_; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const double left = 8, right = width() - 8, mid = (left + right) / 2, base = height() - 6;
        p.setPen(QPen(colour::secondaryText, 1));
        p.drawLine(QPointF(left, base), QPointF(right, base));
        for (int i = -10; i <= 10; ++i) {
            const double x = mid + (right - left) / 2 * i / 10.0;
            const double tick = i == 0 ? 14 : i % 5 == 0 ? 9 : 5;
            p.setPen(QPen(i == 0 ? colour::lampOn : colour::secondaryText, i == 0 ? 2 : 1));
            p.drawLine(QPointF(x, base), QPointF(x, base - tick));
        }
        const double x = mid + (right - left) / 2 * deviation_;
        p.setPen(QPen(colour::accent, 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(x, base), QPointF(x, 4));
    }

private:
    double deviation_ = 0.0;
};

class TunerPage final : public ToolPage {
public:
    TunerPage(WindowContext& c, QWidget* parent) : ToolPage(tr("Guitar tuner"), c, parent), tuner_(c.engine.settings)
    {
        addHelp("tuner");
        tuner_.setNotifier([this] {
            QMetaObject::invokeMethod(this, [this] { showReading(); }, Qt::QueuedConnection);
        });

        QGroupBox* strings = addGroup(tr("Strings"), 0, 0, 2, 1);
        stringButtons_ = new QButtonGroup(this);
        for (int i = 0; i < tools::kTunerStrings; ++i) {
            auto* b = new QPushButton(strings);
            b->setCheckable(true);
            b->setToolTip(tr("Tune this string"));
            stringButtons_->addButton(b, i);
            addRow(strings, b);
        }
        connect(stringButtons_, &QButtonGroup::idClicked, this, [this](int i) {
            tuner_.selectString(i);
            refresh();
        });

        QGroupBox* pitch = addGroup(tr("Pitch"), 0, 1);
        auto* values = new QWidget(pitch);
        auto* grid = new QGridLayout(values);
        grid->setContentsMargins(0, 0, 0, 0);
        grid->addWidget(new QLabel("Correct frequency:", values), 0, 0);
        correct_ = new QLabel(values);
        correct_->setProperty("role", "value");
        grid->addWidget(correct_, 0, 1);
        grid->addWidget(new QLabel("Recorded frequency:", values), 1, 0);
        recorded_ = new QLabel(values);
        recorded_->setProperty("role", "value");
        recorded_->setObjectName("recordedFrequency");
        grid->addWidget(recorded_, 1, 1);
        grid->setColumnStretch(1, 1);
        addRow(pitch, values);
        auto* meterRow = new QWidget(pitch);
        auto* line = new QHBoxLayout(meterRow);
        line->setContentsMargins(0, 0, 0, 0);
        auto* lower = new QLabel("Lower", meterRow);
        lower->setProperty("role", "secondary");
        line->addWidget(lower);
        meter_ = new TuningMeter(meterRow);
        meter_->setToolTip(tr("How far the string is from its note: a semitone either way"));
        line->addWidget(meter_, 1);
        auto* higher = new QLabel("Higher", meterRow);
        higher->setProperty("role", "secondary");
        line->addWidget(higher);
        lamp_ = new Lamp(Lamp::Effect, meterRow);
        lamp_->setToolTip(tr("Lit when the string is within five cents of its note"));
        line->addWidget(lamp_);
        addRow(pitch, meterRow);
        cents_ = new QLabel(pitch);
        cents_->setObjectName("cents");
        cents_->setAlignment(Qt::AlignCenter);
        addRow(pitch, cents_);

        QGroupBox* reference = addGroup(tr("Reference"), 1, 1);
        auto* rootRow = new QWidget(reference);
        auto* rootLine = new QHBoxLayout(rootRow);
        rootLine->setContentsMargins(0, 0, 0, 0);
        rootLine->addWidget(new QLabel("Root frequency (A4):", rootRow));
        root_ = new QLineEdit(rootRow);
        root_->setMaximumWidth(80);
        root_->setToolTip(tr("The frequency of A4 in Hz (440 by default; below 50 goes back to 440)"));
        rootLine->addWidget(root_);
        rootLine->addWidget(new QLabel("Hz", rootRow));
        auto* standard = new QPushButton("Default", rootRow);
        standard->setToolTip(tr("A4 at 440 Hz"));
        rootLine->addWidget(standard);
        rootLine->addStretch(1);
        addRow(reference, rootRow);
        connect(root_, &QLineEdit::textEdited, this, [this](const QString& text) {
            tuner_.typeRoot(text.toStdString());
            showCorrect();
        });
        connect(root_, &QLineEdit::editingFinished, this, [this] {
            tuner_.leaveRootField();
            refresh();
        });
        connect(standard, &QPushButton::clicked, this, [this] {
            tuner_.setDefaultRoot();
            refresh();
        });

        auto* controls = new QWidget(reference);
        auto* controlLine = new QHBoxLayout(controls);
        controlLine->setContentsMargins(0, 6, 0, 0);
        start_ = new QPushButton("Start tuner", controls);
        start_->setCheckable(true);
        start_->setToolTip(tr("Listens to the tuner's input (not while playing through the effects)"));
        controlLine->addWidget(start_);
        auto* setup = new QPushButton("Tuner setup...", controls);
        setup->setToolTip(tr("The tuner's input device and strings"));
        controlLine->addWidget(setup);
        controlLine->addStretch(1);
        addRow(reference, controls);
        connect(start_, &QPushButton::clicked, this, [this] { startOrStop(); });
        connect(setup, &QPushButton::clicked, this, [this] { openSetup(); });
        finish();
        showReading(true);
    }

    ~TunerPage() override { stop(); }

    bool tunerRunning() const override { return capture_ && capture_->running(); }
    void closing() override { stop(); }

    void refresh() override
    {
        for (int i = 0; i < tools::kTunerStrings; ++i) {
            QAbstractButton* b = stringButtons_->button(i);
            b->setText(QString::fromStdString(tuner_.stringButtonLabel(i)));
            b->setEnabled(tuner_.stringUsed(i));
        }
        if (QAbstractButton* b = stringButtons_->button(tuner_.selectedString())) b->setChecked(true);
        if (!root_->hasFocus()) root_->setText(QString::fromStdString(tuner_.rootText()));
        showCorrect();
        start_->setChecked(tunerRunning());
        ToolPage::refresh();
    }

    void stop()
    {
        if (capture_) capture_->stop();
        meter_->setDeviation(0.0);
        if (start_) start_->setChecked(false);
    }

private:
    void startOrStop()
    {
        if (context_.run.active() || engine_.running.load()) {
            start_->setChecked(false);
            context_.messages.show("You must stop realtime effects\nbefore starting tuning", "Warning!",
                                   MessageIcon::Information);
            return;
        }
        if (tunerRunning()) {
            stop();
            return;
        }
        if (!context_.audio) {
            start_->setChecked(false);
            context_.messages.show("Cannot open audio input device!", {}, MessageIcon::Warning);
            return;
        }
        capture_ = std::make_unique<tools::TunerCapture>(*context_.audio, tuner_);
        if (!capture_->start(engine_.settings.TunerWavein.get(), context_.messages)) {
            capture_.reset();
            start_->setChecked(false);
            return;
        }
        lamp_->setLit(false);
        start_->setChecked(true);
    }

    void openSetup()
    {
        std::vector<std::string> devices;
        if (context_.audio) devices = context_.audio->captureDevices();
        std::array<int, 6> custom{};
        for (int i = 0; i < tools::kTunerStrings; ++i) custom[static_cast<size_t>(i)] = engine_.settings.tuner_us[i].get();
        TunerSetupDialog dialog(tuner_, engine_.settings.TunerMode.get(), engine_.settings.TunerWavein.get(), devices,
                                custom, context_.messages, this);
        if (dialog.exec() == QDialog::Accepted) refresh();
    }

    void showCorrect()
    {
        const int note = tuner_.stringNote(tuner_.selectedString());
        correct_->setText(QString::fromStdString(tools::frequencyText(tuner_.correctFrequency()) + "  " +
                                                 tools::noteName(note)));
    }

    // A buffer was analysed (or the page starts): what it heard.
    void showReading(bool first = false)
    {
        if (first) {
            recorded_->setText(QString::fromStdString(tools::frequencyText(0.0)));
            cents_->setText(QString());
            return;
        }
        const tools::TunerReading r = tuner_.takeReading();
        recorded_->setText(QString::fromStdString(tools::frequencyText(r.recorded)));
        meter_->setDeviation(r.deviation);
        if (r.lampChanged) lamp_->setLit(r.inTune);
        if (r.corrected > 50.0) {
            const int cents = static_cast<int>(std::lround(tools::semitonesOff(r.corrected, tuner_.correctFrequency()) * 100));
            cents_->setText(QString::asprintf("%+d cents", cents));
        } else {
            cents_->setText(QString());
        }
        if (capture_ && capture_->failed()) stop();
    }

    tools::Tuner tuner_;
    std::unique_ptr<tools::TunerCapture> capture_;
    QButtonGroup* stringButtons_ = nullptr;
    QLabel* correct_ = nullptr;
    QLabel* recorded_ = nullptr;
    QLabel* cents_ = nullptr;
    TuningMeter* meter_ = nullptr;
    Lamp* lamp_ = nullptr;
    QLineEdit* root_ = nullptr;
    QPushButton* start_ = nullptr;
};

} // namespace

ToolPage* makeTunerPage(WindowContext& c, QWidget* parent) { return new TunerPage(c, parent); }

} // namespace stravik::ui
