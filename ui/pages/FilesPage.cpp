// The Files page: the input file that replaces the guitar, the output file
// that records what is played, and the background track mixed in, each with
// its switch, its path and Browse; the two read files with their progress
// (a slider that also seeks), pause and auto rewind; the background's
// volume, loop and "Mix to output file".
#include "engine/Engine.h"
#include "engine/FileRoles.h"
#include "engine/ProcessingRun.h"
#include "ui/pages/PageKit.h"
#include "ui/pages/ToolPages.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <atomic>
#include <cmath>

namespace stravik::ui {
namespace {

// A switch bound to one of the engine's run flags.
Binding bindFlag(std::atomic<bool>& flag)
{
    return {[&flag] { return flag.load() ? 1.0 : 0.0; }, [&flag](double v) { flag = v != 0; }};
}

Binding bindInt(Param<int>& p)
{
    return {[&p] { return static_cast<double>(p.get()); }, [&p](double v) { p = static_cast<int>(v); }};
}

class FilesPage final : public ToolPage {
public:
    FilesPage(WindowContext& c, QWidget* parent) : ToolPage(tr("Files"), c, parent), files_(c.files)
    {
        addHelp("files");
        auto& settings = engine_.settings;

        QGroupBox* input = addGroup(tr("Input file"), 0, 0);
        inputRole_ = addRole(input, "Input file", bindFlag(engine_.fileInput), settings.FileIn,
                             "Select input wave file", false,
                             tip(tr("Plays this file through the chain instead of the guitar"), "FileIn"));
        inputProgress_ = addProgress(input, [this] { return files_.inputProgress(); },
                                     [this](int p) { files_.seekInput(p); }, "input");
        addToggles(input, files_.inputPause, files_.inputAutoRewind);

        QGroupBox* background = addGroup(tr("Background track"), 0, 1);
        backgroundRole_ = addRole(background, "Background track", bindFlag(engine_.backgroundTrack), settings.FileMix,
                                  "Select background track wave file", false,
                                  tip(tr("Mixes this file into what you hear, to play along"), "FileMix"));
        backgroundProgress_ = addProgress(background, [this] { return files_.backgroundProgress(); },
                                          [this](int p) { files_.seekBackground(p); }, "background");
        addToggles(background, files_.backgroundPause, files_.backgroundAutoRewind);
        addSlider(background,
                  {.label = "Volume:", .minimum = 0, .maximum = 50, .reset = 50,
                   .value = [](int p) { return std::pow(10.0, (p - 50) / 20.0); },
                   .text = [](double v) { return formatInt("%ddB", static_cast<int>(std::lround(20 * std::log10(v)))); },
                   .binding = {[&settings] { return static_cast<double>(settings.MixAmp.get()); },
                               [&settings](double v) { settings.MixAmp = static_cast<float>(v); }},
                   .tip = tip(tr("Loudness of the background track"), "MixAmp"),
                   .position = [](double v) {
                       return v > 0 ? static_cast<int>(std::lround(20 * std::log10(v))) + 50 : 0;
                   }});
        auto* backgroundOptions = new QWidget(background);
        auto* line = new QHBoxLayout(backgroundOptions);
        line->setContentsMargins(0, 0, 0, 0);
        loop_ = new CheckControl("Loop", bindInt(settings.MixLoop), {},
                                 tip(tr("Starts the track again at its end"), "MixLoop"), backgroundOptions);
        mixToOutput_ = new CheckControl("Mix to output file", bindInt(settings.Mix2Out), {},
                                        tip(tr("The output file records the track too"), "Mix2Out"), backgroundOptions);
        line->addWidget(loop_);
        line->addWidget(mixToOutput_);
        line->addStretch(1);
        addRow(background, backgroundOptions);

        QGroupBox* output = addGroup(tr("Output file"), 1, 0, 1, 2);
        outputRole_ = addRole(output, "Output file", bindFlag(engine_.fileOutput), settings.FileOut,
                              "Select output wave file", true,
                              tip(tr("Records what you hear into this file"), "FileOut"));

        // The progress of a run, at the display rate.
        auto* timer = new QTimer(this);
        timer->setInterval(100);
        connect(timer, &QTimer::timeout, this, [this] { showProgress(); });
        timer->start();
        finish();
    }

    void refresh() override
    {
        for (Role* r : {&inputRole_, &backgroundRole_, &outputRole_}) {
            r->on->refresh();
            // A name being typed stays until it is stored.
            if (!r->path->isModified()) r->path->setText(QString::fromStdString(r->setting->get()));
        }
        loop_->refresh();
        mixToOutput_->refresh();
        for (CheckControl* t : toggles_) t->refresh();
        ToolPage::refresh();
    }

    void collectSettings() override { storePaths(); }

