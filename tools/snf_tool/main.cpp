// zento_snf_tool: the store-and-forward support routines by hand, as the
// tasks call them: store file configuration, file names, allocation,
// removal, the registry, and the list files.
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "lists/list_rules.h"
#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "msglib/task_kind.h"
#include "platform/registry.h"
#include "platform/system_error.h"
#include "platform/windows_errors.h"
#include "scanlist/scan_list_file.h"
#include "snf/file_removal.h"
#include "snf/list_files.h"
#include "snf/list_files_codes.h"
#include "snf/snf_config.h"
#include "snf/store_allocation.h"
#include "zento_version.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kHelp =
    "usage: zento_snf_tool [--service SVC] [--node NODE] [--store-dir DIR] [--task TASK] COMMAND ...\n"
    "\n"
    "The store-and-forward support routines, as the tasks of a DLGP service call them.\n"
    "--service and --node set the DLGP address (--node defaults to ZENTO_NODE, else\n"
    "the host name); the configuration and store list commands need --service.\n"
    "--store-dir sets the store directory, whose free space allocation goes by\n"
    "(allocate and resize take the file's own directory when it is not given).\n"
    "--task scanner|store|forward (default store) is the task whose list reports\n"
    "the list commands file.\n"
    "\n"
    "commands:\n"
    "  config load CLIENT           load CLIENT's MaxSize and MaxPeriod (registry, then the\n"
    "                               deprecated configuration file, then the defaults); prints\n"
    "                               MaxSize=<n> MaxPeriod=<n>\n"
    "  config get CLIENT            the cached getters: MaxSize=<n> MaxPeriod=<n> (-1: not set)\n"
    "  config update CLIENT MAXSIZE MAXPERIOD\n"
    "                               a configuration request: MaxSize in megabytes, MaxPeriod\n"
    "                               in seconds, saved to the registry\n"
    "  config save CLIENT           save CLIENT's values as the getters find them (and remove\n"
    "                               the deprecated configuration file)\n"
    "  names NODE SERVICE           the files of NODE/SERVICE: config, scan-list, unsol-list,\n"
    "                               store-list, store-file, one a line\n"
    "  allocate PATH MB             make a store file of MB megabytes (1 to 1000000), its\n"
    "                               space taken, with an empty header\n"
    "  resize PATH MB               set a store file's length to MB megabytes\n"
    "  remove PATH KIND             remove a file: KIND 0 configuration, 1 with backup\n"
    "                               generations (ZENTOStoreBckCopies), 2 scan list, 3 unsol\n"
    "                               list, 4 store list\n"
    "  registry get KEY NAME        NAME REG_DWORD <n>\n"
    "  registry set KEY NAME DWORD  set a REG_DWORD (the key is created when missing)\n"
    "  registry list KEY            the subkeys, as [NAME], then the values, one a line\n"
    "  registry delete KEY [NAME]   delete a value, or the key and everything below it\n"
    "  lists dump-store FILE        the store list file as stored: its header and every\n"
    "                               entry, nothing else on standard output\n"
    "  lists load-store FILE        load the store list as a task starts: entries=<n>\n"
    "  lists show-scan FILE         the scan list, one line an entry: slot, list id,\n"
    "                               frequency, reply destination and requesting client\n"
    "                               (node/service), tag count, request length\n"
    "  lists show-unsol FILE        the unsol list, one line an entry: slot, list id,\n"
    "                               destination, requesting client, flag\n"
    "  lists add-store FILE NODE SERVICE\n"
    "                               add the destination NODE/SERVICE to the store list (a\n"
    "                               missing file is an empty list) and save it\n"
    "\n"
    "Keys are under HKEY_LOCAL_MACHINE, with '\\' between names, letter case ignored,\n"
    "e.g. \"Software\\Norvane\\ZEN-TO\\ZENTO_SCANNER_SVC_CFG\\CLIENT1\". The registry is the\n"
    "database ZENTO_REGISTRY names, by default $ZENTO_HOME/registry.db. The files of the\n"
    "tasks live in ZENTO_DATA_DIR, by default $ZENTO_HOME/data/.\n"
    "\n"
    "allocate, resize and the configuration commands tell what they did in the kernel\n"
    "debug log ($ZENTO_HOME/log/kernel.log); the list commands file the task's list\n"
    "reports in $ZENTO_HOME/log/diag.log when diagnostics are on (ZENTO_DIAG=on).\n"
    "Exit status: 0 done, 1 the routine failed (its status entries on standard error,\n"
    "one a line), 2 bad command line.\n";

int usage(const std::string& problem) {
    std::fprintf(stderr, "zento_snf_tool: %s\n(zento_snf_tool --help tells more)\n", problem.c_str());
    return kExitUsage;
}

