#pragma once
// For the tests of the plug-in link: each test process gets a shared memory
// section of its own (named in BRELT_SHARED_MEMORY, which Brelt.so and the
// korvex it starts both read), removed when the process ends.
#include "link/LinkProtocol.h"

#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace linktest {

inline const std::string& sectionName()
{
    struct Own {
        std::string name = "/stravik-brelt-test-" + std::to_string(getpid());
        Own() { setenv(stravik::link::kSectionNameVariable, name.c_str(), 1); }
        ~Own() { shm_unlink(name.c_str()); }
    };
    static Own own;
    return own.name;
}

inline std::string breltPath() { return std::string(STRAVIK_BUILD_DIR) + "/Brelt.so"; }

} // namespace linktest
