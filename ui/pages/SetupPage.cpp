// The Setup page: the input and output devices (or a JACK server instead),
// the sample rate, stereo, the input-to-output delay with the JACK buffer it
// asks for, the program's priority, and the advanced options.
#include "dsp/UserMessages.h"
#include "engine/Engine.h"
#include "engine/ProcessingRun.h"
#include "engine/devices/AudioDevices.h"
#include "engine/devices/JackDriver.h"
#include "ui/SetupDialogs.h"
#include "ui/pages/ToolPages.h"

#include <QBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace stravik::ui {
namespace {

Binding bindInt(Param<int>& p)
{
    return {[&p] { return static_cast<double>(p.get()); }, [&p](double v) { p = static_cast<int>(v); }};
}

// A question to a JACK server says nothing to the user when it fails.
class Silent final : public UserMessages {
public:
    void show(const std::string&, const std::string&, MessageIcon) override {}
    MessageAnswer ask(const std::string&, const std::string&, MessageButtons, MessageIcon) override
    {
        return MessageAnswer::Cancel;
    }
};

QStringList toList(const std::vector<std::string>& names)
{
    QStringList list;
    for (const std::string& n : names) list << QString::fromStdString(n);
    return list;
}

class SetupPage final : public ToolPage {
public:
    SetupPage(WindowContext& c, std::function<void()> restart, QWidget* parent)
        : ToolPage(tr("Setup"), c, parent), restart_(std::move(restart))
    {
        addHelp("setup");
        auto& settings = engine_.settings;

        QGroupBox* devices = addGroup(tr("Devices"), 0, 0);
        input_ = addList(devices, "Input:", bindInt(settings.WaveInDevice),
                         tip(tr("The device the guitar comes in from (as korvex devices lists them)"), "WaveInDevice"));
        output_ = addList(devices, "Output:", bindInt(settings.DSDevice),
                          tip(tr("The device you listen on"), "DSDevice"));
        useJack_ = new CheckControl("JACK server instead", bindInt(settings.UseASIO), [this] {
            applyRules();
            showJackSize();
        },
                                    tip(tr("Input and output through a JACK server, with the lowest delay"),
                                        "UseASIO"),
                                    devices);
        addRow(devices, useJack_);
        server_ = addList(devices, "Server:", bindInt(settings.ASIO_dev),
                          tip(tr("The JACK server (it is never started or changed by this program)"), "ASIO_dev"));
        connect(server_, &QComboBox::currentIndexChanged, this, [this] { showJackSize(); });

        QGroupBox* processing = addGroup(tr("Processing"), 0, 1);
        rate_ = new ListControl({"22 kHz", "44.1 kHz", "48 kHz"}, bindInt(settings.SampleRate),
                                [this] { showJackSize(); },
                                tip(tr("The rate the effects run at"), "SampleRate"), {22050, 44100, 48000}, processing);
        addLabelled(processing, "Sample rate:", rate_);
        stereo_ = new CheckControl("Stereo", bindInt(settings.stereo), {},
                                   tip(tr("Stereo output (the chorus, echo and reverb spread)"), "stereo"), processing);
        addRow(processing, stereo_);
        addSlider(processing, {.label = "Max. I/O delay:", .minimum = 1, .maximum = 200, .reset = 20,
                           .value = [](int p) { return static_cast<double>(p); },
                           .text = [](double v) { return format("%g ms", v); },
                           .binding = {[&settings] { return static_cast<double>(settings.MaxDelay.get()); },
                                       [&settings](double v) { settings.MaxDelay = static_cast<float>(v); }},
                           .after = [this] { showJackSize(); },
                           .tip = tip(tr("The delay from the guitar to your ears: shorter feels better, too "
                                         "short breaks up"),
                                      "MaxDelay"),
                           .position = [](double v) { return static_cast<int>(v + 0.5); }});
        jackSize_ = new QLabel(processing);
        jackSize_->setProperty("role", "secondary");
        jackSize_->setObjectName("jackSize");
        jackSize_->setWordWrap(true);
        addRow(processing, jackSize_);
        priority_ = new ListControl({"Normal", "High"}, bindInt(settings.Priority), {},
                                    tip(tr("The program's priority while playing"), "Priority"), {}, processing);
        addLabelled(processing, "Program priority:", priority_);

        auto* more = new QWidget(processing);
        auto* line = new QHBoxLayout(more);
        line->setContentsMargins(0, 4, 0, 0);
        line->addStretch(1);
        auto* advanced = new QPushButton("Advanced...", more);
        advanced->setToolTip(tr("Operation modes, screen saver, start beep, level meter, zoom, limiter, SSE"));
        line->addWidget(advanced);
        addRow(processing, more);
        connect(advanced, &QPushButton::clicked, this, [this] { openAdvanced(); });
        finish();
    }