int reportStatus(const StatusBlock& status) {
    if (!statusFailed(status)) return 0;
    const int count = statusEntryCount(status);
    for (int i = 0; i < count; ++i) {
        std::fprintf(stderr, "facility=%ld  error=%ld\n", static_cast<long>(status.facility[i]),
                     static_cast<long>(status.error[i]));
    }
    return kExitFailed;
}

bool parseNumber(const std::string& text, long long low, long long high, long long& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value >= low && value <= high;
}

int registryFailure(const char* doing, const std::string& key, std::int32_t error) {
    std::string reason = platform::registryFailureReason();
    if (reason.empty()) {
        reason = error == 2 ? "not found" : platform::systemErrorText(static_cast<std::uint32_t>(error)).value_or("");
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
    }
    std::fprintf(stderr, "zento_snf_tool: %s %s: Windows error %d: %s\n", doing, key.c_str(), static_cast<int>(error),
                 reason.c_str());
    return kExitFailed;
}

void printValue(const platform::RegistryValue& value) {
    if (value.type == platform::kRegDword && value.data.size() == 4) {
        std::printf("%s REG_DWORD %" PRIu32 "\n", value.name.c_str(), decodeU32(value.data.data()));
        return;
    }
    std::printf("%s REG_TYPE_%" PRIu32 " ", value.name.c_str(), value.type);
    for (std::uint8_t byte : value.data) std::printf("%02x", byte);
    std::printf("\n");
}

int runRegistry(const std::vector<std::string>& args) {
    using namespace platform;
    if (args.size() < 2) return usage("registry needs get, set, list or delete and a key");
    const std::string& verb = args[0];
    const std::string& key = args[1];
    RegKey handle = nullptr;
    std::int32_t rc;
    if (verb == "get" && args.size() == 3) {
        if ((rc = regOpenKeyEx(registryLocalMachine(), key.c_str(), kKeyRead, &handle)) != 0) {
            return registryFailure("opening", key, rc);
        }
        std::uint8_t bytes[4] = {};
        std::uint32_t length = sizeof bytes, type = 0;
        rc = regQueryValueEx(handle, args[2].c_str(), &type, bytes, &length);
        regCloseKey(handle);
        if (rc != 0) return registryFailure("reading", key + "\\" + args[2], rc);
        printValue({args[2], type, std::vector<std::uint8_t>(bytes, bytes + length)});
        return 0;
    }
    if (verb == "set" && args.size() == 4) {
        long long value = 0;
        if (!parseNumber(args[3], 0, UINT32_MAX, value)) return usage("a DWORD is 0 to 4294967295: " + args[3]);
        std::uint32_t disposition = 0;
        if ((rc = regCreateKeyEx(registryLocalMachine(), key.c_str(), kKeyAllAccess, &handle, &disposition)) != 0) {
            return registryFailure("creating", key, rc);
        }
        std::uint8_t bytes[4];
        encodeU32(bytes, static_cast<std::uint32_t>(value));
        rc = regSetValueEx(handle, args[2].c_str(), kRegDword, bytes, sizeof bytes);
        regCloseKey(handle);
        return rc == 0 ? 0 : registryFailure("writing", key + "\\" + args[2], rc);
    }
    if (verb == "list" && args.size() == 2) {
        if ((rc = regOpenKeyEx(registryLocalMachine(), key.c_str(), kKeyRead, &handle)) != 0) {
            return registryFailure("opening", key, rc);
        }
        char name[kMaxKeyNameLength + 1];
        std::uint32_t length = sizeof name;
        for (std::uint32_t i = 0; (rc = regEnumKeyEx(handle, i, name, &length)) == 0; ++i, length = sizeof name) {
            std::printf("[%s]\n", name);
        }
        std::vector<RegistryValue> values;
        if (rc == kErrorNoMoreItems) rc = regListValues(handle, values);
        regCloseKey(handle);
        if (rc != 0) return registryFailure("listing", key, rc);
        for (const RegistryValue& value : values) printValue(value);
        return 0;
    }
    if (verb == "delete" && (args.size() == 2 || args.size() == 3)) {
        if (args.size() == 2) {
            rc = regDeleteTree(registryLocalMachine(), key.c_str());
            return rc == 0 ? 0 : registryFailure("deleting", key, rc);
        }
        if ((rc = regOpenKeyEx(registryLocalMachine(), key.c_str(), kKeyAllAccess, &handle)) != 0) {
            return registryFailure("opening", key, rc);
        }
        rc = regDeleteValue(handle, args[2].c_str());
        regCloseKey(handle);
        return rc == 0 ? 0 : registryFailure("deleting", key + "\\" + args[2], rc);
    }
    return usage("registry " + verb + ": wrong arguments");
}

