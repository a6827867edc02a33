#include "tools/sf_tool/sf_tool_cli.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "msglib/code_catalogue.h"
#include "msglib/msglib.h"
#include "platform/file_ops.h"
#include "platform/disk_files.h"
#include "tools/sf_tool/inspect_json.h"
#include "tools/sf_tool/inspect_print.h"
#include "tools/sf_tool/sample_messages.h"
#include "tools/sf_tool/store_inspect.h"
#include "tools/sf_tool/store_writer.h"
#include "tools/sf_tool/stored_message.h"
#include "zento_version.h"

namespace {

// A message of 16 MiB is far beyond anything the tasks store; larger sizes
// are typing errors.
constexpr std::uint32_t kMaxMessageSize = 16u << 20;

constexpr const char* kUsage =
    "usage: zento_sf_tool inspect [--summary] [--json] FILE\n"
    "       zento_sf_tool dump FILE\n"
    "       zento_sf_tool create FILE [--ring MB] [--force]\n"
    "       zento_sf_tool append FILE --count N [--size BYTES] [--type get|uns] [--node NODE]\n"
    "                            [--first-seq N]\n"
    "       zento_sf_tool explain [FACILITY] CODE\n"
    "       zento_sf_tool --help | --version\n"
    "\n"
    "Options may stand before or after FILE; an argument that begins with -- is always\n"
    "an option (name a file that does, after --, or as ./--name).\n"
    "\n"
    "  inspect  show the header blocks, every record from the forward offset and each\n"
    "           damaged range, as a recovery reads them; the file is opened read-only.\n"
    "           A record a recovery cannot forward, or whose body does not parse, is\n"
    "           flagged. --summary shows the header and the totals only; --json writes\n"
    "           the same as one JSON document, for scripts.\n"
    "           Exit 0 for a sound file, 1 for a damaged one, 2 when it cannot be read.\n"
    "  dump     print each message a recovery would forward, with its parsed fields.\n"
    "  create   make an empty store file with a type-2 header: linear (the file ends at\n"
    "           its data), or with --ring a zero-filled ring file of MB MiB whose data\n"
    "           wraps to the start of the data area. A ring larger than the free space\n"
    "           is refused. --force replaces an existing file, and makes a ring larger\n"
    "           than the free space all the same.\n"
    "  append   store N messages behind the newest record: GET replies (--type get, the\n"
    "           default) or unsolicited replies (--type uns), numbered in their list id\n"
    "           and value text. --size pads each message to BYTES bytes; --node names\n"
    "           the node that asked for them, where a recovery sends them (default: the\n"
    "           local node); --first-seq sets the first number (default: one past the\n"
    "           newest record's). A full ring file refuses further messages.\n"
    "  explain  what a code of a status line (\"facility=13  error=13510\") means; with\n"
    "           CODE alone, under every facility that has it. Exit 1 for a code with no\n"
    "           meaning recorded.\n"
    "\n"
    "Exit codes: 0 done, 1 failed, 2 bad usage.\n";

int usageError(const std::string& text) {
    std::fprintf(stderr, "zento_sf_tool: %s\n", text.c_str());
    std::fprintf(stderr, "Try 'zento_sf_tool --help'.\n");
    return kToolUsage;
}

int failed(const std::string& text) {
    std::fprintf(stderr, "zento_sf_tool: %s\n", text.c_str());
    return kToolFailed;
}

bool parseNumber(std::string_view text, std::uint32_t& value) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc{} && end == text.data() + text.size();
}

// The arguments after the command: "--name value" pairs, bare flags and the
// FILE, in any order. Everything that begins with "--" is an option, so that
// a mistyped or misplaced option is never taken for the file; after a lone
// "--" every argument is a file name.
class Options {
public:
    explicit Options(std::vector<std::string_view> args) : args_(std::move(args)) {}

