#include "recover/command_line.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "forward/forwarding.h"
#include "recover/operator_lines.h"
#include "recover/recover_context.h"
#include "recover/recovery.h"
#include "zento_version.h"

namespace {

constexpr const char* kUsage =
    "usage: zento_sf_recover service storeFile [timeout] [NODE nodename] [DUMP]\n"
    "       zento_sf_recover --help | --version\n"
    "\n"
    "Empties a store file: registers as the DLGP service, forwards the stored messages\n"
    "one at a time to the service TSK_AREC on the node that asked for them, removes\n"
    "each from the file once it is acknowledged, and ends with the end-of-file\n"
    "notice STOREFILEISEMPTY. An interrupted run resumes where it stopped.\n"
    "\n"
    "  service        the DLGP service name to register under: 1 to 15 characters of\n"
    "                 A-Z a-z 0-9 _ . -, not beginning with '.' (upper-cased)\n"
    "  storeFile      the store file to empty (at most 1,027 characters)\n"
    "  timeout        the send time-out in whole seconds (default 5); of several, the\n"
    "                 last non-zero one counts\n"
    "  NODE nodename  send every message to TSK_AREC on nodename instead\n"
    "  DUMP           forward whatever readable records a file with a corrupt header\n"
    "                 still holds\n"
    "Keywords may be written in any case. Any other word is ignored, with a warning.\n"
    "\n"
    "Progress goes to standard output. Why a run cannot start, what it waits for and\n"
    "what it did go to standard error and to the log, $ZENTO_HOME/log/zento.log.\n"
    "SIGTERM and SIGINT stop a run as a SHUT request does.\n"
    "\n"
    "Exit codes:\n"
    "  0  the run ended: every stored message forwarded, nothing (left) to forward,\n"
    "     or stopped by a SHUT request or a signal (the message not acknowledged\n"
    "     stays in the file for the next run); skipped damage is told on standard\n"
    "     error, not by the exit code\n"
    "  1  it could not start: a bad command line, a failed registration, or a store\n"
    "     file that cannot be opened, is empty or fails validation\n"
    "  2  it stopped on a file fault: stored data could not be read, or the header\n"
    "     could not be written or synced; the rest stays in the file\n"
    "\n"
    "Environment: ZENTO_HOME (default /tmp/zento-<uid>), ZENTO_NODE (default the\n"
    "host name), ZENTO_SF_SYNC=message (the header synced after every message).\n";

constexpr const char* kSyntaxLine =
    "\nSyntax: zento_sf_recover service storeFile [timeout] [NODE nodename] [DUMP]\n";

CommandLineResult refuse(const char* errorLine, std::string reason) {
    std::fputs(errorLine, stdout);
    std::fputs(kSyntaxLine, stdout);
    std::fflush(stdout);
    return {false, kExitBadStart, std::move(reason) + " Nothing was forwarded; 'zento_sf_recover --help' shows the usage."};
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A text as atoi reads it: the decimal value (held within +-2^40: far beyond
// 32 bits, yet neither the accumulation nor the later tenfold can overflow),
// whether it has digits, and whether the digits are all of it.
struct DecimalReading {
    std::int64_t value = 0;
    bool digits = false;
    bool whole = false;  // nothing follows the digits
};

DecimalReading readDecimal(std::string_view text) {
    constexpr std::int64_t kCap = std::int64_t{1} << 40;
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    DecimalReading reading;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        reading.digits = true;
        if (reading.value < kCap) reading.value = reading.value * 10 + (text[i] - '0');
    }
    if (reading.value > kCap) reading.value = kCap;
    if (negative) reading.value = -reading.value;
    reading.whole = reading.digits && i == text.size();
    return reading;
}

void warn(const RecoverContext& ctx, const std::string& text) {
    const std::string_view service = fixedText(ctx.serviceName, sizeof ctx.serviceName);
    tellOperator(isPlainName(service) ? service : kProgramName, "Warning: " + text);
}

// The rules take any word that is no keyword as a timeout, and a word
// without leading digits, or a zero, change nothing: each such word, and each
// timeout that is not plainly a whole number of seconds, is named with what it
// was read as, so that a typing error does not pass unseen.
void warnAboutTimeout(const RecoverContext& ctx, const char* argument, std::int32_t units) {
    const DecimalReading reading = readDecimal(argument);
    const std::string shown = "'" + shownText(argument) + "'";
    const std::string kept = "the timeout stays " + std::to_string(ctx.sendTimeout / 10) + " s";
    if (!reading.digits) {
        warn(ctx, shown + " is neither NODE, DUMP nor a timeout, and is ignored.");
    } else if (reading.value == 0) {
        warn(ctx, "the timeout " + shown + " reads as 0, which is ignored: " + kept + ".");
    } else if (!reading.whole) {
        warn(ctx, "the timeout " + shown + " is not a whole number of seconds: it is read as " +
                      std::to_string(reading.value) + " s.");
    } else if (units == INT32_MAX || units == INT32_MIN) {
        warn(ctx, "the timeout " + shown + " is beyond the longest a send can take: it is read as " +
                      std::to_string(units / 10) + " s.");
    } else if (reading.value < 0) {
        warn(ctx, "the timeout " + shown + " is negative: it is read as " + std::to_string(reading.value) +
                      " s, and every send gets the shortest time-out the library allows.");
    }
}

void takeRedirectNode(RecoverContext& ctx, const char* name) {
    std::memset(ctx.redirectNodeName, 0, sizeof ctx.redirectNodeName);
    std::strncpy(ctx.redirectNodeName, name, 32);
    std::printf("Your have chosen to redirect your messages to node [%s]\n", ctx.redirectNodeName);
    ctx.nodeRedirect = true;
}

}  // namespace

char* upcaseInPlace(char* text) {
    for (char* p = text; *p != '\0'; ++p) {
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
    }
    return text;
}

std::int32_t timeoutUnitsOf(std::string_view text) {
    std::int64_t units = readDecimal(text).value * 10;
    if (units > INT32_MAX) return INT32_MAX;
    if (units < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(units);
}

void resetRecoverState(RecoverContext& ctx, std::string_view storeFilePath) {
    resetStoreFile(ctx.store);
    configureForwarding(ctx.forward, ForwardSettings{});
    ctx.storeFileName.assign(storeFilePath);
}

void parseOptions(RecoverContext& ctx, int argc, const char* const* argv, int firstIndex) {
    for (int i = firstIndex; i < argc; ++i) {
        std::size_t length = std::strlen(argv[i]);
        if (length == 0) {
            warn(ctx, "an empty argument is ignored.");
            continue;
        }
        if (length >= kMaxOptionLength) {
            warn(ctx, "an argument of " + std::to_string(length) + " bytes is ignored (" +
                          std::to_string(kMaxOptionLength) + " bytes or more): '" + shownText(argv[i], 32) + "'.");
            continue;
        }

        std::string word(argv[i], length);
        upcaseInPlace(word.data());

        if (word == "NODE") {
            if (i < argc - 1) {
                ++i;
                takeRedirectNode(ctx, argv[i]);
            } else {
                std::fputs("Error parsing parameters: no node name specified.\n", stdout);
            }
        } else if (word == "DUMP") {
            std::fputs("You have specified the DUMP parameter.\n", stdout);
            std::fputs("Message recovery will occur regardless of file corruption\n", stdout);
            ctx.dumpMode = true;
        } else {
            std::int32_t units = timeoutUnitsOf(word);
            warnAboutTimeout(ctx, argv[i], units);
            if (units != 0) ctx.sendTimeout = units;
        }
    }
    std::fflush(stdout);
}

CommandLineResult parseCommandLine(RecoverContext& ctx, int argc, const char* const* argv) {
    // Alone, these ask about the program; anywhere else they are words like
    // any other (a service name "--help" is refused by the registration).
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        std::fflush(stdout);
        return {false, kExitSuccess, {}};
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("zento_sf_recover %s (revision %s)\n", kZentoVersion, kZentoRevision);
        std::fflush(stdout);
        return {false, kExitSuccess, {}};
    }
    ctx.dumpMode = false;
    ctx.sendTimeout = 50;
    ctx.nodeRedirect = false;
    std::memset(ctx.redirectNodeName, 0, sizeof ctx.redirectNodeName);

    if (argc < 3) {
        return refuse("\nError: DLGP service name & Store filename has not been specified",
                      "the service name and the store file are both needed: zento_sf_recover service storeFile "
                      "[timeout] [NODE nodename] [DUMP].");
    }
    if (const std::size_t length = std::strlen(argv[1]); length > kMaxServiceName) {
        return refuse("\nError: DLGP service name too long",
                      "the service name has " + std::to_string(length) + " bytes; at most " +
                          std::to_string(kMaxServiceName) + " are allowed.");
    }
    if (const std::size_t length = std::strlen(argv[2]); length > kMaxStoreFileName) {
        return refuse("\nError: Store filename too long",
                      "the store file path has " + std::to_string(length) + " bytes; at most " +
                          std::to_string(kMaxStoreFileName) + " are allowed.");
    }

    std::string service(argv[1]);
    upcaseInPlace(service.data());
    std::memset(ctx.serviceName, 0, sizeof ctx.serviceName);
    std::memcpy(ctx.serviceName, service.data(), service.size());

    resetRecoverState(ctx, argv[2]);
    parseOptions(ctx, argc, argv, 3);
    return {};
}
