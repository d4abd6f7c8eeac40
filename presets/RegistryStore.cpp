#include "presets/RegistryStore.h"

#include "dsp/UserMessages.h"

#include <sqlite3.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <thread>

namespace stravik {
namespace {

constexpr int kApplicationId = 0x5354524B; // "STRK"
constexpr int kNumberLimit = 40;            // bytes of a number's text, terminator included
constexpr int kDefaultBusyMs = 5000;

// The statements every operation uses, prepared once per store.
enum StatementId : int {
    kRead,
    kWrite,
    kValues,
    kDeleteExact,
    kDeleteBelow,
    kExistsExact,
    kExistsBelow,
    kPathsBelow,
    kPathsAll,
    kStatementCount
};

const char* const kStatementSql[kStatementCount] = {
    "SELECT value FROM registry_values WHERE path = ?1 AND name = ?2",
    "INSERT INTO registry_values (path, name, value) VALUES (?1, ?2, ?3) "
    "ON CONFLICT (path, name) DO UPDATE SET value = excluded.value",
    "SELECT name, value FROM registry_values WHERE path = ?1 ORDER BY id",
    // The keys below a path are the range [path + "\", path + "]"): "]" is
    // the character after the backslash, and the column's case folding keeps
    // the range on the (path, name) index.
    "DELETE FROM registry_values WHERE path = ?1",
    "DELETE FROM registry_values WHERE path >= ?1 AND path < ?2",
    "SELECT 1 FROM registry_values WHERE path = ?1 LIMIT 1",
    "SELECT 1 FROM registry_values WHERE path >= ?1 AND path < ?2 LIMIT 1",
    "SELECT DISTINCT path FROM registry_values WHERE path >= ?1 AND path < ?2",
    "SELECT DISTINCT path FROM registry_values WHERE path <> ''",
};

// Binds on construction, resets on destruction, so that no statement keeps a
// read transaction open between calls.
class Use {
public:
    explicit Use(sqlite3_stmt* s) : s_(s) {}
    ~Use()
    {
        if (s_) {
            sqlite3_reset(s_);
            sqlite3_clear_bindings(s_);
        }
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    bool ok() const { return s_ != nullptr; }
    Use& bind(int i, const std::string& s)
    {
        if (s_) sqlite3_bind_text(s_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
        return *this;
    }
    int step() { return s_ ? sqlite3_step(s_) : SQLITE_ERROR; }
    std::string text(int col) const
    {
        const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s_, col));
        return t ? std::string(t, static_cast<size_t>(sqlite3_column_bytes(s_, col))) : std::string();
    }
    int integer(int col) const { return sqlite3_column_int(s_, col); }

private:
    sqlite3_stmt* s_;
};

// A one-off statement that finalises itself.
class OneOff {
public:
    OneOff(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~OneOff() { sqlite3_finalize(stmt_); }
    OneOff(const OneOff&) = delete;
    OneOff& operator=(const OneOff&) = delete;
    sqlite3_stmt* get() const { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

std::string trimPath(const std::string& p)
{
    size_t a = 0, b = p.size();
    while (a < b && p[a] == '\\') ++a;
    while (b > a && p[b - 1] == '\\') --b;
    return p.substr(a, b - a);
}

std::string timestamp()
{
    char buf[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(buf, sizeof(buf), "%Y%m%d-%H%M%S", &tm);
    return buf;
}

int primary(int code) { return code & 0xFF; }

bool isBusy(int code) { return primary(code) == SQLITE_BUSY || primary(code) == SQLITE_LOCKED; }

bool isDamage(int code) { return primary(code) == SQLITE_NOTADB || primary(code) == SQLITE_CORRUPT; }

// Failures that a read-only open may get around: a store file without write
// permission, or a folder where the -wal and -shm files cannot be created.
bool isPermission(int code)
{
    const int p = primary(code);
    return p == SQLITE_CANTOPEN || p == SQLITE_READONLY || p == SQLITE_PERM || p == SQLITE_AUTH;
}

// A path as the path part of a file: URI.
std::string uriPath(const std::string& path)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

char foldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

} // namespace

bool NoCaseLess::operator()(const std::string& a, const std::string& b) const
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(foldCase(a[i]));
        const auto cb = static_cast<unsigned char>(foldCase(b[i]));
        if (ca != cb) return ca < cb;
    }
    return a.size() < b.size();
}

// ---- snapshots

KeySnapshot::KeySnapshot(const std::vector<std::pair<std::string, std::string>>& values)
{
    for (const auto& [name, value] : values) values_.emplace(name, value);
}

std::optional<std::string> KeySnapshot::read(const std::string& name) const
{
    const auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

int KeySnapshot::ReadStringValue(const std::string& name, std::string& out, int bufferSize,
                                 const std::string& defaultText) const
{
    return RegistryStore::stringFrom(read(name), out, bufferSize, defaultText);
}

int KeySnapshot::ReadIntValue(const std::string& name, int defaultValue) const
{
    return RegistryStore::intFrom(read(name), defaultValue);
}

float KeySnapshot::ReadFloatValue(const std::string& name, float defaultValue) const
{
    return RegistryStore::floatFrom(read(name), defaultValue);
}

// ---- opening

std::string RegistryStore::defaultPath()
{
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::string(home) + "/.config";
    } else {
        base = ".";
    }
    return base + "/stravik/registry.sqlite3";
}

RegistryStore::RegistryStore(const std::string& path, UserMessages* messages, Access access)
    : path_(path), messages_(messages), statements_(kStatementCount, nullptr)
{
    std::string why;
    OpenResult result = openFile(access, why);
    if (result == OpenResult::Damaged && access == Access::ReadWrite) {
        // Keep the unreadable file for the user (and for rescue), with its
        // journal files, and start afresh.
        const std::string aside = path + ".damaged-" + timestamp();
        std::error_code ec;
        std::filesystem::rename(path, aside, ec);
        if (ec) {
            why += "; it could not be moved aside: " + ec.message();
            result = OpenResult::Failed;
        } else {
            for (const char* suffix : {"-wal", "-shm"}) {
                std::error_code ignored;
                if (std::filesystem::exists(path + suffix, ignored))
                    std::filesystem::rename(path + suffix, aside + suffix, ignored);
            }
            std::string again;
            if (openFile(access, again) == OpenResult::Opened) {
                if (messages_)
                    messages_->show("The settings and presets store '" + path + "' could not be read (" + why +
                                        ").\nIt was kept as '" + aside + "' and a new, empty store was started.",
                                    {}, MessageIcon::Warning);
                return;
            }
            why = again;
            result = OpenResult::Failed;
        }
    }
    if (result == OpenResult::Opened) return;
    openProblem_ = "The settings and presets store '" + path + "' could not be opened (" + why + ").";
    if (messages_) messages_->show(openProblem_, {}, MessageIcon::Warning);
}

void RegistryStore::closeDb()
{
    for (auto& s : statements_) {
        sqlite3_finalize(s);
        s = nullptr;
    }
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
    opened_ = false;
    readOnly_ = false;
}

RegistryStore::OpenResult RegistryStore::openFile(Access access, std::string& why)
{
    closeDb();
    const bool memory = path_ == ":memory:";
    bool readOnly = access == Access::ReadOnly;
    std::string file = path_;
    if (!memory) {
        struct stat st {};
        const bool present = ::stat(path_.c_str(), &st) == 0;
        if (present && !S_ISREG(st.st_mode)) {
            why = "it is not a regular file";
            return OpenResult::Failed;
        }
        if (!present && readOnly) file = ":memory:"; // nothing stored yet: reads find nothing
        if (!present && !readOnly) {
            std::error_code ec;
            const auto dir = std::filesystem::path(path_).parent_path();
            if (!dir.empty()) std::filesystem::create_directories(dir, ec);
        }
    }

    // Opens the file for writing, for reading, or, in a folder where not even
    // a reader can make the -shm file, as a file that does not change while
    // it is open (only when no -wal file holds anything the file lacks).
    enum class Mode { Write, Read, Frozen };
    const auto connect = [&](Mode mode) {
        if (db_) sqlite3_close_v2(db_);
        db_ = nullptr;
        int flags = SQLITE_OPEN_FULLMUTEX;
        std::string name = file;
        if (mode == Mode::Write || file == ":memory:") {
            flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
        } else {
            flags |= SQLITE_OPEN_READONLY;
            if (mode == Mode::Frozen) {
                flags |= SQLITE_OPEN_URI;
                name = "file:" + uriPath(file) + "?immutable=1";
            }
        }
        sqlite3* db = nullptr;
        const int rc = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
        if (rc != SQLITE_OK) {
            why = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
            sqlite3_close_v2(db);
            return rc;
        }
        db_ = db;
        // Until the store is known to be sound, closing it must leave the
        // -wal file exactly as it was (no checkpoint into a damaged file).
        sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, kDefaultBusyMs);
        return SQLITE_OK;
    };
    const auto failWith = [&](int code) {
        if (db_) why = sqlite3_errmsg(db_);
        if (isBusy(code)) why = "another program is using it: " + why;
        sqlite3_close_v2(db_);
        db_ = nullptr;
        return isDamage(code) ? OpenResult::Damaged : OpenResult::Failed;
    };