int runConfig(const std::vector<std::string>& args) {
    if (args.size() < 2) return usage("config needs load, get, update or save and a client node");
    const std::string& verb = args[0];
    const AddressRecord client = makeAddress(args[1], "");
    StatusBlock status;
    ZENTO_SERVER_INITBLK(status);
    if (verb == "load" && args.size() == 2) {
        LoadSnfCfg(client, status);
    } else if (verb == "get" && args.size() == 2) {
    } else if (verb == "update" && args.size() == 4) {
        long long size = 0, period = 0;
        if (!parseNumber(args[2], INT32_MIN, INT32_MAX, size) || !parseNumber(args[3], INT32_MIN, INT32_MAX, period)) {
            return usage("MAXSIZE and MAXPERIOD are 32-bit numbers");
        }
        std::uint8_t body[kSnfRequestSize] = {};
        encodeI32(body + 4, 1);
        encodeI32(body + 8, static_cast<std::int32_t>(size));
        encodeI32(body + 12, static_cast<std::int32_t>(period));
        UpdateSnfCfg(SnfRequest(body), client, status);
        return reportStatus(status);
    } else if (verb == "save" && args.size() == 2) {
        GetSnfMaxSize(client);
        SaveSnfCfg(client, status);
        return reportStatus(status);
    } else {
        return usage("config " + verb + ": wrong arguments");
    }
    if (statusFailed(status)) return reportStatus(status);
    const std::int32_t size = GetSnfMaxSize(client);
    std::printf("MaxSize=%d MaxPeriod=%d\n", static_cast<int>(size), static_cast<int>(GetSnfMaxPeriod(client)));
    return 0;
}

// The directory part of a path, for the free space of the file's own disk.
std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

int runSizing(const std::string& command, const std::vector<std::string>& args, bool storeDirectorySet) {
    long long size = 0;
    if (args.size() != 2 || !parseNumber(args[1], INT32_MIN, INT32_MAX, size)) {
        return usage(command + " takes PATH MB");
    }
    if (!storeDirectorySet) SetStoreDirectory(directoryOf(args[0]).c_str());
    if (command == "allocate") {
        allocateStoreFile(args[0].c_str(), static_cast<std::int32_t>(size));
    } else {
        setStoreFileSize(args[0].c_str(), static_cast<std::int32_t>(size));
    }
    return 0;
}

std::string addressText(const AddressRecord& address) {
    return std::string(fixedText(address.node, sizeof address.node)) + "/" +
           std::string(fixedText(address.service, sizeof address.service));
}

int showScan(const char* file) {
    auto table = newScanList();
    auto tags = newScanTagArray();
    if (!table || !tags) return usage("no memory for the scan list");
    StatusBlock status;
    loadScanList(*table, *tags, file, 0, status);
    if (statusFailed(status)) return reportStatus(status);
    const std::uint32_t searched = searchedSlots(table->highestEntry);
    for (std::uint32_t i = 0; i < searched; ++i) {
        const ScanListEntry& e = table->slots[i];
        if (!slotInUse(e)) continue;
        std::printf("%u listId=%d frequency=%d reply=%s source=%s tags=%u requestLength=%u\n", i,
                    static_cast<int>(e.listId), static_cast<int>(e.frequency), addressText(e.replyDestination).c_str(),
                    addressText(e.requestSource).c_str(), (*tags)[i].tagCount, e.requestLength);
    }
    return 0;
}

int showUnsol(const char* file) {
    auto table = newUnsolList();
    if (!table) return usage("no memory for the unsol list");
    StatusBlock status;
    loadUnsolList(*table, file, status);
    if (statusFailed(status)) return reportStatus(status);
    const std::uint32_t searched = searchedSlots(table->highestEntry);
    for (std::uint32_t i = 0; i < searched; ++i) {
        const UnsolListEntry& e = table->slots[i];
        if (!slotInUse(e)) continue;
        std::printf("%u listId=%d destination=%s source=%s flag=%u\n", i, static_cast<int>(e.listId),
                    addressText(e.destination).c_str(), addressText(e.requestSource).c_str(), e.flag136);
    }
    return 0;
}

// A missing store list is an empty one: the destination becomes its first
// entry, made as a task makes one for a destination it starts storing for.
int addStore(const char* file, const std::string& node, const std::string& service) {
    auto table = newStoreList();
    if (!table) return usage("no memory for the store list");
    StatusBlock status;
    loadStoreList(*table, file, status);
    if (statusFailed(status) && lastErrorCode(status) != listcode::kStoreLoadMissing) return reportStatus(status);
    StoreListEntry entry;
    entry.msgDest = makeAddress(node, service);
    setFixedText(entry.FileName, sizeof entry.FileName, StoreFileName(entry.msgDest));
    entry.FileHandle = -1;
    entry.isComOk = 1;
    entry.isAcked = 1;
    entry.existsInList = 1;
    entry.existsInDisk = 1;
    entry.maxSize = GetSnfMaxSize(entry.msgDest);
    entry.maxPeriod = GetSnfMaxPeriod(entry.msgDest);
    addStoreEntry(*table, entry, status);
    if (statusFailed(status)) return reportStatus(status);
    saveStoreList(*table, file, status);
    return reportStatus(status);
}