    void refresh() override
    {
        // The lists as the devices are now.
        if (context_.audio) {
            fill(input_, toList(context_.audio->captureDevices()));
            fill(output_, toList(context_.audio->playbackDevices()));
        }
        fill(server_, toList(JackDriver::servers()));
        askedServer_.clear(); // ask the server again: it may have been restarted
        for (ListControl* l : {input_, output_, server_, rate_, priority_}) l->refresh();
        useJack_->refresh();
        stereo_->refresh();
        showJackSize();
        ToolPage::refresh();
    }

protected:
    void applyRules() override
    {
        // A run uses what it opened until it ends.
        const bool idle = !engine_.running.load() && !context_.run.active();
        const bool jack = engine_.settings.UseASIO.get() != 0;
        for (QWidget* w : findChildren<QGroupBox*>()) w->setEnabled(idle);
        input_->setEnabled(idle && !jack);
        output_->setEnabled(idle && !jack);
        server_->setEnabled(idle && jack);
    }

private:
    ListControl* addList(QGroupBox* group, const QString& label, Binding binding, const QString& tipText)
    {
        auto* list = new ListControl({}, std::move(binding), {}, tipText, {}, group);
        addLabelled(group, label, list);
        return list;
    }

    void addLabelled(QGroupBox* group, const QString& label, QWidget* control)
    {
        auto* row = new QWidget(group);
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        auto* name = new QLabel(label, row);
        name->setMinimumWidth(104);
        line->addWidget(name);
        control->setParent(row);
        line->addWidget(control, 1);
        addRow(group, row);
    }

    static void fill(ListControl* list, const QStringList& names)
    {
        QStringList now;
        for (int i = 0; i < list->count(); ++i) now << list->itemText(i);
        if (now == names) return;
        const QSignalBlocker quiet(list);
        list->clear();
        list->addItems(names);
    }

    // What MaxDelay asks a JACK server for, at the chosen rate, beside what
    // the chosen server runs with (asked when JACK is chosen and nothing
    // plays, once per server).
    void showJackSize()
    {
        const int rate = engine_.settings.SampleRate.get();
        const int frames = JackDriver::requestedFrames(engine_.settings.MaxDelay.get(), rate);
        QString text = tr("JACK buffer asked for: %1 frames at %2 Hz").arg(frames).arg(rate);
        const bool idle = !engine_.running.load() && !context_.run.active();
        if (engine_.settings.UseASIO.get() != 0 && idle && server_->currentIndex() >= 0) {
            const std::string name = server_->currentText().toStdString();
            if (name != askedServer_) {
                askedServer_ = name;
                serverRate_ = serverPeriod_ = 0;
                Silent silent;
                JackDriver driver(engine_);
                if (driver.load(name, silent)) {
                    serverRate_ = driver.serverRate();
                    serverPeriod_ = driver.serverPeriod();
                }
                driver.unload();
            }
            text += serverPeriod_ > 0 ? tr("; the server runs %1 frames at %2 Hz.").arg(serverPeriod_).arg(serverRate_)
                                      : tr("; the server does not answer.");
        } else {
            text += tr("; the server keeps its own.");
        }
        jackSize_->setText(text);
    }

    void openAdvanced()
    {
        const int zoom = engine_.settings.ZoomWindows.get();
        AdvancedOptionsDialog dialog(engine_.settings, this);
        if (dialog.exec() != QDialog::Accepted || engine_.settings.ZoomWindows.get() == zoom) return;
        if (context_.messages.ask("To apply new window size, program must be restarted.\n\nRestart now?", {},
                                  MessageButtons::YesNo, MessageIcon::Question) == MessageAnswer::Yes &&
            restart_)
            restart_();
    }

    std::function<void()> restart_;
    std::string askedServer_;
    int serverRate_ = 0;
    int serverPeriod_ = 0;
    ListControl* input_ = nullptr;
    ListControl* output_ = nullptr;
    ListControl* server_ = nullptr;
    ListControl* rate_ = nullptr;
    ListControl* priority_ = nullptr;
    CheckControl* useJack_ = nullptr;
    CheckControl* stereo_ = nullptr;
    QLabel* jackSize_ = nullptr;
};

} // namespace

ToolPage* makeSetupPage(WindowContext& c, std::function<void()> restart, QWidget* parent)
{
    return new SetupPage(c, std::move(restart), parent);
}

} // namespace stravik::ui
