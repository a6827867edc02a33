#pragma once
// The task reports as the diagnostic log holds them, and what the tests
// build their expected texts with.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "msglib/diag_switch.h"
#include "msglib/task_kind.h"
#include "tests/support/temp_home.h"

namespace diagtest {

struct Filed {
    int code = 0;
    std::string text;  // as written: the report's text without its trailing newlines
    bool operator==(const Filed&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Filed& filed) {
    return out << "[" << filed.code << "] \"" << filed.text << "\"";
}

// The records of $ZENTO_HOME/log/diag.log in order. A record starts with a
// time stamp, "[LOGIC] [code] ", and runs to the next one.
inline std::vector<Filed> readDiagLog(const testsupport::TempHome& home) {
    std::ifstream in(home.file("log/diag.log"));
    std::stringstream whole;
    whole << in.rdbuf();
    const std::string log = whole.str();
    static const std::regex start(R"((^|\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[LOGIC\] \[(\d+)\] )");
    std::vector<Filed> records;
    std::vector<std::pair<std::size_t, std::size_t>> bounds;  // record start, text start
    for (auto it = std::sregex_iterator(log.begin(), log.end(), start); it != std::sregex_iterator(); ++it) {
        const std::size_t at = static_cast<std::size_t>(it->position(0)) + it->length(1);
        bounds.emplace_back(at, static_cast<std::size_t>(it->position(0) + it->length(0)));
        records.push_back({std::stoi((*it)[2]), {}});
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::size_t end = i + 1 < bounds.size() ? bounds[i + 1].first : log.size();
        std::string text = log.substr(bounds[i].second, end - bounds[i].second);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        records[i].text = text;
    }
    return records;
}

// printf into a string, for expected texts in the reports' own formats.
inline std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string fmt(const char* format, ...) {
    char buffer[8192];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    return buffer;
}

// A fixture with its own ZENTO_HOME, diagnostics on and a task kind to set.
class DiagTest : public testsupport::TempHomeTest {
protected:
    void SetUp() override {
        ::setenv("ZENTO_DIAG", "on", 1);
        msglib::refreshDiagnosticSwitch();
        previousKind_ = currentTaskKind();
    }
    void TearDown() override {
        ::unsetenv("ZENTO_DIAG");
        msglib::refreshDiagnosticSwitch();
        setTaskKind(previousKind_);
    }
    std::vector<Filed> filed() const { return readDiagLog(home_); }
    // What was filed since the last call.
    std::vector<Filed> takeFiled() {
        std::vector<Filed> all = filed();
        std::vector<Filed> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
        seen_ = all.size();
        return fresh;
    }

private:
    std::int32_t previousKind_ = 0;
    std::size_t seen_ = 0;
};

}  // namespace diagtest
