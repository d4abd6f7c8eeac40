#pragma once
// Messages for tests: everything shown or asked is recorded, and questions get
// scripted answers (a default when the script runs out).
#include "dsp/UserMessages.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace stravik {

class RecordingMessages final : public UserMessages {
public:
    struct Entry {
        std::string text;
        std::string title;
        MessageIcon icon;
        bool question;
    };

    void show(const std::string& text, const std::string& title, MessageIcon icon) override
    {
        std::lock_guard lock(mutex_);
        entries_.push_back({text, title, icon, false});
    }

    MessageAnswer ask(const std::string& text, const std::string& title, MessageButtons,
                      MessageIcon icon) override
    {
        std::lock_guard lock(mutex_);
        entries_.push_back({text, title, icon, true});
        if (answers_.empty()) return defaultAnswer_;
        MessageAnswer a = answers_.front();
        answers_.pop_front();
        return a;
    }

    void queueAnswer(MessageAnswer a)
    {
        std::lock_guard lock(mutex_);
        answers_.push_back(a);
    }
    void setDefaultAnswer(MessageAnswer a)
    {
        std::lock_guard lock(mutex_);
        defaultAnswer_ = a;
    }

    std::vector<Entry> entries() const
    {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    std::vector<std::string> texts() const
    {
        std::lock_guard lock(mutex_);
        std::vector<std::string> t;
        for (const auto& e : entries_) t.push_back(e.text);
        return t;
    }
    size_t count() const
    {
        std::lock_guard lock(mutex_);
        return entries_.size();
    }
    void clear()
    {
        std::lock_guard lock(mutex_);
        entries_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::deque<MessageAnswer> answers_;
    MessageAnswer defaultAnswer_ = MessageAnswer::Ok;
};

} // namespace stravik
