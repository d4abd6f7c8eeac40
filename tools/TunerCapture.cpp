#include "tools/TunerCapture.h"

#include "tools/PitchAnalyzer.h"

namespace stravik::tools {

namespace {
// The device's own messages become the detail of the tuner's.
class QuietMessages final : public UserMessages {
public:
    std::string said;
    void show(const std::string& text, const std::string&, MessageIcon) override { said = text; }
    MessageAnswer ask(const std::string&, const std::string&, MessageButtons, MessageIcon) override
    {
        return MessageAnswer::Cancel;
    }
};
} // namespace

bool TunerCapture::start(int device, UserMessages& messages)
{
    stop();
    QuietMessages quiet;
    input_ = audio_.openInput(device, kRate, quiet);
    if (!input_ || input_->deviceRate() != kRate || !input_->start(quiet)) {
        if (input_ && quiet.said.empty() && input_->deviceRate() != kRate)
            quiet.said = "The device cannot capture at 44100 Hz.";
        input_.reset();
        messages.show("Cannot open audio input device!" + (quiet.said.empty() ? std::string() : "\n\n" + quiet.said),
                      {}, MessageIcon::Warning);
        return false;
    }
    if (!tuner_.openAnalysis(messages)) {
        input_->stop();
        input_.reset();
        return false;
    }
    buffer_.assign(PitchAnalyzer::kBufferSamples, 0);
    tuner_.clearInTune();
    stop_ = false;
    failed_ = false;
    thread_ = std::thread([this] { capture(); });
    return true;
}

void TunerCapture::capture()
{
    const int channels = input_->channels();
    size_t filled = 0;
    while (!stop_.load()) {
        const int16_t* data = nullptr;
        const int frames = input_->fetch(data, stop_);
        if (frames <= 0) {
            if (input_->failed()) failed_ = true;
            break;
        }
        for (int i = 0; i < frames && filled < buffer_.size(); ++i) buffer_[filled++] = data[i * channels];
        if (filled == buffer_.size()) {
            tuner_.analyseBuffer(buffer_.data(), buffer_.size());
            filled = 0;
        }
    }
}

void TunerCapture::stop()
{
    if (!thread_.joinable()) return;
    stop_ = true;
    thread_.join();
    input_->stop();
    tuner_.waitForAnalysis();
    tuner_.closeAnalysis();
    input_.reset();
}

} // namespace stravik::tools
