#include "presets/RegistryStore.h"

#include "dsp/UserMessages.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <strings.h>

namespace stravik {
namespace {

constexpr int kApplicationId = 0x5354524B; // "STRK"
constexpr int kNumberLimit = 40;            // bytes of a number's text, terminator included

// A prepared statement that finalises itself.
class Statement {
public:
    Statement(sqlite3* db, const char* sql)
    {
        if (db) sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return stmt_ != nullptr; }
    Statement& bind(int i, const std::string& s)
    {
        if (stmt_) sqlite3_bind_text(stmt_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
        return *this;
    }
    int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
    std::string text(int col) const
    {
        const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
        return t ? std::string(t, static_cast<size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
    }
    int integer(int col) const { return sqlite3_column_int(stmt_, col); }

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

} // namespace

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

RegistryStore::RegistryStore(const std::string& path, UserMessages* messages) : path_(path), messages_(messages)
{
    std::string why;
    if (openFile(path, why)) return;
    if (path == ":memory:") return;
    // Keep the unreadable file for the user (and for rescue), start afresh.
    const std::string aside = path + ".damaged-" + timestamp();
    std::error_code ec;
    std::filesystem::rename(path, aside, ec);
    for (const char* suffix : {"-wal", "-shm"}) std::filesystem::remove(path + suffix, ec);
    std::string again;
    const bool fresh = openFile(path, again);
    if (messages_) {
        std::string text = "The settings and presets store '" + path + "' could not be read (" + why + ").\n";
        if (fresh)
            text += "It was kept as '" + aside + "' and a new, empty store was started.";
        else
            text += "No store could be started (" + again + "); settings and presets will not be saved.";
        messages_->show(text, "Stravik", MessageIcon::Warning);
    }
}

void RegistryStore::setBusyTimeout(int milliseconds)
{
    std::lock_guard lock(mutex_);
    if (db_) sqlite3_busy_timeout(db_, milliseconds);
}

RegistryStore::~RegistryStore()
{
    if (db_) sqlite3_close_v2(db_);
}

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

bool RegistryStore::openFile(const std::string& path, std::string& why)
{
    if (db_) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    if (path != ":memory:") {
        std::error_code ec;
        const auto dir = std::filesystem::path(path).parent_path();
        if (!dir.empty()) std::filesystem::create_directories(dir, ec);
    }
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK) {
        why = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        return false;
    }
    db_ = db;
    sqlite3_busy_timeout(db_, 5000);
    const auto fail = [&](const std::string& reason) {
        why = reason;
        sqlite3_close_v2(db_);
        db_ = nullptr;
        return false;
    };
    // Reading the schema is the first real access: a file that is not a
    // database fails here.
    int appId = 0, tables = 0, ours = 0;
    {
        Statement s(db_, "PRAGMA application_id");
        if (!s.ok()) return fail(sqlite3_errmsg(db_));
        if (s.step() == SQLITE_ROW) appId = s.integer(0);
    }
    {
        Statement s(db_, "SELECT name FROM sqlite_master WHERE type = 'table'");
        if (!s.ok()) return fail(sqlite3_errmsg(db_));
        int rc2;
        while ((rc2 = s.step()) == SQLITE_ROW) {
            ++tables;
            if (s.text(0) == "registry_values") ++ours;
        }
        if (rc2 != SQLITE_DONE) return fail(sqlite3_errmsg(db_));
    }
    if (appId != 0 && appId != kApplicationId) return fail("it belongs to another program");
    if (appId == 0 && tables > 0) return fail("it belongs to another program");
    if (appId == kApplicationId && ours == 0) return fail("its contents are missing");
    if (ours) {
        Statement check(db_, "PRAGMA quick_check");
        if (!check.ok() || check.step() != SQLITE_ROW || check.text(0) != "ok") return fail("the file is damaged");
    }
    if (path != ":memory:" && !exec("PRAGMA journal_mode = WAL")) return fail(lastError_);
    if (!exec("PRAGMA synchronous = FULL")) return fail(lastError_);
    if (!ours) {
        const std::string create =
            "BEGIN;"
            "CREATE TABLE registry_values ("
            " id INTEGER PRIMARY KEY AUTOINCREMENT,"
            " path TEXT NOT NULL COLLATE NOCASE,"
            " name TEXT NOT NULL COLLATE NOCASE,"
            " value TEXT NOT NULL,"
            " UNIQUE (path, name));"
            "PRAGMA application_id = " + std::to_string(kApplicationId) + ";"
            "COMMIT;";
        if (!exec(create.c_str())) {
            exec("ROLLBACK");
            return fail(lastError_);
        }
    }
    lastError_.clear();
    return true;
}

void RegistryStore::reportWriteFailure()
{
    // One message per failing run of writes; the store stays as it was.
    if (failureReported_ || !messages_) return;
    failureReported_ = true;
    messages_->show("The settings and presets store could not be written (" + lastError_
                        + ").\nIs another korvex using it? The change was not saved.",
                    "Stravik", MessageIcon::Warning);
}

std::optional<std::string> RegistryStore::read(const std::string& name, const std::string& subPath) const
{
    std::lock_guard lock(mutex_);
    Statement s(db_, "SELECT value FROM registry_values WHERE path = ?1 AND name = ?2");
    if (!s.ok()) return std::nullopt;
    s.bind(1, trimPath(subPath)).bind(2, name);
    if (s.step() != SQLITE_ROW) return std::nullopt;
    return s.text(0);
}

bool RegistryStore::write(const std::string& name, const std::string& value, const std::string& subPath)
{
    std::lock_guard lock(mutex_);
    if (writesRefused_) return false; // never half a transaction's worth, one by one
    const std::string path = trimPath(subPath);
    Statement s(db_, "INSERT INTO registry_values (path, name, value) VALUES (?1, ?2, ?3) "
                     "ON CONFLICT (path, name) DO UPDATE SET value = excluded.value");
    if (!s.ok()) {
        lastError_ = db_ ? sqlite3_errmsg(db_) : "no store";
        reportWriteFailure();
        return false;
    }
    s.bind(1, path).bind(2, name).bind(3, value);
    if (s.step() != SQLITE_DONE) {
        lastError_ = sqlite3_errmsg(db_);
        reportWriteFailure();
        return false;
    }
    if (transactionDepth_ > 0 && observer_) observer_(path, name);
    return true;
}

bool RegistryStore::deleteKey(const std::string& subPath)
{
    std::lock_guard lock(mutex_);
    if (writesRefused_) return false;
    const std::string path = trimPath(subPath);
    Statement s(db_, "DELETE FROM registry_values WHERE path = ?1 OR "
                     "(length(path) > length(?1) AND substr(path, 1, length(?1) + 1) = ?1 || '\\')");
    if (!s.ok()) return false;
    s.bind(1, path);
    if (s.step() != SQLITE_DONE) {
        lastError_ = sqlite3_errmsg(db_);
        reportWriteFailure();
        return false;
    }
    return true;
}

bool RegistryStore::keyExists(const std::string& subPath) const
{
    std::lock_guard lock(mutex_);
    const std::string path = trimPath(subPath);
    Statement s(db_, "SELECT 1 FROM registry_values WHERE path = ?1 OR "
                     "(length(path) > length(?1) AND substr(path, 1, length(?1) + 1) = ?1 || '\\') LIMIT 1");
    if (!s.ok()) return false;
    s.bind(1, path);
    return s.step() == SQLITE_ROW;
}

std::vector<std::pair<std::string, std::string>> RegistryStore::values(const std::string& subPath) const
{
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::string, std::string>> out;
    Statement s(db_, "SELECT name, value FROM registry_values WHERE path = ?1 ORDER BY id");
    if (!s.ok()) return out;
    s.bind(1, trimPath(subPath));
    while (s.step() == SQLITE_ROW) out.emplace_back(s.text(0), s.text(1));
    return out;
}

std::vector<std::string> RegistryStore::subKeys(const std::string& subPath) const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    const std::string path = trimPath(subPath);
    Statement s(db_, path.empty() ? "SELECT DISTINCT path FROM registry_values WHERE path <> ''"
                                  : "SELECT DISTINCT path FROM registry_values WHERE length(path) > length(?1) "
                                    "AND substr(path, 1, length(?1) + 1) = ?1 || '\\'");
    if (!s.ok()) return out;
    if (!path.empty()) s.bind(1, path);
    const size_t skip = path.empty() ? 0 : path.size() + 1;
    while (s.step() == SQLITE_ROW) {
        const std::string p = s.text(0);
        std::string first = p.substr(skip);
        if (const size_t slash = first.find('\\'); slash != std::string::npos) first.resize(slash);
        if (first.empty()) continue;
        const bool seen = std::any_of(out.begin(), out.end(),
                                      [&](const std::string& k) { return strcasecmp(k.c_str(), first.c_str()) == 0; });
        if (!seen) out.push_back(first);
    }
    std::sort(out.begin(), out.end(),
              [](const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) < 0; });
    return out;
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

int RegistryStore::ReadStringValue(const std::string& name, std::string& out, int bufferSize,
                                   const std::string& defaultText, const std::string& subPath) const
{
    const auto v = read(name, subPath);
    if (!v || static_cast<int>(v->size()) + 1 > bufferSize) {
        out = defaultText;
        return 1;
    }
    out = *v;
    return 0;
}

int RegistryStore::ReadIntValue(const std::string& name, int defaultValue, const std::string& subPath) const
{
    const auto v = read(name, subPath);
    if (!v || static_cast<int>(v->size()) + 1 > kNumberLimit) return defaultValue;
    return parseInt(*v).value_or(defaultValue);
}

float RegistryStore::ReadFloatValue(const std::string& name, float defaultValue, const std::string& subPath) const
{
    const auto v = read(name, subPath);
    if (!v || static_cast<int>(v->size()) + 1 > kNumberLimit) return defaultValue;
    return parseFloat(*v).value_or(defaultValue);
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
        // IMMEDIATE: take the write lock now, so that a store busy in another
        // process fails here rather than half-way through.
        active_ = store_.db_ && store_.exec("BEGIN IMMEDIATE");
        if (!active_) {
            store_.writesRefused_ = true;
            store_.reportWriteFailure();
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
    if (store_.transactionDepth_ > 1) return true; // the outermost one commits
    if (!store_.exec("COMMIT")) {
        store_.reportWriteFailure();
        store_.exec("ROLLBACK");
        return false;
    }
    return true;
}

RegistryStore::Transaction::~Transaction()
{
    if (store_.transactionDepth_ == 1 && active_) store_.exec("ROLLBACK");
    if (--store_.transactionDepth_ == 0) store_.writesRefused_ = false;
    store_.mutex_.unlock();
}

} // namespace stravik
