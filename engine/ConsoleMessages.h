#pragma once
// Messages for the command-line modes: shown on standard error; questions are
// answered from standard input when it is a terminal, otherwise with the
// cautious answer (Cancel / No), so an unattended run never overwrites or
// deletes anything on its own.
#include "dsp/UserMessages.h"

#include <cstdio>
#include <mutex>

namespace stravik {

class ConsoleMessages final : public UserMessages {
public:
    // Problems go to out; plain information (an Information icon) to info,
    // which is out unless given.
    explicit ConsoleMessages(std::FILE* out = stderr, std::FILE* in = stdin, std::FILE* info = nullptr);
    void show(const std::string& text, const std::string& title, MessageIcon icon) override;
    MessageAnswer ask(const std::string& text, const std::string& title, MessageButtons buttons,
                      MessageIcon icon) override;

    // Answers every question with yes/ok without asking (the --yes style of
    // command lines).
    void setAssumeYes(bool yes) { assumeYes_ = yes; }

private:
    std::FILE* out_;
    std::FILE* in_;
    std::FILE* info_;
    bool assumeYes_ = false;
    std::mutex mutex_;
};

} // namespace stravik
