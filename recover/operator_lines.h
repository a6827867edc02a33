#pragma once
// Lines for the operator beside the progress lines: why a run could not
// start, what a run did, what it waits for. Standard output keeps exactly the
// lines it has always had; these go to standard error, behind the program's
// name, and the same text to the library's log.
#include <cstddef>
#include <string>
#include <string_view>

// The name the log files a line under when no usable service name is known
// (a bad command line, a service name that cannot register).
constexpr std::string_view kProgramName = "zento_sf_recover";

// "zento_sf_recover: <text>" on standard error, and text in the log under
// logName.
void tellOperator(std::string_view logName, std::string_view text);

// Bytes from the command line as one line can show them: printable ASCII as
// it is, anything else as \xNN, and at most limit bytes of the original
// before an ellipsis.
std::string shownText(std::string_view bytes, std::size_t limit = 64);

// Whether name can head log lines as it is (printable ASCII, no blank).
bool isPlainName(std::string_view name);
