#pragma once
// What this process keeps in memory of a store file it holds open through
// zento_s_file_open. The name lock keeps every other process away from the
// file for as long as it is open, so its bytes stay what this process last
// wrote or read:
//  - the header area as last written, so that a rewrite need not read it
//    back first (storefile/header_pair.cpp);
//  - a window of the file read ahead, so that records read one after the
//    other cost one read call per window rather than two per record.
// A write through the file primitives drops what it overlaps; an open and a
// close of the handle drop everything. A handle not opened through
// zento_s_file_open keeps nothing: every call reads the file.
#include <cstddef>
#include <cstdint>
#include <span>

#include "msglib/status_block.h"

constexpr std::size_t kMaxHeaderArea = 192;
constexpr std::size_t kReadWindow = 65536;

// Called by the file primitives.
void beginFileMemory(std::int32_t handle);
void endFileMemory(std::int32_t handle);
// A write of n bytes at offset; a negative offset: somewhere not known.
void noteFileWrite(std::int32_t handle, std::int64_t offset, std::int64_t n);

// The header area (2S+8 bytes) as this process last wrote it; empty when not
// known.
void rememberHeaderArea(std::int32_t handle, std::span<const std::uint8_t> area);
void forgetHeaderArea(std::int32_t handle);
std::span<const std::uint8_t> knownHeaderArea(std::int32_t handle);

// readExactAt with the same result and status entries, served from the
// window when it holds the bytes; otherwise the window is read anew from
// offset on (up to kReadWindow bytes, less at the end of the file). Requests
// larger than the window are read directly.
std::int64_t readAheadAt(std::int32_t handle, std::int64_t offset, void* buffer, std::int64_t n,
                         StatusBlock& status);