    // Reading the schema is the first real access: a file that is not a
    // database fails here, a store locked by another program waits here.
    int appId = 0;
    bool ours = false, foreign = false;
    const auto inspect = [&]() -> int {
        appId = 0;
        ours = foreign = false;
        OneOff id(db_, "PRAGMA application_id");
        if (!id.get()) return sqlite3_extended_errcode(db_);
        int rc = sqlite3_step(id.get());
        if (rc == SQLITE_ROW) appId = sqlite3_column_int(id.get(), 0);
        else if (rc != SQLITE_DONE) return rc;
        OneOff tables(db_, "SELECT name FROM sqlite_master WHERE type = 'table'");
        if (!tables.get()) return sqlite3_extended_errcode(db_);
        int count = 0;
        while ((rc = sqlite3_step(tables.get())) == SQLITE_ROW) {
            const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(tables.get(), 0));
            if (name && std::string(name) == "registry_values") ours = true;
            else if (name && std::string(name).rfind("sqlite_", 0) != 0) ++count;
        }
        if (rc != SQLITE_DONE) return rc;
        foreign = (appId != 0 && appId != kApplicationId) || (!ours && count > 0);
        return SQLITE_OK;
    };

    Mode mode = readOnly ? Mode::Read : Mode::Write;
    int rc = connect(mode);
    if (rc == SQLITE_OK) rc = inspect();
    while (rc != SQLITE_OK && isPermission(rc) && file != ":memory:" && std::filesystem::exists(file)) {
        if (mode == Mode::Write) {
            mode = Mode::Read;
        } else if (mode == Mode::Read) {
            std::error_code ec;
            const auto walBytes = std::filesystem::file_size(file + "-wal", ec);
            if (!ec && walBytes > 0) break;
            mode = Mode::Frozen;
        } else {
            break;
        }
        readOnly = true;
        rc = connect(mode);
        if (rc == SQLITE_OK) rc = inspect();
    }
    if (rc != SQLITE_OK && !db_) return isDamage(rc) ? OpenResult::Damaged : OpenResult::Failed;
    if (rc != SQLITE_OK) return failWith(rc);
    if (foreign) {
        why = "it belongs to another program";
        sqlite3_close_v2(db_);
        db_ = nullptr;
        return OpenResult::Failed;
    }
    if (ours) {
        OneOff check(db_, "PRAGMA quick_check");
        if (!check.get()) return failWith(sqlite3_extended_errcode(db_));
        rc = sqlite3_step(check.get());
        if (rc != SQLITE_ROW) return failWith(rc);
        const auto* verdict = reinterpret_cast<const char*>(sqlite3_column_text(check.get(), 0));
        if (!verdict || std::string(verdict) != "ok") {
            why = "the file is damaged";
            sqlite3_close_v2(db_);
            db_ = nullptr;
            return OpenResult::Damaged;
        }
    }
    readOnly = readOnly || sqlite3_db_readonly(db_, "main") == 1;

