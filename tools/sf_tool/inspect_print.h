#pragma once
// The text of an inspection: the header, one line per record or damaged
// range in reading order (not with summaryOnly), and a four-line summary at
// the end.
#include <cstdio>
#include <string>

#include "tools/sf_tool/store_inspect.h"

void printInspectReport(const InspectReport& report, bool summaryOnly, std::FILE* out);

// How a recovery would end on the file, in words ("forwards 8 message(s),
// then sends the end-of-file notice").
std::string recoveryOutcome(const InspectReport& report);

// "GET reply", "unsolicited reply" or "transaction type N".
const char* transTypeName(std::int32_t transType, char (&buffer)[32]);
