#include "msglib/transport_routes.h"

#include <string>

#include "msglib/transport_address.h"
#include "platform/environment.h"
#include "platform/text_file.h"

namespace msglib {

namespace {

// Larger files are not routes files; reading stops there.
constexpr std::size_t kMaxRoutesBytes = 1 << 20;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view nextField(std::string_view& rest) {
    std::size_t start = 0;
    while (start < rest.size() && isBlank(rest[start])) ++start;
    std::size_t end = start;
    while (end < rest.size() && !isBlank(rest[end])) ++end;
    std::string_view field = rest.substr(start, end - start);
    rest.remove_prefix(end);
    return field;
}

bool isPort(std::string_view text) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value >= 1 && value <= 65535;
}

}  // namespace

std::optional<Route> parseRouteLine(std::string_view line) {
    if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
    std::string_view rest = line;
    const std::string_view node = nextField(rest);
    const std::string_view host = nextField(rest);
    const std::string_view port = nextField(rest);
    const std::string_view extra = nextField(rest);
    if (node.empty() || host.empty() || !isPort(port) || !extra.empty()) return std::nullopt;
    return Route{std::string(node), std::string(host), std::string(port)};
}

std::optional<Route> findRoute(std::string_view routesText, std::string_view node) {
    while (!routesText.empty()) {
        const std::size_t newline = routesText.find('\n');
        const std::string_view line = routesText.substr(0, newline);
        routesText.remove_prefix(newline == std::string_view::npos ? routesText.size() : newline + 1);
        std::optional<Route> route = parseRouteLine(line);
        if (route && sameNode(route->node, node)) return route;
    }
    return std::nullopt;
}

std::string readRoutesFile() {
    std::string text;
    platform::readSmallTextFile(platform::zentoHome() + "/routes", kMaxRoutesBytes, text);
    return text;
}

}  // namespace msglib
