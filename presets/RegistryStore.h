#pragma once
// The program's persistent store: keys addressed by paths below the program
// key ("cfg", "cfg\Shortcuts", "presets\Clean"), each holding named text
// values in the order they were first written. It lives in one SQLite
// database ($XDG_CONFIG_HOME/stravik/registry.sqlite3, by default under
// ~/.config). Key paths and value names compare without regard to case.
//
// Every single write is committed at once; a Transaction groups many writes
// so that a crash or a kill in the middle leaves the old state whole, and a
// write that fails inside a transaction fails the whole transaction.
//
// Nothing that was committed is ever thrown away: only a file that is not a
// database at all, or fails SQLite's integrity check, is moved aside (with its
// -wal and -shm files, under the name "<file>.damaged-<time>"). A store that
// is busy, unreadable or belongs to another program is left as it is and the
// store does not open (ok() is false, the reason was reported).
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace stravik {

class UserMessages;

// Value names compared as the store compares them (ASCII letters without
// regard to case).
struct NoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

// The values of one key, read in one go. The accessors follow the store's
// own rules (limits, parsing, defaults).
class KeySnapshot {
public:
    KeySnapshot() = default;
    explicit KeySnapshot(const std::vector<std::pair<std::string, std::string>>& values);
    bool empty() const { return values_.empty(); }
    std::optional<std::string> read(const std::string& name) const;
    int ReadStringValue(const std::string& name, std::string& out, int bufferSize, const std::string& defaultText) const;
    int ReadIntValue(const std::string& name, int defaultValue) const;
    float ReadFloatValue(const std::string& name, float defaultValue) const;

private:
    std::map<std::string, std::string, NoCaseLess> values_;
};

class RegistryStore {
public:
    enum class Access {
        ReadWrite, // opens or creates the store; falls back to reading when it is read-only
        ReadOnly,  // reads only: a missing store reads as empty and is not created
    };

    // The store file of this user.
    static std::string defaultPath();

    // Opens the store at path; ":memory:" gives a private store that lives as
    // long as the object. messages (may be null) hears about a store that was
    // moved aside or could not be opened.
    explicit RegistryStore(const std::string& path, UserMessages* messages = nullptr,
                           Access access = Access::ReadWrite);
    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    // False when the store could not be opened; openProblem() says why.
    bool ok() const { return opened_; }
    const std::string& openProblem() const { return openProblem_; }
    // True when writes cannot succeed (opened for reading, or the file or its
    // folder is read-only).
    bool readOnly() const { return readOnly_; }
    // How long an operation waits for another program that holds the store
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
    KeySnapshot snapshot(const std::string& subPath) const { return KeySnapshot(values(subPath)); }
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
    // The accessors' rules applied to a value that may be missing.
    static int stringFrom(const std::optional<std::string>& v, std::string& out, int bufferSize,
                          const std::string& defaultText);
    static int intFrom(const std::optional<std::string>& v, int defaultValue);
    static float floatFrom(const std::optional<std::string>& v, float defaultValue);

    // ---- transactions
    class Transaction {
    public:
        explicit Transaction(RegistryStore& store);
        ~Transaction(); // rolls back unless committed
        // False (and everything rolled back) when the transaction could not
        // begin or any write inside it failed.
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
    enum class OpenResult { Opened, Damaged, Failed };
    OpenResult openFile(Access access, std::string& why);
    void closeDb();
    bool exec(const char* sql);
    sqlite3_stmt* statement(int which) const;
    bool writeFailed(const std::string& why);
    void reportWriteFailure(int code);

    std::string path_;
    UserMessages* messages_;
    sqlite3* db_ = nullptr;
    bool opened_ = false;
    bool readOnly_ = false;
    std::string openProblem_;
    // Prepared once, reused for every call (an import writes many thousands).
    mutable std::vector<sqlite3_stmt*> statements_;
    // The window, the MIDI thread and the preset loader share the store; a
    // transaction holds it for its whole length.
    mutable std::recursive_mutex mutex_;
    bool failureReported_ = false;
    bool writesRefused_ = false; // the enclosing transaction could not begin or a write in it failed
    int transactionDepth_ = 0;
    std::string lastError_;
    std::function<void(const std::string&, const std::string&)> observer_;
};

} // namespace stravik
