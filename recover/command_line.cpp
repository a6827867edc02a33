#include "recover/command_line.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "forward/forwarding.h"
#include "recover/recover_context.h"
#include "recover/recovery.h"

namespace {

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

// The decimal value of text as atoi reads it, held within +-2^40: far beyond
// 32 bits, yet neither the accumulation nor the later tenfold can overflow.
std::int64_t saturatingDecimal(std::string_view text) {
    constexpr std::int64_t kCap = std::int64_t{1} << 40;
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::int64_t value = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        if (value < kCap) value = value * 10 + (text[i] - '0');
    }
    if (value > kCap) value = kCap;
    return negative ? -value : value;
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
    std::int64_t units = saturatingDecimal(text) * 10;
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
        if (length == 0 || length >= kMaxOptionLength) continue;

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
            if (units != 0) ctx.sendTimeout = units;
        }
    }
    std::fflush(stdout);
}

CommandLineResult parseCommandLine(RecoverContext& ctx, int argc, const char* const* argv) {
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
