#pragma once
// The program's persistent store: keys addressed by paths below the program
// key ("cfg", "cfg\Shortcuts", "presets\Clean"), each holding named text
// values in the order they were first written. It lives in one SQLite
// database ($XDG_CONFIG_HOME/stravik/registry.sqlite3, by default under
// ~/.config). Key paths and value names compare without regard to case.
//
// Every single write is committed at once; a Transaction groups many writes
// so that a crash or a kill in the middle leaves the old state whole.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;

namespace stravik {

class UserMessages;

class RegistryStore {
public:
    // The store file of this user.
    static std::string defaultPath();

    // Opens (creating when needed) the store at path; ":memory:" gives a
    // private store that lives as long as the object. A file that is not a
    // store of this program, or is damaged, is moved aside (its name gets
    // ".damaged-<time>"), a fresh store is started and messages (may be null)
    // hears about it. ok() is false only when no store could be opened at all.
    explicit RegistryStore(const std::string& path, UserMessages* messages = nullptr);
    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    bool ok() const { return db_ != nullptr; }
    // How long a write waits for another program that holds the store
    // (5 s unless changed).
    void setBusyTimeout(int milliseconds);
    const std::string& path() const { return path_; }
    // Why the last write failed (empty when it did not).
    const std::string& lastError() const { return lastError_; }

    // ---- raw access (subPath empty = the program key itself)
    std::optional<std::string> read(const std::string& name, const std::string& subPath) const;
    bool write(const std::string& name, const std::string& value, const std::string& subPath);
    // Deletes the key and every key below it.
    bool deleteKey(const std::string& subPath);
    bool keyExists(const std::string& subPath) const;
    // Names and texts of a key's values, in the order they were first written.
    std::vector<std::pair<std::string, std::string>> values(const std::string& subPath) const;
    // The names of the keys directly below subPath, sorted without regard to case.
    std::vector<std::string> subKeys(const std::string& subPath) const;
    // Makes everything written so far durable (writes outside a transaction
    // already are).
    void flush() {}

    // ---- the accessors of the program's settings and presets. Failures are
    // silent: a missing, unreadable, too long or unparsable value gives the
    // default.
    // Returns 0 and the text, or 1 and the default when the value is missing
    // or does not fit bufferSize bytes with its terminator.
    int ReadStringValue(const std::string& name, std::string& out, int bufferSize, const std::string& defaultText,
                        const std::string& subPath) const;
    int ReadIntValue(const std::string& name, int defaultValue, const std::string& subPath) const;
    float ReadFloatValue(const std::string& name, float defaultValue, const std::string& subPath) const;
    void WriteStringValue(const std::string& name, const std::string& text, const std::string& subPath);
    void WriteIntValue(const std::string& name, int value, const std::string& subPath);
    void WriteFloatValue(const std::string& name, float value, const std::string& subPath);

    // "%d" and "%g" as the store writes them.
    static std::string formatInt(int v);
    static std::string formatFloat(float v);
    // Parsing as the readers do it: leading blanks, then a number; the rest
    // of the text is ignored. nullopt when there is no number.
    static std::optional<int> parseInt(const std::string& text);
    static std::optional<float> parseFloat(const std::string& text);

    // ---- transactions
    class Transaction {
    public:
        explicit Transaction(RegistryStore& store);
        ~Transaction(); // rolls back unless committed
        bool commit();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;

    private:
        RegistryStore& store_;
        bool active_ = false;
    };

    // Tests: called after every value written inside a transaction.
    void setWriteObserver(std::function<void(const std::string& path, const std::string& name)> observer)
    {
        observer_ = std::move(observer);
    }

private:
    bool openFile(const std::string& path, std::string& why);
    bool exec(const char* sql);

    void reportWriteFailure();

    std::string path_;
    UserMessages* messages_;
    sqlite3* db_ = nullptr;
    // The window, the MIDI thread and the preset loader share the store; a
    // transaction holds it for its whole length.
    mutable std::recursive_mutex mutex_;
    bool failureReported_ = false;
    bool writesRefused_ = false; // the enclosing transaction could not begin
    int transactionDepth_ = 0;
    std::string lastError_;
    std::function<void(const std::string&, const std::string&)> observer_;
};

} // namespace stravik