    // Takes the next argument; false at the end of the arguments.
    bool next(std::string_view& name) {
        if (at_ < args_.size() && args_[at_] == "--" && !endOfOptions_) {
            endOfOptions_ = true;
            ++at_;
        }
        if (at_ >= args_.size()) return false;
        name = args_[at_++];
        return true;
    }
    bool isOption(std::string_view arg) const { return !endOfOptions_ && arg.starts_with("--"); }
    // Takes arg as the command's one FILE.
    bool file(std::string_view command, std::string_view arg, std::string& path, std::string& error) {
        if (isOption(arg)) {
            error = std::string(command) + " takes no option '" + std::string(arg) + "'";
            return false;
        }
        if (!path.empty() || arg.empty()) {
            error = std::string(command) + (arg.empty() ? " takes no empty FILE" : " takes one FILE, not also '" +
                                                                                    std::string(arg) + "'");
            return false;
        }
        path = std::string(arg);
        return true;
    }
    bool value(std::string_view name, std::string_view& out, std::string& error) {
        if (at_ >= args_.size()) {
            error = std::string(name) + " needs a value";
            return false;
        }
        out = args_[at_++];
        return true;
    }
    bool number(std::string_view name, std::uint32_t& out, std::string& error) {
        std::string_view text;
        if (!value(name, text, error)) return false;
        if (!parseNumber(text, out)) {
            error = std::string(name) + " takes a whole number, not '" + std::string(text) + "'";
            return false;
        }
        return true;
    }

private:
    std::vector<std::string_view> args_;
    std::size_t at_ = 0;
    bool endOfOptions_ = false;
};

// Only a FILE, for the commands that take no option.
bool onlyFile(std::string_view command, Options& options, std::string& path, std::string& error) {
    std::string_view arg;
    while (options.next(arg)) {
        if (!options.file(command, arg, path, error)) return false;
    }
    if (path.empty()) error = std::string(command) + " needs a FILE";
    return !path.empty();
}

int runInspect(Options& options) {
    std::string path, error;
    bool summaryOnly = false, json = false;
    std::string_view arg;
    while (options.next(arg)) {
        if (options.isOption(arg) && arg == "--summary") {
            summaryOnly = true;
        } else if (options.isOption(arg) && arg == "--json") {
            json = true;
        } else if (!options.file("inspect", arg, path, error)) {
            return usageError(error);
        }
    }
    if (path.empty()) return usageError("inspect needs a FILE");
    InspectReport report;
    if (!inspectStoreFile(path, report, error)) {
        std::fprintf(stderr, "zento_sf_tool: %s\n", error.c_str());
        return kToolUsage;
    }
    if (json) {
        printInspectJson(report, summaryOnly, stdout);
    } else {
        printInspectReport(report, summaryOnly, stdout);
    }
    return report.sound() ? kToolOk : kToolFailed;
}

void printMessage(std::int64_t offset, const Message& message) {
    ReplyFields fields;
    StatusBlock status;
    const std::int32_t transType = ZENTO_SERVER_TRANSTYPE(message.view());
    if (transType == kTransUnsolicited) {
        ZENTO_SERVER_PARSE_UNSREP(message.view(), fields, status);
    } else {
        ZENTO_SERVER_PARSE_GETREP(message.view(), fields, status);
    }
    char name[32];
    const AddressRecord requester = ZENTO_SERVER_REQSRC(message.view());
    std::printf("offset %" PRId64 ": %s, %u bytes, requester %.*s/%.*s", offset, transTypeName(transType, name),
                message.size, static_cast<int>(fixedText(requester.node, 32).size()), requester.node,
                static_cast<int>(fixedText(requester.service, 32).size()), requester.service);
    if (statusFailed(status)) {
        std::printf(", does not parse (%s)\n", describeStatus(status).c_str());
        return;
    }
    const std::string_view device = fixedText(fields.deviceName, 32);
    const std::string_view tag = fixedText(reinterpret_cast<const char*>(fields.tagNames.data()),
                                           fields.tagCount > 0 ? fields.tagNames.size() / fields.tagCount : 0);
    const std::string_view value = fixedText(reinterpret_cast<const char*>(fields.values.data()),
                                             fields.values.size());
    std::printf(", list id %d, device %.*s, frequency %d, %d tag(s), first tag %.*s, value \"", fields.listId,
                static_cast<int>(device.size()), device.data(), fields.frequency, fields.tagCount,
                static_cast<int>(tag.size()), tag.data());
    // Values are binary in general: show the printable start of the first.
    for (char c : value.substr(0, 64)) std::putchar(c >= 0x20 && c < 0x7F ? c : '.');
    std::printf("\"\n");
}

