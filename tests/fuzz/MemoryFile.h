#pragma once
// The fuzz input as a file the readers open by name, as they open any file,
// but kept in memory: a memfd named through /proc/self/fd. Nothing is
// created or removed on disk for each run, which made the file-reading
// targets spend most of their time in the file system.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

class MemoryFile {
public:
    MemoryFile() : fd_(memfd_create("stravik-fuzz-input", MFD_CLOEXEC))
    {
        if (fd_ < 0) std::abort(); // Linux without memfd: nothing to fuzz with
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { ::close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    // Makes the file hold exactly these bytes; returns its name.
    const std::string& hold(const uint8_t* data, size_t size)
    {
        if (::ftruncate(fd_, 0) != 0) std::abort();
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) std::abort();
            done += static_cast<size_t>(n);
        }
        return path_;
    }

private:
    int fd_;
    std::string path_;
};
