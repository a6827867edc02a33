#pragma once
// The zento_sf_tool command line: inspect, dump, create, append, explain. Results go
// to standard output, complaints to standard error.
//
// Exit codes: 0 done (inspect: a sound file); 1 the command failed (inspect:
// a damaged file); 2 bad usage, or a file inspect cannot read at all.
constexpr int kToolOk = 0;
constexpr int kToolFailed = 1;
constexpr int kToolUsage = 2;

int runSfTool(int argc, const char* const* argv);
