#pragma once
// An inspection as one JSON document, for scripts: the header, the records
// and damaged ranges in reading order (not with summaryOnly), the totals and
// the verdict.
#include <cstdio>
#include <string>
#include <string_view>

#include "tools/sf_tool/store_inspect.h"

void printInspectJson(const InspectReport& report, bool summaryOnly, std::FILE* out);

// text as a JSON string, quotes included. Bytes that are no UTF-8 (a file
// name may hold any) become U+FFFD, so the document always parses.
std::string jsonString(std::string_view text);
