#pragma once
// Reads one whole stored message back from its record.
#include <cstdint>
#include <string>

#include "msglib/message.h"

bool readStoredMessage(std::int32_t handle, std::int64_t recordOffset, Message& message, std::string& error);
