#include "engine/ProcessingRun.h"

#include "dsp/CpuFeatures.h"
#include "dsp/Realtime.h"
#include "engine/Engine.h"
#include "engine/FileRoles.h"
#include "engine/PluginLink.h"
#include "engine/devices/AudioDevices.h"
#include "engine/devices/JackDriver.h"

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
        lastJack_ = JackState{};
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
    if (jack_) n += jack_->serverXruns();
    return n;
}

ProcessingRun::JackState ProcessingRun::jackState() const
{
    std::lock_guard lock(devicesLock_);
    if (!jack_) return lastJack_;
    JackState s = lastJack_;
    s.rate = jack_->serverRate();
    s.period = jack_->serverPeriod();
    s.requestedFrames = jack_->requestedSize();
    s.serverXruns = jack_->serverXruns();
    s.lateCallbacks = jack_->lateCallbacks();
    s.callbacks = jack_->callbacks();
    return s;
}

bool ProcessingRun::loadJack(int& rate)
{
    // The server's clock and rate rule: the chain runs at the server's rate
    // when it is one the chain knows, so the client is opened before the
    // effects are set up for a rate.
    const std::vector<std::string> servers = JackDriver::servers();
    const int index = engine_.settings.ASIO_dev;
    auto driver = std::make_unique<JackDriver>(engine_);
    const std::string name =
        index >= 0 && index < static_cast<int>(servers.size()) ? servers[static_cast<size_t>(index)] : std::string();
    if (name.empty()) {
        messages_.show("Error loading ASIO driver!", {}, MessageIcon::Warning);
        return false;
    }
    if (!driver->load(name, messages_)) return false;
    const int serverRate = driver->serverRate();
    if (!chainRate(serverRate)) {
        messages_.show("Error setting up ASIO driver!", {}, MessageIcon::Warning);
        return false;
    }
    rate = serverRate;
    std::lock_guard lock(devicesLock_);
    jack_ = std::move(driver);
    lastJack_.used = true;
    lastJack_.server = name;
    return true;
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
    const bool useJack = jack_ != nullptr;
    const auto openInput = [&]() -> bool {
        if (useJack) {
            if (!jack_->open(rate, e.settings.MaxDelay, messages_)) return false;
        } else if (!e.fileInput) {
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
            if (useJack) jack_->unload();
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
        if (useJack) jack_->unload();
        std::lock_guard lock(devicesLock_);
        input_.reset();
    };
    const auto openOutput = [&]() -> bool {
        if (useJack) return true; // the client's ports are the output
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

void ProcessingRun::closeJack(bool keepOutputFile)
{
    // No callback runs once the client is deactivated; then the files, then
    // the client goes.
    jack_->stop();
    JackState s = jackState();
    {
        const long blocks = jack_->callbacks();
        for (int i = 0; i < kTimeSteps && i < JackDriver::kTimeSteps; ++i) timeCounts_[i] = jack_->timeCount(i);
        worstMicros_ = blocks > 0 ? jack_->worstMicros() : 0.0;
    }
    if (filesOpen_ && keepOutputFile) files_.close();
    else if (filesOpen_) files_.abandon();
    filesOpen_ = false;
    std::unique_ptr<JackDriver> jack;
    {
        std::lock_guard lock(devicesLock_);
        xrunsBefore_ += s.serverXruns;
        lastJack_ = s;
        jack = std::move(jack_);
    }
    jack->unload();
}

bool ProcessingRun::deviceFailed()
{
    std::string why;
    if (input_ && input_->failed()) why = input_->failureText();
    else if (output_ && output_->failed()) why = output_->failureText();
    else if (jack_ && jack_->failed()) why = jack_->failureText();
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

void ProcessingRun::jackLoop()
{
    // JACK's process callback does the work; this thread only watches for
    // a server that has gone away.
    while (!engine_.StopRequest) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        jack_->watch();
        if (deviceFailed()) break;
    }
    deviceFailed(); // a shutdown that set StopRequest itself
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
    // In plug-in mode the host's rate wins.
    PluginLink* link = e.vstMode ? pluginLink_ : nullptr;
    if (link != nullptr) {
        const int hostRate = link->hostRate();
        if (chainRate(hostRate)) rate = hostRate;
        link->setPlayMode(1, 0);
    }
    e.ProcessingRate = rate;
    e.startBeep().stop();
    errno = 0;
    savedNice_ = getpriority(PRIO_PROCESS, 0);
    if (errno != 0) savedNice_ = 0;

    if (e.settings.DisableSSaver) screenSaver_.inhibit("Playing guitar");

    RunEnd end = RunEnd::None;
    const bool useJack = e.settings.UseASIO != 0 && !e.vstMode;
    if (e.fileOutput && !files_.confirmOverwrite(messages_)) {
        end = RunEnd::Cancelled; // nothing was opened
    } else if (useJack && !loadJack(rate)) {
        end = RunEnd::OpenFailed;
        std::lock_guard lock(devicesLock_);
        jack_.reset();
    } else {
        e.ProcessingRate = rate;
        // JACK's thread has its own priority, which the chain must not touch.
        e.raisePriorityForFileInput = !useJack;
        e.beginRun(rate);
        if (runInputs_) runInputs_->openForRun(messages_);
        if (link != nullptr) {
            // No device: the host's blocks are the input and the output.
            e.outputOpened();
            setProcessPriority(e.settings.Priority == 1);
            e.running = true;
            if (observer_) observer_->runStarted();
            link->setPlayMode(0, 1);
            while (!e.StopRequest) link->serve(e);
            dsp::normalThreadPriority();
            end = RunEnd::Stopped;
        } else if (!openDevices(rate)) {
            end = RunEnd::OpenFailed;
            std::lock_guard lock(devicesLock_);
            jack_.reset();
        } else {
            e.prepareDeviceInput(rate, deviceRate_);
            e.outputOpened();
            // The direct hardware path runs its process at the highest priority.
            setProcessPriority(e.settings.Priority == 1 || (input_ && input_->direct()));
            const bool started = useJack ? jack_->start(e.settings.JackConnect != 0, messages_)
                                         : e.fileInput || input_->start(messages_);
            if (!started) {
                end = RunEnd::OpenFailed;
            } else {
                e.running = true;
                if (observer_) observer_->runStarted();
                e.startBeepIfWanted();
                if (useJack)
                    jackLoop();
                else if (e.fileInput)
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
            if (useJack)
                closeJack(started);
            else
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
    if (link != nullptr) link->setPlayMode(0, 0);
    active_ = false;
}

} // namespace stravik