    // Copies the path fields the user changed into the settings ("input"
    // becomes "input.wav"); the others keep what the settings hold.
    void storePaths()
    {
        for (Role* r : {&inputRole_, &backgroundRole_, &outputRole_}) {
            if (!r->path->isModified()) continue;
            const QString text = r->path->text().left(1023);
            const std::string path = text.isEmpty() ? std::string() : FileRoles::withWavExtension(text.toStdString());
            *r->setting = path;
            r->path->setText(QString::fromStdString(path));
            r->path->setModified(false);
        }
    }

protected:
    void applyRules() override
    {
        // What a run has opened stays as it is until the run ends; with a
        // plug-in host the host's audio is the input and the output.
        const bool idle = !engine_.running.load() && !context_.run.active() && !engine_.vstMode.load();
        for (Role* r : {&inputRole_, &backgroundRole_, &outputRole_}) {
            r->on->setEnabled(idle);
            r->path->setEnabled(idle);
            r->browse->setEnabled(idle);
        }
        loop_->setEnabled(idle);
        mixToOutput_->setEnabled(idle);
    }

private:
    struct Role {
        CheckControl* on = nullptr;
        QLineEdit* path = nullptr;
        QPushButton* browse = nullptr;
        TextParam* setting = nullptr;
    };

    Role addRole(QGroupBox* group, const QString& name, Binding flag, TextParam& setting, const QString& title,
                 bool saving, const QString& tipText)
    {
        Role role;
        role.setting = &setting;
        role.on = new CheckControl(name, std::move(flag), {}, tipText, group);
        addRow(group, role.on);
        auto* row = new QWidget(group);
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        role.path = new QLineEdit(row);
        role.path->setMaxLength(1023);
        role.path->setToolTip(tipText);
        line->addWidget(role.path, 1);
        role.browse = new QPushButton("Browse...", row);
        line->addWidget(role.browse);
        addRow(group, row);
        QLineEdit* path = role.path;
        connect(path, &QLineEdit::editingFinished, this, [this] { storePaths(); });
        const bool resetsProgress = &setting != &engine_.settings.FileOut;
        connect(role.browse, &QPushButton::clicked, this, [this, path, title, saving, resetsProgress, &setting] {
            const QString chosen = saving ? QFileDialog::getSaveFileName(this, title, path->text(), "All Files (*.*)")
                                          : QFileDialog::getOpenFileName(this, title, path->text(), "All Files (*.*)");
            if (chosen.isEmpty()) return;
            path->setText(chosen);
            path->setModified(true);
            storePaths();
            // A new file starts from its beginning.
            if (resetsProgress) {
                if (&setting == &engine_.settings.FileIn)
                    files_.resetInputProgress();
                else
                    files_.resetBackgroundProgress();
                showProgress();
            }
        });
        return role;
    }

    SliderRow* addProgress(QGroupBox* group, std::function<int()> percent, std::function<void(int)> seek,
                           const char* which)
    {
        return addSlider(group, {.label = "Position:", .minimum = 0, .maximum = 100, .reset = 0,
                                 .value = [](int p) { return static_cast<double>(p); },
                                 .text = [](double v) { return formatInt("%d%%", static_cast<int>(v)); },
                                 .binding = {[percent] { return static_cast<double>(percent()); },
                                             [seek](double v) { seek(static_cast<int>(v)); }},
                                 .tip = tr("How far the %1 file has played; move it to go there").arg(which),
                                 .position = [](double v) { return static_cast<int>(v); }});
    }

    void addToggles(QGroupBox* group, Param<int>& pause, Param<int>& rewind)
    {
        auto* row = new QWidget(group);
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        auto* p = new CheckControl("Pause", bindInt(pause), {}, tr("Holds the file where it is (silence meanwhile)"),
                                   row);
        auto* r = new CheckControl("Auto rewind on start", bindInt(rewind), {},
                                   tr("Every run starts the file from its beginning"), row);
        line->addWidget(p);
        line->addWidget(r);
        toggles_.push_back(p);
        toggles_.push_back(r);
        line->addStretch(1);
        addRow(group, row);
    }

    // The sliders follow the files, unless the user holds one.
    void showProgress()
    {
        for (SliderRow* row : {inputProgress_, backgroundProgress_})
            if (!row->slider()->isSliderDown()) row->refresh();
    }

    FileRoles& files_;
    Role inputRole_, backgroundRole_, outputRole_;
    SliderRow* inputProgress_ = nullptr;
    SliderRow* backgroundProgress_ = nullptr;
    CheckControl* loop_ = nullptr;
    CheckControl* mixToOutput_ = nullptr;
    std::vector<CheckControl*> toggles_;
};

} // namespace

ToolPage* makeFilesPage(WindowContext& c, QWidget* parent) { return new FilesPage(c, parent); }

} // namespace stravik::ui
