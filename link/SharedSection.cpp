#include "link/SharedSection.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace stravik::link {
namespace {

bool processExists(int32_t pid)
{
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

std::string failure(const std::string& name, const std::string& what)
{
    return "The link's shared memory " + name + " " + what;
}

} // namespace

SharedSection::~SharedSection()
{
    if (base_ != nullptr) munmap(base_, kSectionBytes);
}

std::string SharedSection::defaultName()
{
    if (const char* n = std::getenv(kSectionNameVariable); n != nullptr && n[0] == '/') return n;
    return "/stravik-brelt-" + std::to_string(getuid());
}

bool SharedSection::open(const std::string& name, bool create, std::string& error)
{
    if (base_ != nullptr) return true;
    bool creator = false;
    int fd = -1;
    if (create) {
        fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            creator = true;
            if (fchmod(fd, 0600) != 0 || ftruncate(fd, kSectionBytes) != 0) {
                error = failure(name, std::string("cannot be set up: ") + std::strerror(errno));
                close(fd);
                shm_unlink(name.c_str());
                return false;
            }
        } else if (errno != EEXIST) {
            error = failure(name, std::string("cannot be created: ") + std::strerror(errno));
            return false;
        }
    }
    if (fd < 0) {
        fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (fd < 0) {
            error = failure(name, std::string("cannot be opened: ") + std::strerror(errno));
            return false;
        }
    }
    struct stat st{};
    // A creator in another process may not have sized the object yet.
    for (int tries = 0;; ++tries) {
        if (fstat(fd, &st) != 0) {
            error = failure(name, std::string("cannot be examined: ") + std::strerror(errno));
            close(fd);
            return false;
        }
        if (st.st_size != 0 || tries >= 100) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (st.st_uid != geteuid()) {
        error = failure(name, "belongs to another user");
    } else if ((st.st_mode & 077) != 0) {
        error = failure(name, "can be opened by other users");
    } else if (st.st_size != kSectionBytes) {
        error = failure(name, "has " + std::to_string(st.st_size) + " bytes instead of " +
                                  std::to_string(kSectionBytes));
    }
    if (!error.empty()) {
        close(fd);
        return false;
    }
    void* base = mmap(nullptr, kSectionBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (base == MAP_FAILED) {
        error = failure(name, std::string("cannot be mapped: ") + std::strerror(errno));
        return false;
    }
    auto& h = *reinterpret_cast<SectionHeader*>(static_cast<char*>(base) + kHeaderOffset);
    if (creator) {
        h.version.store(kLayoutVersion, std::memory_order_relaxed);
        h.magic.store(kSectionMagic, std::memory_order_release);
    } else {
        for (int tries = 0; tries < 100 && h.magic.load(std::memory_order_acquire) == 0; ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (h.magic.load(std::memory_order_acquire) != kSectionMagic) {
            error = failure(name, "is not a link section");
        } else if (h.version.load(std::memory_order_relaxed) != kLayoutVersion) {
            error = failure(name, "has layout version " + std::to_string(h.version.load()) +
                                      "; this program uses version " + std::to_string(kLayoutVersion));
        }
        if (!error.empty()) {
            munmap(base, kSectionBytes);
            return false;
        }
    }
    base_ = base;
    name_ = name;
    return true;
}

LinkSlot& SharedSection::slot(int index) const
{
    return *reinterpret_cast<LinkSlot*>(static_cast<char*>(base_) + static_cast<std::size_t>(index) * kSlotBytes);
}

SectionHeader& SharedSection::header() const
{
    return *reinterpret_cast<SectionHeader*>(static_cast<char*>(base_) + kHeaderOffset);
}

int SharedSection::claimSlot(int sampleRate)
{
    if (base_ == nullptr) return -1;
    const int32_t me = getpid();
    SectionHeader& h = header();
    for (int i = 0; i < kSlotCount; ++i) {
        int32_t owner = h.ownerPid[i].load(std::memory_order_acquire);
        bool claimed = false;
        if (owner == 0) {
            claimed = h.ownerPid[i].compare_exchange_strong(owner, me, std::memory_order_acq_rel);
        } else if (owner != me && !processExists(owner)) {
            // Left behind by a host that ended without freeing it.
            claimed = h.ownerPid[i].compare_exchange_strong(owner, me, std::memory_order_acq_rel);
        }
        if (!claimed) continue;
        LinkSlot& s = slot(i);
        s.sampleRate.store(0);
        s.hostStopped.store(0);
        s.readyEvent.store(0);
        s.doneEvent.store(0);
        s.commandEvent.store(0);
        std::memset(s.left, 0, sizeof(s.left));
        std::memset(s.right, 0, sizeof(s.right));
        s.count.store(0);
        s.active.store(0);
        s.abort.store(0);
        s.inUse.store(1);
        s.sampleRate.store(sampleRate, std::memory_order_release);
        return i;
    }
    return -1;
}

void SharedSection::releaseSlot(int index)
{
    if (base_ == nullptr || index < 0 || index >= kSlotCount) return;
    slot(index).inUse.store(0, std::memory_order_release);
    header().ownerPid[index].store(0, std::memory_order_release);
}

} // namespace stravik::link