int runDump(Options& options) {
    std::string path, error;
    if (!onlyFile("dump", options, path, error)) return usageError(error);
    InspectReport report;
    if (!inspectStoreFile(path, report, error)) {
        std::fprintf(stderr, "zento_sf_tool: %s\n", error.c_str());
        return kToolUsage;
    }
    const std::int32_t handle = platform::rtOpen(path.c_str(), platform::kRtBinary, 0);
    if (handle < 0) return failed("cannot open " + path + " for reading");
    int result = kToolOk;
    for (std::int64_t offset : deliveredOffsets(report)) {
        Message message;
        if (!readStoredMessage(handle, offset, message, error)) {
            result = failed(error);
            break;
        }
        printMessage(offset, message);
    }
    platform::rtClose(handle);
    std::fflush(stdout);
    return result;
}

// A ring takes its whole size at once: one larger than the space left on
// its file system is a typing error far more often than a wish, and would
// fill the disk the recovery and the tasks write to.
bool ringFits(const std::string& path, std::uint32_t ringMiB, std::string& error) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    const std::string directory = parent.empty() ? "." : parent.string();
    std::uint64_t free = 0;
    if (!platform::freeBytesAvailable(directory.c_str(), free)) return true;  // nothing known: the allocation decides
    const std::uint64_t wanted = std::uint64_t{ringMiB} << 20;
    if (wanted <= free) return true;
    error = "a ring of " + std::to_string(ringMiB) + " MiB needs " + std::to_string(wanted) + " bytes, and " +
            directory + " has " + std::to_string(free) + " bytes free; --force makes it all the same";
    return false;
}

int runCreate(Options& options) {
    std::uint32_t ringMiB = 0;
    bool force = false;
    std::string path, error;
    std::string_view name;
    while (options.next(name)) {
        if (options.isOption(name) && name == "--ring") {
            if (!options.number(name, ringMiB, error)) return usageError(error);
            if (ringMiB == 0) return usageError("--ring takes a size of at least 1 MiB");
        } else if (options.isOption(name) && name == "--force") {
            force = true;
        } else if (!options.file("create", name, path, error)) {
            return usageError(error);
        }
    }
    if (path.empty()) return usageError("create needs a FILE");
    if (ringMiB > 0 && !force && !ringFits(path, ringMiB, error)) return failed(error);
    if (!createStoreFile(path, ringMiB, force, error)) return failed(error);
    if (ringMiB > 0) {
        std::printf("created %s: ring store file of %u MiB\n", path.c_str(), ringMiB);
    } else {
        std::printf("created %s: linear store file\n", path.c_str());
    }
    return kToolOk;
}

struct AppendRequest {
    std::string path;
    std::uint32_t count = 0;
    bool countGiven = false;
    bool firstGiven = false;
    std::uint32_t first = 0;
    SampleShape sample;
};

int parseAppend(Options& options, AppendRequest& request) {
    std::string error;
    std::string_view name;
    std::string_view text;
    while (options.next(name)) {
        if (!options.isOption(name)) {
            if (!options.file("append", name, request.path, error)) return usageError(error);
        } else if (name == "--count") {
            if (!options.number(name, request.count, error)) return usageError(error);
            request.countGiven = true;
        } else if (name == "--size") {
            if (!options.number(name, request.sample.size, error)) return usageError(error);
            if (request.sample.size == 0 || request.sample.size > kMaxMessageSize) {
                return usageError("--size takes 1 to " + std::to_string(kMaxMessageSize) + " bytes");
            }
        } else if (name == "--type") {
            if (!options.value(name, text, error)) return usageError(error);
            if (text == "get") {
                request.sample.kind = SampleKind::GetReply;
            } else if (text == "uns") {
                request.sample.kind = SampleKind::UnsolicitedReply;
            } else {
                return usageError("--type takes get or uns, not '" + std::string(text) + "'");
            }
        } else if (name == "--node") {
            if (!options.value(name, text, error)) return usageError(error);
            if (text.empty() || text.size() > 31) return usageError("--node takes a name of 1 to 31 characters");
            request.sample.requesterNode = std::string(text);
        } else if (name == "--first-seq") {
            if (!options.number(name, request.first, error)) return usageError(error);
            request.firstGiven = true;
        } else {
            return usageError("append takes no option '" + std::string(name) + "'");
        }
    }
    if (request.path.empty()) return usageError("append needs a FILE");
    if (!request.countGiven) return usageError("append needs --count N");
    if (request.sample.requesterNode.empty()) request.sample.requesterNode = zentoNode();
    return kToolOk;
}

