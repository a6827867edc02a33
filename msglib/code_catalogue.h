#pragma once
// What every code the system loads into a status block means, in one table:
// the store-and-forward codes (facility 13), the request builder's (4), the
// parsers' (8) and the library's and its transport's (9). Status texts
// (ZENTO_ERR_FMTBLK) and `zento_sf_tool explain` read it; a test fails when a
// code is loaded anywhere in the tree that the table lacks. Facility 1 holds
// errno values, whose meaning is the runtime's error text.
#include <cstdint>
#include <span>
#include <string>

struct CodeMeaning {
    std::int32_t facility;
    std::int32_t code;
    const char* meaning;  // one line
};

// Sorted by facility, then code.
std::span<const CodeMeaning> codeCatalogue();

// The table's meaning of (facility, code); nullptr when it has none.
const char* catalogueMeaning(std::int32_t facility, std::int32_t code);

// The meaning to show beside (facility, code): the table's, or for facility 1
// the runtime's error text; empty when nothing is known.
std::string codeMeaningText(std::int32_t facility, std::int32_t code);
