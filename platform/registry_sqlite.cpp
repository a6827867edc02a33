#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/environment.h"
#include "platform/registry.h"
#include "platform/windows_errors.h"

namespace platform {

struct RegistryKey {
    std::int64_t id = 0;  // 0 is HKEY_LOCAL_MACHINE
    std::uint32_t access = 0;
    std::uint64_t generation = 0;  // the connection the key was opened on
    bool root = false;
    bool subkeysRead = false;
    std::vector<std::string> subkeys;  // the enumeration's snapshot
};

namespace {

// Keys live in one table, each row naming its parent; the folded name (ASCII
// letters in lower case) is what lookups compare, the name is kept as
// written. Values hang off their key the same way.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS registry_keys("
    " id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL, folded TEXT NOT NULL,"
    " UNIQUE(parent, folded));"
    "CREATE TABLE IF NOT EXISTS registry_values("
    " key INTEGER NOT NULL, name TEXT NOT NULL, folded TEXT NOT NULL, type INTEGER NOT NULL,"
    " data BLOB NOT NULL, PRIMARY KEY(key, folded)) WITHOUT ROWID;";

struct Connection {
    sqlite3* db = nullptr;
    std::string path;
    std::uint64_t generation = 0;
    pid_t pid = 0;  // the process that opened it
};

std::mutex gLock;  // one call at a time on the process's connection
Connection gConnection;
int gBusyTimeoutMs = 5000;
std::atomic<std::uint64_t> gCallCount{0};
thread_local std::string tFailureReason;
RegistryKey gLocalMachine{0, kKeyAllAccess, 0, true, false, {}};

void noteReason(const std::string& text) {
    try {
        tFailureReason = text;
    } catch (const std::bad_alloc&) {
        tFailureReason.clear();
    }
}

std::int32_t errorOfSqlite(int code) {
    switch (code & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return kErrorLockViolation;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH: return kErrorAccessDenied;
        case SQLITE_NOMEM: return kErrorNotEnoughMemory;
        case SQLITE_FULL: return kErrorDiskFull;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB: return kErrorBadDb;
        case SQLITE_CANTOPEN: return kErrorCantOpen;
        default: return kErrorRegistryIoFailed;
    }
}

// Fails the call with the database's own words in the reason.
std::int32_t databaseFailure(int code, const char* doing) {
    const char* detail = gConnection.db != nullptr ? sqlite3_errmsg(gConnection.db) : sqlite3_errstr(code);
    noteReason("registry database [" + gConnection.path + "]: " + doing + " failed: " + detail);
    return errorOfSqlite(code);
}

std::int32_t callFailure(std::int32_t error, const std::string& why) {
    noteReason(why);
    return error;
}

void disconnect() {
    if (gConnection.db != nullptr) sqlite3_close_v2(gConnection.db);
    gConnection.db = nullptr;
}

// Opens (or creates) the database the environment names now, once per path.
std::int32_t connect() {
    // A connection must not cross a fork: the child opens its own and leaves
    // the parent's alone.
    if (gConnection.db != nullptr && gConnection.pid != ::getpid()) gConnection.db = nullptr;
    std::string path = registryDatabasePath();
    if (gConnection.db != nullptr && gConnection.path == path) return kErrorSuccess;
    disconnect();
    gConnection.pid = ::getpid();
    gConnection.path = std::move(path);
    ++gConnection.generation;
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(gConnection.path.c_str(), &db,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    gConnection.db = db;
    if (opened != SQLITE_OK) {
        const std::int32_t error = databaseFailure(opened, "opening");
        disconnect();
        return error;
    }
    sqlite3_busy_timeout(db, gBusyTimeoutMs);
    // A read-only database keeps the journal mode it has and is read as it is.
    int rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK && (rc & 0xFF) != SQLITE_READONLY) {
        const std::int32_t error = databaseFailure(rc, "opening");
        disconnect();
        return error;
    }
    rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        const std::int32_t error = databaseFailure(rc, "preparing the tables of");
        disconnect();
        return error;
    }
    return kErrorSuccess;
}

// A prepared statement, finalized on every way out.
class Statement {
public:
    explicit Statement(const char* sql) {
        status_ = sqlite3_prepare_v2(gConnection.db, sql, -1, &statement_, nullptr);
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    int status() const { return status_; }
    Statement& bind(int at, std::int64_t value) {
        keep(sqlite3_bind_int64(statement_, at, value));
        return *this;
    }
    Statement& bind(int at, std::string_view text) {
        keep(sqlite3_bind_text(statement_, at, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bindBlob(int at, const void* data, std::uint32_t length) {
        static const std::uint8_t kEmpty = 0;
        keep(sqlite3_bind_blob(statement_, at, length != 0 ? data : &kEmpty, static_cast<int>(length),
                               SQLITE_TRANSIENT));
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int step() {
        if (status_ != SQLITE_OK) return status_;
        const int rc = sqlite3_step(statement_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) status_ = rc;
        return rc;
    }
    std::int64_t integer(int column) { return sqlite3_column_int64(statement_, column); }
    std::string text(int column) {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement_, column));
        const int length = sqlite3_column_bytes(statement_, column);
        return bytes != nullptr ? std::string(bytes, static_cast<std::size_t>(length)) : std::string();
    }
    std::vector<std::uint8_t> blob(int column) {
        const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement_, column));
        const int length = sqlite3_column_bytes(statement_, column);
        return bytes != nullptr ? std::vector<std::uint8_t>(bytes, bytes + length) : std::vector<std::uint8_t>();
    }

private:
    void keep(int rc) {
        if (status_ == SQLITE_OK) status_ = rc;
    }
    sqlite3_stmt* statement_ = nullptr;
    int status_ = SQLITE_OK;
};

int exec(const char* sql) { return sqlite3_exec(gConnection.db, sql, nullptr, nullptr, nullptr); }

std::string folded(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// The names of a `\`-separated path; empty names (doubled separators) are
// passed over.
std::int32_t splitPath(const char* subKey, std::vector<std::string_view>& names) {
    std::string_view rest = subKey != nullptr ? std::string_view(subKey) : std::string_view();
    while (!rest.empty()) {
        const std::size_t cut = rest.find('\\');
        const std::string_view name = rest.substr(0, cut);
        if (name.size() > kMaxKeyNameLength) {
            return callFailure(kErrorInvalidParameter, "registry key name longer than 255 characters: [" +
                                                           std::string(name.substr(0, 64)) + "...]");
        }
        if (!name.empty()) names.push_back(name);
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    return kErrorSuccess;
}

// The id of parent's child of that name: 0 found, 2 not found, else a failure.
std::int32_t findChild(std::int64_t parent, std::string_view name, std::int64_t& id) {
    Statement find("SELECT id FROM registry_keys WHERE parent=?1 AND folded=?2");
    find.bind(1, parent).bind(2, folded(name));
    const int rc = find.step();
    if (rc == SQLITE_ROW) {
        id = find.integer(0);
        return kErrorSuccess;
    }
    return rc == SQLITE_DONE ? kErrorFileNotFound : databaseFailure(rc, "reading");
}

std::int32_t keyStillThere(const RegistryKey& key) {
    if (key.root) return kErrorSuccess;
    Statement find("SELECT 1 FROM registry_keys WHERE id=?1");
    find.bind(1, key.id);
    const int rc = find.step();
    if (rc == SQLITE_ROW) return kErrorSuccess;
    if (rc == SQLITE_DONE) return callFailure(kErrorKeyDeleted, "the registry key was deleted while open");
    return databaseFailure(rc, "reading");
}

// Every call starts here: counts it, clears the reason, connects, and checks
// the key handle (null or opened on a database since replaced: invalid).
std::int32_t begin(RegKey key, std::uint32_t neededAccess) {
    gCallCount.fetch_add(1, std::memory_order_relaxed);
    tFailureReason.clear();
    if (key == nullptr) return callFailure(kErrorInvalidHandle, "no registry key handle");
    const std::int32_t connected = connect();
    if (connected != kErrorSuccess) return connected;
    if (!key->root && key->generation != gConnection.generation) {
        return callFailure(kErrorInvalidHandle, "the registry key was opened on another registry database");
    }
    if ((key->access & neededAccess) != neededAccess) {
        return callFailure(kErrorAccessDenied, "the registry key was not opened with the access this call needs");
    }
    return kErrorSuccess;
}

RegKey newKey(std::int64_t id, std::uint32_t access) {
    auto* key = new (std::nothrow) RegistryKey;
    if (key == nullptr) return nullptr;
    key->id = id;
    key->access = access;
    key->generation = gConnection.generation;
    return key;
}

// Runs work inside one write transaction, committed when it gives 0.
template <typename Work>
std::int32_t inWriteTransaction(Work work) {
    const int begun = exec("BEGIN IMMEDIATE");
    if (begun != SQLITE_OK) return databaseFailure(begun, "starting a write to");
    std::int32_t result = work();
    if (result == kErrorSuccess) {
        const int committed = exec("COMMIT");
        if (committed == SQLITE_OK) return kErrorSuccess;
        result = databaseFailure(committed, "committing a write to");
    }
    exec("ROLLBACK");
    return result;
}

}  // namespace

RegKey registryLocalMachine() { return &gLocalMachine; }

std::string registryDatabasePath() {
    const char* configured = std::getenv("ZENTO_REGISTRY");
    if (configured != nullptr && *configured != '\0') return configured;
    return zentoHome() + "/registry.db";
}

std::string registryFailureReason() { return tFailureReason; }

std::uint32_t registryMachineView() { return 0; }

std::uint64_t registryCallCount() { return gCallCount.load(std::memory_order_relaxed); }

void setRegistryBusyTimeout(int milliseconds) {
    std::lock_guard<std::mutex> hold(gLock);
    gBusyTimeoutMs = milliseconds;
    if (gConnection.db != nullptr) sqlite3_busy_timeout(gConnection.db, milliseconds);
}

std::int32_t regOpenKeyEx(RegKey parent, const char* subKey, std::uint32_t access, RegKey* result) {
    std::lock_guard<std::mutex> hold(gLock);
    if (result != nullptr) *result = nullptr;
    std::int32_t error = begin(parent, 0);
    if (error != kErrorSuccess) return error;
    if (result == nullptr) return callFailure(kErrorInvalidParameter, "no place for the opened key");
    try {
        std::vector<std::string_view> names;
        if ((error = splitPath(subKey, names)) != kErrorSuccess) return error;
        std::int64_t id = parent->id;
        for (std::string_view name : names) {
            if ((error = findChild(id, name, id)) != kErrorSuccess) return error;
        }
        if (names.empty() && (error = keyStillThere(*parent)) != kErrorSuccess) return error;
        *result = newKey(id, access);
    } catch (const std::bad_alloc&) {
        *result = nullptr;
    }
    return *result != nullptr ? kErrorSuccess : callFailure(kErrorNotEnoughMemory, "out of memory");
}

std::int32_t regCreateKeyEx(RegKey parent, const char* subKey, std::uint32_t access, RegKey* result,
                            std::uint32_t* disposition) {
    std::lock_guard<std::mutex> hold(gLock);
    if (result != nullptr) *result = nullptr;
    std::int32_t error = begin(parent, parent != nullptr && parent->root ? 0 : kKeyCreateSubKey);
    if (error != kErrorSuccess) return error;
    if (result == nullptr) return callFailure(kErrorInvalidParameter, "no place for the created key");
    try {
        std::vector<std::string_view> names;
        if ((error = splitPath(subKey, names)) != kErrorSuccess) return error;
        std::int64_t id = parent->id;
        bool created = false;
        error = inWriteTransaction([&]() -> std::int32_t {
            std::int32_t step = keyStillThere(*parent);
            for (auto name = names.begin(); step == kErrorSuccess && name != names.end(); ++name) {
                step = findChild(id, *name, id);
                created = step == kErrorFileNotFound;
                if (!created) continue;
                Statement insert("INSERT INTO registry_keys(parent, name, folded) VALUES(?1, ?2, ?3)");
                insert.bind(1, id).bind(2, *name).bind(3, folded(*name));
                const int rc = insert.step();
                if (rc != SQLITE_DONE) return databaseFailure(rc, "writing");
                id = sqlite3_last_insert_rowid(gConnection.db);
                step = kErrorSuccess;
            }
            return step;
        });
        if (error != kErrorSuccess) return error;
        if (disposition != nullptr) *disposition = created ? kRegCreatedNewKey : kRegOpenedExistingKey;
        *result = newKey(id, access);
    } catch (const std::bad_alloc&) {
        *result = nullptr;
    }
    return *result != nullptr ? kErrorSuccess : callFailure(kErrorNotEnoughMemory, "out of memory");
}

std::int32_t regQuerySubkeyCount(RegKey key, std::uint32_t* count) {
    std::lock_guard<std::mutex> hold(gLock);
    std::int32_t error = begin(key, kKeyQueryValue);
    if (error != kErrorSuccess) return error;
    if ((error = keyStillThere(*key)) != kErrorSuccess) return error;
    Statement counter("SELECT count(*) FROM registry_keys WHERE parent=?1");
    counter.bind(1, key->id);
    const int rc = counter.step();
    if (rc != SQLITE_ROW) return databaseFailure(rc, "reading");
    if (count != nullptr) *count = static_cast<std::uint32_t>(counter.integer(0));
    return kErrorSuccess;
}

std::int32_t regEnumKeyEx(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameLength) {
    std::lock_guard<std::mutex> hold(gLock);
    std::int32_t error = begin(key, kKeyEnumerateSubKeys);
    if (error != kErrorSuccess) return error;
    if (name == nullptr || nameLength == nullptr) return callFailure(kErrorInvalidParameter, "no name buffer");
    // One read serves the whole enumeration: asking for each index anew
    // would make a walk over n subkeys cost n reads.
    if (index == 0 || !key->subkeysRead) {
        if ((error = keyStillThere(*key)) != kErrorSuccess) return error;
        try {
            key->subkeys.clear();
            Statement list("SELECT name FROM registry_keys WHERE parent=?1 ORDER BY folded");
            list.bind(1, key->id);
            int rc;
            while ((rc = list.step()) == SQLITE_ROW) key->subkeys.push_back(list.text(0));
            if (rc != SQLITE_DONE) return databaseFailure(rc, "reading");
        } catch (const std::bad_alloc&) {
            return callFailure(kErrorNotEnoughMemory, "out of memory");
        }
        key->subkeysRead = true;
    }
    if (index >= key->subkeys.size()) return kErrorNoMoreItems;
    const std::string& found = key->subkeys[index];
    if (found.size() + 1 > *nameLength) return kErrorMoreData;
    std::memcpy(name, found.c_str(), found.size() + 1);
    *nameLength = static_cast<std::uint32_t>(found.size());
    return kErrorSuccess;
}

std::int32_t regQueryValueEx(RegKey key, const char* valueName, std::uint32_t* type, void* data,
                             std::uint32_t* dataLength) {
    std::lock_guard<std::mutex> hold(gLock);
    std::int32_t error = begin(key, kKeyQueryValue);
    if (error != kErrorSuccess) return error;
    if (data != nullptr && dataLength == nullptr) return callFailure(kErrorInvalidParameter, "no data length");
    try {
        Statement query("SELECT type, data FROM registry_values WHERE key=?1 AND folded=?2");
        query.bind(1, key->id).bind(2, folded(valueName != nullptr ? valueName : ""));
        const int rc = query.step();
        if (rc == SQLITE_DONE) {
            if ((error = keyStillThere(*key)) != kErrorSuccess) return error;
            return kErrorFileNotFound;
        }
        if (rc != SQLITE_ROW) return databaseFailure(rc, "reading");
        const std::vector<std::uint8_t> bytes = query.blob(1);
        const auto size = static_cast<std::uint32_t>(bytes.size());
        if (type != nullptr) *type = static_cast<std::uint32_t>(query.integer(0));
        const std::uint32_t room = dataLength != nullptr ? *dataLength : 0;
        if (dataLength != nullptr) *dataLength = size;
        if (data == nullptr) return kErrorSuccess;
        if (size > room) return kErrorMoreData;
        if (size != 0) std::memcpy(data, bytes.data(), size);
    } catch (const std::bad_alloc&) {
        return callFailure(kErrorNotEnoughMemory, "out of memory");
    }
    return kErrorSuccess;
}

std::int32_t regSetValueEx(RegKey key, const char* valueName, std::uint32_t type, const void* data,
                           std::uint32_t dataLength) {
    std::lock_guard<std::mutex> hold(gLock);
    std::int32_t error = begin(key, kKeySetValue);
    if (error != kErrorSuccess) return error;
    if (data == nullptr && dataLength != 0) return callFailure(kErrorInvalidParameter, "no value data");
    try {
        const std::string name = valueName != nullptr ? valueName : "";
        // One statement is one transaction; the key's existence is part of it.
        Statement upsert(
            "INSERT INTO registry_values(key, name, folded, type, data)"
            " SELECT ?1, ?2, ?3, ?4, ?5 WHERE EXISTS(SELECT 1 FROM registry_keys WHERE id=?1) OR ?1=0"
            " ON CONFLICT(key, folded) DO UPDATE SET type=excluded.type, data=excluded.data");
        upsert.bind(1, key->id).bind(2, name).bind(3, folded(name)).bind(4, std::int64_t{type});
        upsert.bindBlob(5, data, dataLength);
        const int rc = upsert.step();
        if (rc != SQLITE_DONE) return databaseFailure(rc, "writing");
        if (sqlite3_changes(gConnection.db) == 0) {
            return callFailure(kErrorKeyDeleted, "the registry key was deleted while open");
        }
    } catch (const std::bad_alloc&) {
        return callFailure(kErrorNotEnoughMemory, "out of memory");
    }
    return kErrorSuccess;
}

std::int32_t regCloseKey(RegKey key) {
    gCallCount.fetch_add(1, std::memory_order_relaxed);
    if (key == nullptr) return kErrorInvalidHandle;
    if (!key->root) delete key;
    return kErrorSuccess;
}

std::int32_t regListValues(RegKey key, std::vector<RegistryValue>& values) {
    std::lock_guard<std::mutex> hold(gLock);
    std::int32_t error = begin(key, kKeyQueryValue);
    if (error != kErrorSuccess) return error;
    if ((error = keyStillThere(*key)) != kErrorSuccess) return error;
    try {
        values.clear();
        Statement list("SELECT name, type, data FROM registry_values WHERE key=?1 ORDER BY folded");
        list.bind(1, key->id);
        int rc;
        while ((rc = list.step()) == SQLITE_ROW) {
            values.push_back({list.text(0), static_cast<std::uint32_t>(list.integer(1)), list.blob(2)});
        }
        if (rc != SQLITE_DONE) return databaseFailure(rc, "reading");
    } catch (const std::bad_alloc&) {
        return callFailure(kErrorNotEnoughMemory, "out of memory");
    }
    return kErrorSuccess;
}

std::int32_t regDeleteValue(RegKey key, const char* valueName) {
    std::lock_guard<std::mutex> hold(gLock);
    std::int32_t error = begin(key, kKeySetValue);
    if (error != kErrorSuccess) return error;
    try {
        Statement remove("DELETE FROM registry_values WHERE key=?1 AND folded=?2");
        remove.bind(1, key->id).bind(2, folded(valueName != nullptr ? valueName : ""));
        const int rc = remove.step();
        if (rc != SQLITE_DONE) return databaseFailure(rc, "writing");
    } catch (const std::bad_alloc&) {
        return callFailure(kErrorNotEnoughMemory, "out of memory");
    }
    return sqlite3_changes(gConnection.db) != 0 ? kErrorSuccess : kErrorFileNotFound;
}

std::int32_t regDeleteTree(RegKey parent, const char* subKey) {
    std::lock_guard<std::mutex> hold(gLock);
    std::int32_t error = begin(parent, 0);
    if (error != kErrorSuccess) return error;
    try {
        std::vector<std::string_view> names;
        if ((error = splitPath(subKey, names)) != kErrorSuccess) return error;
        if (names.empty()) return callFailure(kErrorAccessDenied, "a key cannot delete itself");
        return inWriteTransaction([&]() -> std::int32_t {
            std::int64_t id = parent->id;
            for (std::string_view name : names) {
                const std::int32_t step = findChild(id, name, id);
                if (step != kErrorSuccess) return step;
            }
            constexpr const char* kTree =
                "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL"
                " SELECT k.id FROM registry_keys k JOIN tree ON k.parent = tree.id) ";
            for (const char* removal : {"DELETE FROM registry_values WHERE key IN tree",
                                        "DELETE FROM registry_keys WHERE id IN tree"}) {
                Statement remove((std::string(kTree) + removal).c_str());
                remove.bind(1, id);
                const int rc = remove.step();
                if (rc != SQLITE_DONE) return databaseFailure(rc, "writing");
            }
            return kErrorSuccess;
        });
    } catch (const std::bad_alloc&) {
        return callFailure(kErrorNotEnoughMemory, "out of memory");
    }
}

}  // namespace platform
