#pragma once
// The routes file, ZENTO_HOME/routes, tells where each node listens on TCP.
// One route per line:
//
//   NODE HOST PORT      e.g.  plant2.example.com 10.0.4.7 7410
//
// separated by blanks or tabs; '#' starts a comment that runs to the end of
// the line; blank lines are ignored, and so are lines that do not have exactly
// three fields or whose port is not a number from 1 to 65535. Node names
// compare case-insensitively without their domain part; the first matching
// line wins. A process whose own node has a route also listens at that
// address; a send to another node connects there.
#include <optional>
#include <string>
#include <string_view>

namespace msglib {

struct Route {
    std::string node;
    std::string host;
    std::string port;
};

std::optional<Route> parseRouteLine(std::string_view line);
std::optional<Route> findRoute(std::string_view routesText, std::string_view node);

// The text of ZENTO_HOME/routes (its first MiB); no file means no routes. A
// registered process reads it once, at ZENTO_SERVER_INIT: the routes cannot
// change during a run.
std::string readRoutesFile();

}  // namespace msglib