// One past the newest record's number, so that successive appends number on.
std::uint32_t nextSequence(const StoreWriter& writer) {
    if (writer.header.msgCount == 0) return 1;
    Message newest;
    std::string ignored;
    std::uint32_t sequence = 0;
    if (!readStoredMessage(writer.handle, writer.header.lastMsgOffset, newest, ignored) ||
        !sampleSequence(newest.view(), sequence)) {
        return 1;
    }
    return sequence + 1;
}

int runAppend(Options& options) {
    AppendRequest request;
    if (int usage = parseAppend(options, request); usage != kToolOk) return usage;
    const std::string& path = request.path;

    StoreWriter writer;
    std::string error;
    if (!openStoreWriter(writer, path, error)) return failed(error);
    const std::uint32_t first = request.firstGiven ? request.first : nextSequence(writer);
    std::uint32_t stored = 0;
    for (; stored < request.count; ++stored) {
        Message message;
        if (!buildSampleMessage(request.sample, first + stored, message, error) ||
            !appendStoredMessage(writer, message.view(), error)) {
            break;
        }
    }
    closeStoreWriter(writer);
    if (stored < request.count) {
        return failed(error + " (" + std::to_string(stored) + " of " + std::to_string(request.count) +
                      " messages stored)");
    }
    std::printf("appended %u message(s) to %s, numbered %u to %u\n", stored, path.c_str(), first,
                first + stored - (stored > 0 ? 1 : 0));
    return kToolOk;
}

bool parseCode(std::string_view text, std::int32_t& value) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc{} && end == text.data() + text.size();
}

int runExplain(const std::vector<std::string_view>& args) {
    std::int32_t facility = 0;
    std::int32_t code = 0;
    const bool both = args.size() == 3;
    if ((args.size() != 2 && !both) || !parseCode(args.back(), code) || (both && !parseCode(args[1], facility))) {
        return usageError("explain takes [FACILITY] CODE, as whole numbers");
    }
    bool known = false;
    auto show = [&](std::int32_t f) {
        const std::string meaning = codeMeaningText(f, code);
        if (meaning.empty()) return;
        std::printf("facility=%d  error=%d  %s\n", static_cast<int>(f), static_cast<int>(code), meaning.c_str());
        known = true;
    };
    if (both) {
        show(facility);
    } else {
        for (const CodeMeaning& entry : codeCatalogue()) {
            if (entry.code == code) show(entry.facility);
        }
    }
    if (known) return kToolOk;
    return failed("no meaning is recorded for " +
                  (both ? "facility " + std::to_string(facility) + " code " : std::string("code ")) +
                  std::to_string(code));
}

}  // namespace

int runSfTool(int argc, const char* const* argv) {
    std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    for (std::string_view arg : args) {
        if (arg == "--") break;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return kToolOk;
        }
        if (arg == "--version") {
            std::printf("zento_sf_tool %s (revision %s)\n", kZentoVersion, kZentoRevision);
            return kToolOk;
        }
    }
    if (args.empty()) return usageError("a command is needed");
    const std::string_view command = args[0];
    if (command == "explain") return runExplain(args);
    Options options(std::vector<std::string_view>(args.begin() + 1, args.end()));
    if (command == "inspect") return runInspect(options);
    if (command == "dump") return runDump(options);
    if (command == "create") return runCreate(options);
    if (command == "append") return runAppend(options);
    return usageError("unknown command '" + std::string(command) + "'");
}