int runLists(const std::vector<std::string>& args, bool serviceSet) {
    if (args.size() < 2) return usage("lists needs a command and a file");
    const std::string& verb = args[0];
    const char* file = args[1].c_str();
    // A loaded store list entry takes its destination's configuration, which
    // is kept per service.
    if (verb.ends_with("-store") && !serviceSet) return usage("the store list commands need --service");
    if (verb == "add-store") {
        if (args.size() != 4) return usage("lists add-store takes FILE NODE SERVICE");
        if (args[2].size() > 31 || args[3].size() > 31) {
            return usage("a node or service name has at most 31 characters");
        }
        return addStore(file, args[2], args[3]);
    }
    if (args.size() != 2) return usage("lists " + verb + " takes FILE");
    if (verb == "show-scan") return showScan(file);
    if (verb == "show-unsol") return showUnsol(file);
    auto table = newStoreList();
    if (!table) return usage("no memory for the store list");
    StatusBlock status;
    if (verb == "dump-store") {
        dumpStoreList(*table, file, status);
        std::fflush(stdout);
        return reportStatus(status);
    }
    if (verb == "load-store") {
        loadStoreList(*table, file, status);
        if (statusFailed(status)) return reportStatus(status);
        std::uint32_t entries = 0;
        for (std::uint32_t i = 0; i < searchedSlots(table->highestEntry); ++i) {
            entries += slotInUse(table->slots[i]) ? 1 : 0;
        }
        std::printf("entries=%u\n", entries);
        return 0;
    }
    return usage("unknown lists command " + verb);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string service, node = zentoNode(), storeDirectory;
    bool storeDirectorySet = false;
    std::int32_t task = kTaskStore;
    std::size_t at = 0;
    for (; at < args.size() && args[at].rfind("--", 0) == 0; ++at) {
        const std::string& option = args[at];
        if (option == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (option == "--version") {
            std::printf("zento_snf_tool %s (revision %s)\n", kZentoVersion, kZentoRevision);
            return 0;
        }
        if (at + 1 >= args.size()) return usage(option + " needs a value");
        if (option == "--service") {
            service = args[++at];
        } else if (option == "--node") {
            node = args[++at];
        } else if (option == "--store-dir") {
            storeDirectory = args[++at];
            storeDirectorySet = true;
        } else if (option == "--task") {
            const std::string& name = args[++at];
            if (name == "scanner") {
                task = kTaskScanner;
            } else if (name == "store") {
                task = kTaskStore;
            } else if (name == "forward") {
                task = kTaskForward;
            } else {
                return usage("--task is scanner, store or forward: " + name);
            }
        } else {
            return usage("unknown option " + option);
        }
    }
    if (service.size() > 31 || node.size() > 31) return usage("a node or service name has at most 31 characters");
    if (at >= args.size()) return usage("no command");
    setTaskKind(task);
    const AddressRecord dlgp = makeAddress(node, service);
    SetDlgpAddress(&dlgp);
    if (storeDirectorySet) SetStoreDirectory(storeDirectory.c_str());

    const std::string command = args[at];
    const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(at) + 1, args.end());
    if (command == "config") return runConfig(rest);
    if (command == "registry") return runRegistry(rest);
    if (command == "lists") return runLists(rest, !service.empty());
    if (command == "allocate" || command == "resize") return runSizing(command, rest, storeDirectorySet);
    if (command == "names") {
        if (rest.size() != 2) return usage("names takes NODE SERVICE");
        const AddressRecord address = makeAddress(rest[0], rest[1]);
        std::printf("config %s\n", SnfCfgFileName(address));
        std::printf("scan-list %s\n", ScanListFileName(address));
        std::printf("unsol-list %s\n", UnsolListFileName(address));
        std::printf("store-list %s\n", StoreListFileName(address));
        std::printf("store-file %s\n", StoreFileName(address));
        return 0;
    }
    if (command == "remove") {
        long long kind = 0;
        if (rest.size() != 2 || !parseNumber(rest[1], INT32_MIN, INT32_MAX, kind)) return usage("remove takes PATH KIND");
        StatusBlock status;
        removeSnfFile(rest[0].c_str(), static_cast<std::int32_t>(kind), &status);
        return reportStatus(status);
    }
    return usage("unknown command " + command);
}
