#pragma once
// The line a benchmark prints for each of its figures, which
// scripts/bench.sh gathers from every benchmark into one table:
//
//   share | figure | measured | bound | share of the bound | goal | met
//
// A goal of "-" marks a figure shown for comparison only.
#include <cstdarg>
#include <cstdio>
#include <string>

namespace bench {

inline std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
inline std::string format(const char* pattern, ...) {
    char text[256];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

// 1234567 as "1,234,567".
inline std::string grouped(double value) {
    const std::string digits = format("%.0f", value < 0 ? -value : value);
    std::string text = value < 0 ? "-" : "";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
        text += digits[i];
    }
    return text;
}

inline std::string percent(double share) { return format("%.0f%%", 100.0 * share); }

// met: "yes", "no", or "" for a figure without a goal.
inline void printShare(const std::string& figure, const std::string& measured, const std::string& bound,
                       const std::string& share, const std::string& goal, const char* met) {
    std::printf("share | %s | %s | %s | %s | %s | %s\n", figure.c_str(), measured.c_str(), bound.c_str(),
                share.c_str(), goal.c_str(), *met != '\0' ? met : "-");
    std::fflush(stdout);
}

inline const char* metText(bool met) { return met ? "yes" : "no"; }

}  // namespace bench
