#pragma once
// Appending one timestamped line to a log file under ZENTO_HOME/log.
#include <cstdint>
#include <string_view>

struct LogFailure {
    std::int32_t code = 0;        // a libcode, 0 when the line went in whole
    std::int32_t systemError = 0; // errno of the failing call
};

// Writes "YYYY-MM-DD HH:MM:SS.mmm <tag>text" and one newline to
// ZENTO_HOME/log/<fileName>. Trailing newlines of text are dropped so every
// line ends in exactly one; inner ones stay. The file is opened for appending
// for each line and the line goes out in one write, so processes sharing a
// log do not cut into one another's lines.
LogFailure appendLogLine(const char* fileName, std::string_view tag, std::string_view text);

// ZENTO_HOME cannot change during a run: a registration reads the log
// directory once and holds it until it ends. Without one, every line finds
// the directory anew, so a process that never registers (a tool, a test) may
// point ZENTO_HOME elsewhere between lines.
void holdLogDirectory();
void releaseLogDirectory();
