// The amp simulator's page: the amp's gain and preamp boost, the speaker
// cone's distortion, the amp equaliser, and the cabinet — a response of the
// built-in library or a WAV file — with the longest response used.
#include "engine/Engine.h"
#include "ui/pages/EqualiserPanel.h"
#include "ui/pages/Pages.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace stravik::ui {
namespace {

class AmpPage final : public EffectPage {
public:
    AmpPage(WindowContext& c, QWidget* parent) : EffectPage(tr("Amp simulator"), kAmp, c, parent)
    {
        auto& amp = engine_.effects().ampUnit;
        auto gains = [&amp] { amp.updateGains(); };

        QGroupBox* stage = addGroup(tr("Amp"), 0, 0);
        addSlider(stage, {.label = "Amp Gain:", .minimum = -20, .maximum = 25, .reset = 0,
                          .value = [](int p) { return static_cast<double>(p); },
                          .text = [](double v) { return formatInt("%ddB", static_cast<int>(v)); },
                          .binding = bindKey(engine_, "spk_gain"),
                          .after = gains,
                          .tip = tip(tr("How hard the signal drives the power stage"), "spk_gain"),
                          .position = [](double v) { return static_cast<int>(v); }});
        addCheck(stage, "Preamp stage gain boost", bindKey(engine_, "preamp_stage"), {},
                 tip(tr("A preamp stage before the power stage: more gain, softly clipped"), "preamp_stage"));

        QGroupBox* speaker = addGroup(tr("Speaker"), 0, 1);
        addCheck(speaker, "Speaker distortion", bindKey(engine_, "spk_dist_enabled"), {},
                 tip(tr("Models the speaker cone, which breaks up when pushed"), "spk_dist_enabled"));
        addSlider(speaker, {.label = "Amount:", .minimum = 0, .maximum = 100, .reset = 30,
                            .value = [](int p) { return static_cast<double>(p); },
                            .text = [](double v) { return formatInt("%d%%", static_cast<int>(v)); },
                            .binding = bindKey(engine_, "spk_gain2"),
                            .after = gains,
                            .tip = tip(tr("How hard the cone is driven, -20 dB to +25 dB"), "spk_gain2"),
                            .position = [](double v) { return static_cast<int>(v); }});

        QGroupBox* eq = addGroup(tr("Amp equaliser"), 1, 0);
        equaliser_ = new EqualiserPanel(engine_, amp.equaliser(), "Amp EQ", "amp equaliser",
                                        {"actrl_enabled", "actrl", "a"}, {}, eq);
        addRow(eq, equaliser_);

        buildCabinet(addGroup(tr("Cabinet"), 1, 1));
        refresh();
    }

    void refresh() override
    {
        EffectPage::refresh();
        equaliser_->refresh();
        showResponses();
    }

private:
    void buildCabinet(QGroupBox* cabinet)
    {
        auto& amp = engine_.effects().ampUnit;
        responses_ = new ElidedComboBox(cabinet);
        for (int i = 0; i < amp.listEntryCount(); ++i)
            responses_->addItem(QString::fromStdString(amp.listEntryText(i)));
        responses_->setToolTip(tip(tr("The speaker cabinet: a response of the library, or the WAV file opened"),
                                   "ir_num, spk_ir_fname"));
        responses_->setMinimumContentsLength(16);
        responses_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        // The names are longer than the group is wide: the open list shows
        // them whole.
        responses_->view()->setMinimumWidth(responses_->view()->sizeHintForColumn(0) + 24);
        // Only the user's choices (a refresh sets the index quietly).
        connect(responses_, &QComboBox::activated, this, [this](int i) { chooseResponse(i); });
        addRow(cabinet, responses_);

        auto* open = new QPushButton("Open...", cabinet);
        open->setToolTip(tip(tr("Opens a WAV file as the cabinet's impulse response"), "spk_ir_fname"));
        connect(open, &QPushButton::clicked, this, [this] { openResponse(); });
        auto* openRow = new QWidget(cabinet);
        auto* openLine = new QHBoxLayout(openRow);
        openLine->setContentsMargins(0, 0, 0, 0);
        openLine->addStretch(1);
        openLine->addWidget(open);
        addRow(cabinet, openRow);

        // "Max len" over its slider: the group is too narrow for one line.
        auto* caption = new QWidget(cabinet);
        auto* captionLine = new QHBoxLayout(caption);
        captionLine->setContentsMargins(0, 6, 0, 0);
        captionLine->addWidget(new QLabel("Max len", caption));
        auto* quality = new QLabel("(quality)", caption);
        quality->setProperty("role", "secondary");
        captionLine->addWidget(quality);
        captionLine->addStretch(1);
        addRow(cabinet, caption);
        SliderRow* length = addSlider(
            cabinet, {.minimum = 500, .maximum = 16000, .reset = effects::AmpSimulator::kDefaultMaxPulseCount,
                      .value = [](int p) { return static_cast<double>(p); },
                      .text = [](double v) { return formatInt("%d", static_cast<int>(v)); },
                      .binding = bindKey(engine_, "MaxPulseCnt"),
                      .after = [&amp] { amp.maxPulseCountChanged(); },
                      .tip = tip(tr("The longest impulse response used, in samples: longer sounds truer and "
                                    "costs more processor time"),
                                 "MaxPulseCnt"),
                      .position = [](double v) { return static_cast<int>(v); }});
        length->slider()->setSingleStep(100);
        length->slider()->setPageStep(1000);
        auto* samples = new QLabel("samples", length);
        samples->setProperty("role", "secondary");
        length->layout()->addWidget(samples);
        static_cast<QVBoxLayout*>(cabinet->layout())->addStretch(1);
    }

    // The list's "file:" entry names the file of the moment; the selection
    // follows the parameters.
    void showResponses()
    {
        auto& amp = engine_.effects().ampUnit;
        const int file = amp.irCount();
        responses_->setItemText(file, QString::fromStdString(amp.listEntryText(file)));
        responses_->setCurrentIndex(amp.listSelection());
    }

    void chooseResponse(int index)
    {
        auto& amp = engine_.effects().ampUnit;
        // The file entry before any file was opened: there is nothing to load
        // but a file still to be chosen.
        if (index == amp.irCount() && amp.params().spk_ir_fname.get().empty()) {
            openResponse();
            return;
        }
        amp.selectListEntry(index);
        showResponses();
    }

    void openResponse()
    {
        auto& amp = engine_.effects().ampUnit;
        // The file in use; else the folder of the last one opened; else the
        // program's own folder.
        QString start = QString::fromStdString(amp.params().spk_ir_fname.get());
        if (start.isEmpty()) start = QString::fromStdString(engine_.settings.LastIRPath.get());
        if (start.isEmpty()) start = QCoreApplication::applicationDirPath();
        const QString path =
            QFileDialog::getOpenFileName(this, "Open impulse response wave file", start, "All Files (*.*)");
        if (!path.isEmpty()) amp.openFile(path.toStdString(), engine_.settings.LastIRPath);
        showResponses();
    }

    EqualiserPanel* equaliser_ = nullptr;
    QComboBox* responses_ = nullptr;
};

} // namespace

EffectPage* makeAmpPage(WindowContext& c, QWidget* parent) { return new AmpPage(c, parent); }

} // namespace stravik::ui
