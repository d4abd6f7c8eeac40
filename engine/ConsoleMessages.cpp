#include "engine/ConsoleMessages.h"

#include <cctype>
#include <unistd.h>

namespace stravik {
namespace {

} // namespace

ConsoleMessages::ConsoleMessages(std::FILE* out, std::FILE* in, std::FILE* info)
    : out_(out), in_(in), info_(info ? info : out)
{
}

void ConsoleMessages::show(const std::string& text, const std::string& title, MessageIcon icon)
{
    std::lock_guard lock(mutex_);
    std::FILE* to = icon == MessageIcon::Information ? info_ : out_;
    if (!title.empty()) std::fprintf(to, "%s ", title.c_str());
    std::fprintf(to, "%s\n", text.c_str());
    std::fflush(to);
}

MessageAnswer ConsoleMessages::ask(const std::string& text, const std::string& title,
                                   MessageButtons buttons, MessageIcon)
{
    std::lock_guard lock(mutex_);
    const bool yesNo = buttons == MessageButtons::YesNo;
    const MessageAnswer positive = yesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
    const MessageAnswer negative = yesNo ? MessageAnswer::No
                                         : (buttons == MessageButtons::Ok ? MessageAnswer::Ok
                                                                          : MessageAnswer::Cancel);
    if (!title.empty()) std::fprintf(out_, "%s ", title.c_str());
    std::fprintf(out_, "%s\n", text.c_str());
    if (buttons == MessageButtons::Ok) {
        std::fflush(out_);
        return MessageAnswer::Ok;
    }
    if (assumeYes_) {
        std::fprintf(out_, "(answered %s)\n", yesNo ? "yes" : "ok");
        std::fflush(out_);
        return positive;
    }
    if (in_ == nullptr || !isatty(fileno(in_))) {
        std::fprintf(out_, "(no terminal to answer; answered %s)\n", yesNo ? "no" : "cancel");
        std::fflush(out_);
        return negative;
    }
    std::fprintf(out_, yesNo ? "[y/N] " : "[o]k/[C]ancel ");
    std::fflush(out_);
    int c = std::fgetc(in_);
    int rest = c;
    while (rest != '\n' && rest != EOF) rest = std::fgetc(in_);
    c = std::tolower(c);
    if (yesNo) return c == 'y' ? MessageAnswer::Yes : MessageAnswer::No;
    return (c == 'o' || c == 'y') ? MessageAnswer::Ok : MessageAnswer::Cancel;
}

} // namespace stravik
