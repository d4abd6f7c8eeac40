#include "engine/ProcessingRun.h"

#include "dsp/CpuFeatures.h"
#include "dsp/Realtime.h"
#include "engine/Engine.h"
#include "engine/FileRoles.h"
#include "engine/devices/AudioDevices.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

namespace stravik {
namespace {

bool chainRate(int rate) { return rate == 22050 || rate == 44100 || rate == 48000; }

// Linux keeps a nice value per thread: the process priority is every
// thread's. Refusals (raising needs privileges) are silent.
void setProcessNice(int nice)
{
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        setpriority(PRIO_PROCESS, 0, nice);
        return;
    }
    while (const dirent* e = readdir(tasks)) {
        const int tid = std::atoi(e->d_name);
        if (tid > 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
    }
    closedir(tasks);
}

} // namespace

const char* runEndText(RunEnd end)
{
    switch (end) {
    case RunEnd::None: return "not ended";
    case RunEnd::Stopped: return "stopped";
    case RunEnd::InputEnded: return "the input file has ended";
    case RunEnd::OutputFull: return "the output file is full";
    case RunEnd::DeviceFailed: return "a device failed";
    case RunEnd::Cancelled: return "cancelled";
    case RunEnd::OpenFailed: return "a device or file could not be opened";
    }
    return "";
}

ProcessingRun::ProcessingRun(Engine& engine, FileRoles& files, AudioBackend& audio, UserMessages& messages)
    : engine_(engine), files_(files), audio_(audio), messages_(messages)
{
}

ProcessingRun::~ProcessingRun() { closeProgramWait(); }

ProcessingRun::StartResult ProcessingRun::start()
{
    if (observer_ && observer_->tunerRunning()) {
        messages_.show("You must stop guitar tuner.", "Warning!", MessageIcon::Warning);
        return StartResult::TunerRunning;
    }
    if (active_) {
        stop();
        return StartResult::StopRequested;
    }
    if (thread_.joinable()) thread_.join(); // the last run's thread, already finished
    if (observer_) observer_->collectFileSettings();
    if (!files_.checkSameFiles(messages_)) return StartResult::FilesRefused;
    if (observer_) observer_->runStarting();
    endReason_ = RunEnd::None;
    stopAsked_ = false;
    {
        std::lock_guard lock(devicesLock_);
        xrunsBefore_ = 0;
        failure_.clear();
    }
    std::fill(std::begin(timeCounts_), std::end(timeCounts_), 0L);
    worstMicros_ = 0;
    active_ = true;
    try {
        thread_ = std::thread(&ProcessingRun::threadMain, this);
    } catch (const std::system_error&) {
        active_ = false;
        messages_.show("Error starting thread", {}, MessageIcon::Error);
        if (observer_) observer_->runEnded(RunEnd::OpenFailed);
        return StartResult::ThreadFailed;
    }
    return StartResult::Started;
}

void ProcessingRun::stop()
{
    stopAsked_ = true;
    engine_.StopRequest = true;
}

void ProcessingRun::closeProgramWait()
{
    uiAlive_ = false;
    if (active_) stop();
    wait();
}

void ProcessingRun::wait()
{
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool ProcessingRun::running() const { return engine_.running.load(); }

std::string ProcessingRun::failureText() const
{
    std::lock_guard lock(devicesLock_);
    return failure_;
}

long ProcessingRun::xruns() const
{
    std::lock_guard lock(devicesLock_);
    long n = xrunsBefore_;
    if (input_) n += input_->xruns();
    if (output_) n += output_->xruns();
    return n;
}

void ProcessingRun::timeBlock(double micros)
{
    worstMicros_ = std::max(worstMicros_, micros);
    const int step = std::min(kTimeSteps - 1, static_cast<int>(micros / kTimeStepMicros));
    ++timeCounts_[step];
}

ProcessingRun::BlockTimes ProcessingRun::blockTimes() const
{
    BlockTimes t;
    for (long c : timeCounts_) t.blocks += c;
    t.worstMicros = worstMicros_;
    long seen = 0;
    for (int i = 0; i < kTimeSteps; ++i) {
        seen += timeCounts_[i];
        if (seen * 100 >= t.blocks * 99) {
            t.percentile99Micros = (i + 1) * kTimeStepMicros;
            break;
        }
    }
    return t;
}

void ProcessingRun::setProcessPriority(bool high)
{
    setProcessNice(high ? -10 : savedNice_);
}

bool ProcessingRun::openDevices(int rate)
{
    Engine& e = engine_;
    const auto openInput = [&]() -> bool {
        if (!e.fileInput) {
            const int index = e.settings.WaveInDevice;
            const int count = static_cast<int>(audio_.captureDevices().size());
            std::unique_ptr<InputDevice> in;
            if (index >= 0 && index < count) {
                in = audio_.openInput(index, rate, messages_);
            } else {
                messages_.show("Error opening audio input device!", {}, MessageIcon::Warning);
            }
            if (!in) return false;
            std::lock_guard lock(devicesLock_);
            input_ = std::move(in);
        }
        // The files go with the input.
        if (!files_.open(rate)) {
            std::lock_guard lock(devicesLock_);
            input_.reset();
            return false;
        }
        filesOpen_ = true;
        return true;
    };
    const auto closeInput = [&] {
        if (filesOpen_) files_.abandon();
        filesOpen_ = false;
        std::lock_guard lock(devicesLock_);
        input_.reset();
    };
    const auto openOutput = [&]() -> bool {
        OutputRequest request;
        request.rate = rate;
        request.channels = e.settings.stereo ? 2 : 1;
        request.maxDelayMs = e.settings.MaxDelay;
        request.outFast = e.settings.OutFast != 0;
        request.fileInput = e.fileInput;
        const int index = e.settings.DSDevice;
        const int count = static_cast<int>(audio_.playbackDevices().size());
        std::unique_ptr<LiveOutputDevice> out;
        if (index >= 0 && index < count) {
            out = audio_.openOutput(index, request, messages_);
        } else {
            messages_.show("Error initializing direct sound!", {}, MessageIcon::Warning);
        }
        if (!out) return false;
        if (!out->start(messages_)) return false;
        e.setOutputDevice(out.get());
        std::lock_guard lock(devicesLock_);
        output_ = std::move(out);
        return true;
    };
    const auto closeOutput = [&] {
        e.setOutputDevice(nullptr);
        std::lock_guard lock(devicesLock_);
        output_.reset();
    };

    // "Alt duplex mode": some drivers only work when the output is open first.
    if (e.settings.AltDuplex) {
        if (!openOutput()) return false;
        if (!openInput()) {
            closeOutput();
            return false;
        }
    } else {
        if (!openInput()) return false;
        if (!openOutput()) {
            closeInput();
            return false;
        }
    }
    deviceRate_ = input_ ? input_->deviceRate() : rate;
    return true;
}

void ProcessingRun::closeDevices(bool keepOutputFile)
{
    // The input first, so that nothing more is fetched; then the files, so
    // the output file is complete; then the output.
    std::unique_ptr<InputDevice> in;
    std::unique_ptr<LiveOutputDevice> out;
    {
        std::lock_guard lock(devicesLock_);
        if (input_) xrunsBefore_ += input_->xruns();
        if (output_) xrunsBefore_ += output_->xruns();
        in = std::move(input_);
        out = std::move(output_);
    }
    if (in) in->stop();
    in.reset();
    if (filesOpen_ && keepOutputFile) files_.close();
    else if (filesOpen_) files_.abandon(); // nothing was recorded
    filesOpen_ = false;
    if (out) out->stop();
    engine_.setOutputDevice(nullptr);
    out.reset();
}

bool ProcessingRun::deviceFailed()
{
    std::string why;
    if (input_ && input_->failed()) why = input_->failureText();
    else if (output_ && output_->failed()) why = output_->failureText();
    else return false;
    {
        std::lock_guard lock(devicesLock_);
        failure_ = why;
    }
    engine_.StopRequest = true;
    return true;
}

void ProcessingRun::liveLoop()
{
    Engine& e = engine_;
    const int rate = e.ProcessingRate;
    const int factor = deviceRate_ / rate; // 1, or 2 after the 22050 Hz fall-back
    const int channels = input_->channels();
    while (!e.StopRequest) {
        const int16_t* data = nullptr;
        const int frames = input_->fetch(data, e.StopRequest);
        if (frames <= 0) {
            if (deviceFailed()) break;
            continue;
        }
        const int n = frames / factor;
        dsp::raiseThreadPriority();
        const auto begin = std::chrono::steady_clock::now();
        e.convertDeviceBlock(data, n, channels);
        e.ProcessBlock(n);
        timeBlock(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin).count());
        if (deviceFailed()) break;
    }
}

void ProcessingRun::fileLoop()
{
    // Back to back: the output device's wait for room sets the pace.
    while (!engine_.StopRequest) {
        engine_.ProcessBlock(Engine::kBlockFrames);
        if (deviceFailed()) break;
    }
}

void ProcessingRun::threadMain()
{
    Engine& e = engine_;
    const dsp::cpu::ScopedFlushToZero flushToZero; // when EnableSSE allows it
    e.StopRequest = false;
    int rate = e.settings.SampleRate;
    if (!chainRate(rate)) rate = 48000;
    e.ProcessingRate = rate;
    e.startBeep().stop();
    errno = 0;
    savedNice_ = getpriority(PRIO_PROCESS, 0);
    if (errno != 0) savedNice_ = 0;

    if (e.settings.DisableSSaver) screenSaver_.inhibit("Playing guitar");

    RunEnd end = RunEnd::None;
    if (e.fileOutput && !files_.confirmOverwrite(messages_)) {
        end = RunEnd::Cancelled; // nothing was opened
    } else {
        e.raisePriorityForFileInput = true;
        e.beginRun(rate);
        if (runInputs_) runInputs_->openForRun(messages_);
        if (!openDevices(rate)) {
            end = RunEnd::OpenFailed;
        } else {
            e.prepareDeviceInput(rate, deviceRate_);
            e.outputOpened();
            setProcessPriority(e.settings.Priority == 1);
            const bool started = e.fileInput || input_->start(messages_);
            if (!started) {
                end = RunEnd::OpenFailed;
            } else {
                e.running = true;
                if (observer_) observer_->runStarted();
                e.startBeepIfWanted();
                if (e.fileInput)
                    fileLoop();
                else
                    liveLoop();
                dsp::normalThreadPriority();
                const std::string failure = failureText();
                if (!failure.empty()) {
                    end = RunEnd::DeviceFailed;
                    messages_.show(failure, {}, MessageIcon::Warning);
                } else if (stopAsked_) {
                    end = RunEnd::Stopped;
                } else if (files_.outputFull()) {
                    end = RunEnd::OutputFull;
                } else if (e.fileInput) {
                    end = RunEnd::InputEnded;
                } else {
                    end = RunEnd::Stopped;
                }
            }
            closeDevices(started);
        }
        if (runInputs_) runInputs_->closeAfterRun();
    }
    endReason_ = end;
    if (uiAlive_) {
        setProcessPriority(false);
        e.endRun();
        if (observer_) observer_->runEnded(end);
    }
    screenSaver_.release();
    e.running = false;
    active_ = false;
}

} // namespace stravik