    if (!readOnly) {
        if (!memory) {
            // Changing the journal mode needs the file to ourselves for a
            // moment; another program starting at the same time may have it.
            for (int waited = 0;; waited += 20) {
                OneOff jm(db_, "PRAGMA journal_mode = WAL");
                rc = jm.get() ? sqlite3_step(jm.get()) : sqlite3_extended_errcode(db_);
                if (rc == SQLITE_ROW || !isBusy(rc) || waited >= kDefaultBusyMs) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            if (rc != SQLITE_ROW) return failWith(rc);
        }
        if (!exec("PRAGMA synchronous = FULL")) return failWith(sqlite3_extended_errcode(db_));
        if (!ours) {
            // Two programs may create a new store at the same moment: the
            // second finds the table made and changes nothing.
            const std::string create = "BEGIN IMMEDIATE;"
                                       "CREATE TABLE IF NOT EXISTS registry_values ("
                                       " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                                       " path TEXT NOT NULL COLLATE NOCASE,"
                                       " name TEXT NOT NULL COLLATE NOCASE,"
                                       " value TEXT NOT NULL,"
                                       " UNIQUE (path, name));"
                                       "PRAGMA application_id = " +
                                       std::to_string(kApplicationId) + ";COMMIT;";
            if (!exec(create.c_str())) {
                const int code = sqlite3_extended_errcode(db_);
                if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
                return failWith(code);
            }
        }
    }
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
    readOnly_ = readOnly;
    opened_ = true;
    lastError_.clear();
    return OpenResult::Opened;
}

void RegistryStore::setBusyTimeout(int milliseconds)
{
    std::lock_guard lock(mutex_);
    if (db_) sqlite3_busy_timeout(db_, milliseconds);
}

RegistryStore::~RegistryStore() { closeDb(); }

bool RegistryStore::exec(const char* sql)
{
    char* err = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        lastError_ = err ? err : sqlite3_errstr(rc);
        sqlite3_free(err);
        return false;
    }
    return true;
}

sqlite3_stmt* RegistryStore::statement(int which) const
{
    if (!db_) return nullptr;
    sqlite3_stmt*& s = statements_[static_cast<size_t>(which)];
    if (!s) sqlite3_prepare_v3(db_, kStatementSql[which], -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
    return s;
}

void RegistryStore::reportWriteFailure(int code)
{
    // One message per failing run of writes; the store stays as it was.
    if (failureReported_ || !messages_) return;
    failureReported_ = true;
    std::string reason = lastError_;
    if (isBusy(code)) reason = "another program is using it: " + reason;
    else if (primary(code) == SQLITE_READONLY || readOnly_) reason = "it is read-only";
    messages_->show("The settings and presets store could not be written (" + reason + ").\nThe change was not saved.",
                    {}, MessageIcon::Warning);
}

bool RegistryStore::writeFailed(const std::string& why)
{
    const int code = db_ ? sqlite3_extended_errcode(db_) : SQLITE_CANTOPEN;
    lastError_ = why;
    // Inside a transaction the whole of it fails: nothing after this write
    // is done, and the commit rolls everything back.
    if (transactionDepth_ > 0) writesRefused_ = true;
    reportWriteFailure(code);
    return false;
}

std::optional<std::string> RegistryStore::read(const std::string& name, const std::string& subPath) const
{
    std::lock_guard lock(mutex_);
    Use s(statement(kRead));
    if (!s.ok()) return std::nullopt;
    s.bind(1, trimPath(subPath)).bind(2, name);
    if (s.step() != SQLITE_ROW) return std::nullopt;
    return s.text(0);
}

bool RegistryStore::write(const std::string& name, const std::string& value, const std::string& subPath)
{
    std::lock_guard lock(mutex_);
    if (writesRefused_) return false; // never half a transaction's worth, one by one
    if (!opened_) return writeFailed(openProblem_.empty() ? "no store" : openProblem_);
    const std::string path = trimPath(subPath);
    Use s(statement(kWrite));
    if (!s.ok()) return writeFailed(sqlite3_errmsg(db_));
    s.bind(1, path).bind(2, name).bind(3, value);
    if (s.step() != SQLITE_DONE) return writeFailed(sqlite3_errmsg(db_));
    if (transactionDepth_ > 0 && observer_) observer_(path, name);
    return true;
}

bool RegistryStore::deleteKey(const std::string& subPath)
{
    std::lock_guard lock(mutex_);
    if (writesRefused_) return false;
    if (!opened_) return writeFailed(openProblem_.empty() ? "no store" : openProblem_);
    const std::string path = trimPath(subPath);
    {
        Use exact(statement(kDeleteExact));
        if (!exact.ok()) return writeFailed(sqlite3_errmsg(db_));
        exact.bind(1, path);
        if (exact.step() != SQLITE_DONE) return writeFailed(sqlite3_errmsg(db_));
    }
    Use below(statement(kDeleteBelow));
    if (!below.ok()) return writeFailed(sqlite3_errmsg(db_));
    below.bind(1, path + "\\").bind(2, path + "]");
    if (below.step() != SQLITE_DONE) return writeFailed(sqlite3_errmsg(db_));
    return true;
}

bool RegistryStore::keyExists(const std::string& subPath) const
{
    std::lock_guard lock(mutex_);
    const std::string path = trimPath(subPath);
    {
        Use exact(statement(kExistsExact));
        exact.bind(1, path);
        if (exact.step() == SQLITE_ROW) return true;
    }
    Use below(statement(kExistsBelow));
    below.bind(1, path + "\\").bind(2, path + "]");
    return below.step() == SQLITE_ROW;
}

std::vector<std::pair<std::string, std::string>> RegistryStore::values(const std::string& subPath) const
{
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::string, std::string>> out;
    Use s(statement(kValues));
    if (!s.ok()) return out;
    s.bind(1, trimPath(subPath));
    while (s.step() == SQLITE_ROW) out.emplace_back(s.text(0), s.text(1));
    return out;
}

std::vector<std::string> RegistryStore::subKeys(const std::string& subPath) const
{
    std::lock_guard lock(mutex_);
    const std::string path = trimPath(subPath);
    Use s(statement(path.empty() ? kPathsAll : kPathsBelow));
    if (!s.ok()) return {};
    if (!path.empty()) s.bind(1, path + "\\").bind(2, path + "]");
    const size_t skip = path.empty() ? 0 : path.size() + 1;
    // The first spelling met of each name, sorted without regard to case.
    std::set<std::string, NoCaseLess> names;
    while (s.step() == SQLITE_ROW) {
        std::string first = s.text(0).substr(skip);
        if (const size_t slash = first.find('\\'); slash != std::string::npos) first.resize(slash);
        if (!first.empty()) names.insert(std::move(first));
    }
    return {names.begin(), names.end()};
}

// ---- accessors

std::string RegistryStore::formatInt(int v)
{
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%d", v);
    return buf;
}

std::string RegistryStore::formatFloat(float v)
{
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%g", static_cast<double>(v));
    return buf;
}

std::optional<int> RegistryStore::parseInt(const std::string& text)
{
    const char* p = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(p, &end, 10);
    if (end == p || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return static_cast<int>(v);
}

std::optional<float> RegistryStore::parseFloat(const std::string& text)
{
    const char* p = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    char* end = nullptr;
    errno = 0;
    const float v = std::strtof(p, &end);
    if (end == p || !std::isfinite(v)) return std::nullopt;
    return v;
}

int RegistryStore::stringFrom(const std::optional<std::string>& v, std::string& out, int bufferSize,
                              const std::string& defaultText)
{
    if (!v || static_cast<int>(v->size()) + 1 > bufferSize) {
        out = defaultText;
        return 1;
    }
    out = *v;
    return 0;
}

int RegistryStore::intFrom(const std::optional<std::string>& v, int defaultValue)
{
    if (!v || static_cast<int>(v->size()) + 1 > kNumberLimit) return defaultValue;
    return parseInt(*v).value_or(defaultValue);
}

float RegistryStore::floatFrom(const std::optional<std::string>& v, float defaultValue)
{
    if (!v || static_cast<int>(v->size()) + 1 > kNumberLimit) return defaultValue;
    return parseFloat(*v).value_or(defaultValue);
}

int RegistryStore::ReadStringValue(const std::string& name, std::string& out, int bufferSize,
                                   const std::string& defaultText, const std::string& subPath) const
{
    return stringFrom(read(name, subPath), out, bufferSize, defaultText);
}

int RegistryStore::ReadIntValue(const std::string& name, int defaultValue, const std::string& subPath) const
{
    return intFrom(read(name, subPath), defaultValue);
}

float RegistryStore::ReadFloatValue(const std::string& name, float defaultValue, const std::string& subPath) const
{
    return floatFrom(read(name, subPath), defaultValue);
}

void RegistryStore::WriteStringValue(const std::string& name, const std::string& text, const std::string& subPath)
{
    write(name, text, subPath);
}

void RegistryStore::WriteIntValue(const std::string& name, int value, const std::string& subPath)
{
    write(name, formatInt(value), subPath);
}

void RegistryStore::WriteFloatValue(const std::string& name, float value, const std::string& subPath)
{
    write(name, formatFloat(value), subPath);
}

// ---- transactions

RegistryStore::Transaction::Transaction(RegistryStore& store) : store_(store)
{
    store_.mutex_.lock();
    if (store_.transactionDepth_ == 0) {
        store_.failureReported_ = false;
        store_.writesRefused_ = false;
        // IMMEDIATE: take the write lock now, so that a store busy in another
        // process fails here rather than half-way through.
        active_ = store_.opened_ && !store_.readOnly_ && store_.exec("BEGIN IMMEDIATE");
        if (!active_) {
            if (!store_.opened_) store_.lastError_ = store_.openProblem_.empty() ? "no store" : store_.openProblem_;
            else if (store_.readOnly_) store_.lastError_ = "attempt to write a readonly database";
            store_.writesRefused_ = true;
            store_.reportWriteFailure(store_.db_ ? sqlite3_extended_errcode(store_.db_) : SQLITE_CANTOPEN);
        }
    } else {
        active_ = true;
    }
    ++store_.transactionDepth_;
}

bool RegistryStore::Transaction::commit()
{
    if (!active_) return false;
    active_ = false;
    if (store_.transactionDepth_ > 1) return !store_.writesRefused_; // the outermost one commits
    const auto rollBack = [&] {
        if (store_.db_ && !sqlite3_get_autocommit(store_.db_)) sqlite3_exec(store_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
    };
    if (store_.writesRefused_) {
        rollBack(); // a write failed: none of them stays
        return false;
    }
    if (!store_.exec("COMMIT")) {
        const int code = sqlite3_extended_errcode(store_.db_);
        rollBack();
        store_.reportWriteFailure(code);
        return false;
    }
    return true;
}

RegistryStore::Transaction::~Transaction()
{
    if (store_.transactionDepth_ == 1 && active_ && store_.db_ && !sqlite3_get_autocommit(store_.db_))
        sqlite3_exec(store_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
    if (--store_.transactionDepth_ == 0) store_.writesRefused_ = false;
    store_.mutex_.unlock();
}

} // namespace stravik
