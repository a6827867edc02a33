#pragma once
// Reading a stretch of a file through a read-only view of it, for a search
// that looks at every byte once: the bytes are not copied into a buffer. A
// page that cannot be read (an I/O error, or the file cut short while the
// view is held) shows as a failed call, never as a signal that ends the
// process: the caller then reads the stretch with the file calls of
// platform/file_ops.h and meets the error there, as it would have without the
// view.
//
// Views are offered only while the system's own file calls are installed: a
// test that installs a table of its own sees every byte go through its reads.
#include <cstddef>
#include <cstdint>

namespace platform {

// Offsets of views are multiples of this.
std::int64_t mapAlignment();

using MappedVisit = void (*)(const std::uint8_t* bytes, std::size_t length, void* context);

// Makes a view of length bytes of the file from offset (a multiple of
// mapAlignment()), reads every page of it in, runs visit over it and drops
// the view again. False, with errno set, when no view could be made (ENOSYS
// where none is offered), a page could not be read in, or reading a page
// failed during the visit. That ends the visit at the byte it was reading,
// without unwinding: visit must hold nothing that needs freeing or
// destroying while it reads the view (no allocation, no object with a
// destructor).
bool visitMapped(int handle, std::int64_t offset, std::size_t length, MappedVisit visit, void* context);

}  // namespace platform
