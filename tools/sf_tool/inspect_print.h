#pragma once
// The text of an inspection: the header, one line per record or damaged
// range in reading order, and a four-line summary at the end.
#include <cstdio>

#include "tools/sf_tool/store_inspect.h"

void printInspectReport(const InspectReport& report, std::FILE* out);

// "GET reply", "unsolicited reply" or "transaction type N".
const char* transTypeName(std::int32_t transType, char (&buffer)[32]);
