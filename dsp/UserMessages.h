#pragma once
// Messages towards the user. Engine code never talks to a window system; it
// reports through this interface, which the desktop window, the console
// (render mode) and the tests implement.
#include <string>

namespace stravik {

enum class MessageIcon { None, Information, Warning, Error, Question };

enum class MessageButtons { Ok, OkCancel, YesNo };

enum class MessageAnswer { Ok, Cancel, Yes, No };

class UserMessages {
public:
    virtual ~UserMessages() = default;
    // A message box: shows the text and returns when the user has seen it.
    virtual void show(const std::string& text, const std::string& title = {},
                      MessageIcon icon = MessageIcon::Warning) = 0;
    // A question with the given buttons; returns the button chosen.
    virtual MessageAnswer ask(const std::string& text, const std::string& title,
                              MessageButtons buttons, MessageIcon icon = MessageIcon::Question) = 0;
};

// Swallows everything and answers every question positively (Ok / Yes).
class SilentMessages final : public UserMessages {
public:
    void show(const std::string&, const std::string&, MessageIcon) override {}
    MessageAnswer ask(const std::string&, const std::string&, MessageButtons buttons,
                      MessageIcon) override
    {
        return buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
    }
};

} // namespace stravik
