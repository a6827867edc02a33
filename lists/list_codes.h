#pragma once
// The list tables' codes (facility 13, kFacilityStore).
#include <cstdint>

// An add found no free slot in its list table; the table is unchanged.
constexpr std::int32_t kListTableFull = 13620;
