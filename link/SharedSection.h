#pragma once
// The shared memory section of the link, mapped in this process: opened (or
// created) by name, checked before use, and the slots claimed and freed.
//
// The object is private to the user (mode 0600). Before it is used, its
// owner, its mode, its size and the layout version written by its creator
// are checked, so an object of another user, or a stale one of another
// layout, is refused with a message instead of being read.
#include "link/LinkProtocol.h"

#include <string>

namespace stravik::link {

class SharedSection {
public:
    SharedSection() = default;
    ~SharedSection();
    SharedSection(const SharedSection&) = delete;
    SharedSection& operator=(const SharedSection&) = delete;

    // The object's name: "/stravik-brelt-<uid>", or the value of
    // BRELT_SHARED_MEMORY when that is set (korvex is always started with
    // it; it also keeps independent sets of instances apart).
    static std::string defaultName();

    // Maps the object; creates it first when create is set and it does not
    // exist. False with the reason in error when it cannot be used.
    bool open(const std::string& name, bool create, std::string& error);
    bool isOpen() const { return base_ != nullptr; }
    const std::string& name() const { return name_; }

    LinkSlot& slot(int index) const;
    SectionHeader& header() const;

    // Takes the first free slot (or one whose owning process no longer
    // exists), zeroes it, marks it in use and writes the rate. Exclusive
    // between processes. -1 when all are taken.
    int claimSlot(int sampleRate);
    // Clears inUse and gives the slot up.
    void releaseSlot(int index);

private:
    void* base_ = nullptr;
    std::string name_;
};

} // namespace stravik::link
