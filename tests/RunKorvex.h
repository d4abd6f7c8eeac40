#pragma once
// Runs the korvex program of this build, as a user would from a shell.
#include "TestFiles.h"

#include <array>
#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace testfiles {

struct KorvexRun {
    int exitCode = -1;
    std::string out; // standard output
    std::string err; // standard error
    std::string all() const { return out + err; }
};

// korvex with args, no input, environment assignments (e.g. "HOME=/x")
// in front; standard error is kept in a file in scratchDir.
inline KorvexRun runKorvex(const std::string& args, const std::string& scratchDir, const std::string& environment = {})
{
    const std::string errFile = scratchDir + "/korvex-stderr.txt";
    const std::string cmd = environment + " " + std::string(STRAVIK_BUILD_DIR) + "/korvex " + args + " 2>'" +
                            errFile + "' </dev/null";
    KorvexRun r;
    std::FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    const int status = pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const auto e = readFile(errFile);
    r.err.assign(e.begin(), e.end());
    return r;
}

} // namespace testfiles
