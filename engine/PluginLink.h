#pragma once
// What a processing run in plug-in mode needs of the link to the plug-in:
// the host's rate, the play-mode flags the plug-in watches, and one step of
// the block exchange. Implemented above the engine (link/); the run only
// calls it from its processing thread.
namespace stravik {

class Engine;

class PluginLink {
public:
    virtual ~PluginLink() = default;
    // The host's sample rate in Hz (0 when it has not told one).
    virtual int hostRate() = 0;
    // Selector 0: the run serves blocks (value 1) or not; 1: the run stopped
    // serving in the middle (value 1) or starts afresh (0).
    virtual void setPlayMode(int selector, int value) = 0;
    // One step of the run's loop: wait for a block of the host, run it
    // through the chain, hand it back. Returns after at most about 500 ms.
    virtual void serve(Engine& engine) = 0;
};

} // namespace stravik
