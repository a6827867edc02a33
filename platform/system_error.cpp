#include "platform/system_error.h"

#include <new>

#include "platform/file_ops.h"

namespace platform {

namespace {

struct ErrorText {
    std::uint32_t code;
    const char* text;
};

// The codes the file primitives and the support routines can meet.
constexpr ErrorText kErrorTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {23, "Data error (cyclic redundancy check)."},
    {25, "The drive cannot locate a specific area or track on the disk."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of the file."},
    {38, "Reached the end of the file."},
    {39, "The disk is full."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
};

// What the system reports when it has no text for a code.
constexpr std::uint32_t kErrorMessageNotFound = 317;
constexpr std::uint32_t kNotEnoughMemory = 8;

}  // namespace

std::optional<std::string> systemErrorText(std::uint32_t code) {
    for (const ErrorText& entry : kErrorTexts) {
        if (entry.code != code) continue;
        try {
            return std::string(entry.text) + "\r\n";
        } catch (const std::bad_alloc&) {
            setLastSystemError(kNotEnoughMemory);
            return std::nullopt;
        }
    }
    setLastSystemError(kErrorMessageNotFound);
    return std::nullopt;
}

}  // namespace platform
