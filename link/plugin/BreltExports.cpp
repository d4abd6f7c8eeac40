// What Brelt.so exports: the VST 2.4 entry under its two names, for hosts,
// and the six link functions, for korvex. Nothing else is visible.
#include "link/LinkEvent.h"
#include "link/LinkExports.h"
#include "link/SharedSection.h"
#include "link/plugin/BreltPlugin.h"

#include <mutex>

#define BRELT_EXPORT extern "C" __attribute__((visibility("default")))

using namespace stravik;
using namespace stravik::link;

namespace {

vst2::Effect* entry(vst2::HostCallback host)
{
    BreltPlugin* plugin = BreltPlugin::create(host);
    return plugin ? plugin->effect() : nullptr;
}

// korvex's side: the section named in its environment, opened on first use.
LinkSlot* slotOf(int slot)
{
    static SharedSection section;
    static std::once_flag once;
    std::call_once(once, [] {
        std::string error;
        if (!section.open(SharedSection::defaultName(), false, error)) showPluginMessage(error);
    });
    if (!section.isOpen() || slot < 0 || slot >= kSlotCount) return nullptr;
    return &section.slot(slot);
}

} // namespace

BRELT_EXPORT vst2::Effect* VSTPluginMain(vst2::HostCallback host) { return entry(host); }

// The older entry name; C++ keeps the name "main" for programs, so the symbol
// is given by its assembler name.
BRELT_EXPORT vst2::Effect* breltOldEntry(vst2::HostCallback host) __asm__("main");
vst2::Effect* breltOldEntry(vst2::HostCallback host) { return entry(host); }

BRELT_EXPORT int VST_WaitBufferReady(int slot, int timeoutMs)
{
    LinkSlot* s = slotOf(slot);
    if (s == nullptr || s->hostStopped.load() != 0) return 0;
    if (!waitEvent(s->readyEvent, timeoutMs)) return 0;
    resetEvent(s->readyEvent);
    return 1;
}

BRELT_EXPORT void VST_GetBuffer(int slot, float** left, float** right, int* count)
{
    LinkSlot* s = slotOf(slot);
    if (left) *left = s ? s->left : nullptr;
    if (right) *right = s ? s->right : nullptr;
    if (count) *count = s ? s->count.load() : 0;
}

BRELT_EXPORT int VST_BufferFinished(int slot)
{
    if (LinkSlot* s = slotOf(slot)) setEvent(s->doneEvent);
    return 1;
}

BRELT_EXPORT int VST_SetPlayMode(int slot, int selector, int value)
{
    if (LinkSlot* s = slotOf(slot)) (selector == 0 ? s->active : s->abort).store(value);
    return value;
}

BRELT_EXPORT int VST_GetState(int slot, int selector)
{
    LinkSlot* s = slotOf(slot);
    if (s == nullptr) return 0;
    if (selector == 0) return s->hostStopped.load();
    if (selector == 1) return s->sampleRate.load();
    return 0;
}

BRELT_EXPORT int VST_CmdFinished(int slot)
{
    if (LinkSlot* s = slotOf(slot)) setEvent(s->commandEvent);
    return 1;
}
