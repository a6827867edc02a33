#pragma once
// Fixed records shared by the library and its callers.
#include <array>
#include <cstdint>
#include <string_view>

// Node name then service name, each NUL-terminated within its 32 bytes.
struct AddressRecord {
    char node[32];
    char service[32];
};
static_assert(sizeof(AddressRecord) == 64);

// Milliseconds of the current second, then whole seconds since the epoch.
struct TimeStamp {
    std::int32_t milliseconds;
    std::int32_t seconds;
};

// Copies text into a fixed field: at most size-1 characters, NUL-padded.
void setFixedText(char* field, std::size_t size, std::string_view text);

// The text of a fixed field up to its first NUL (or the whole field).
std::string_view fixedText(const char* field, std::size_t size);

AddressRecord makeAddress(std::string_view node, std::string_view service);
