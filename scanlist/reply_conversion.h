#pragma once
// GET replies of recorded unsolicited lists turned into unsolicited replies
// that carry only the tags that changed.
//
// Per tag the list keeps (ScanEntryTags) its deadband (int32 kind, float32
// amount), its last status record (three int32) and its last value. Kinds:
// 1 absolute (the smallest change that counts), 2 percent (of the kept
// value), any other none (every conversion counts, equal values too).
#include <cstdint>
#include <span>

#include "msglib/descriptors.h"
#include "msglib/message.h"
#include "msglib/status_block.h"

// Whether a tag counts as changed: always with an amount of 0 or less, with
// no value kept yet (the kept status record's first word 0), or with a
// status record that differs; else by its template entry's type. Character
// fields (3) change when their texts (up to a NUL within the field) differ;
// 4-byte floats (1), 2-byte (2) and 4-byte (4) integers and 8-byte floats
// (5) when |kept - new| is at least the threshold; any other type always.
//
// The numbers are compared as doubles. Values of the same bits differ by 0,
// infinities and NaNs included: a value that stays as it was has not
// changed. A difference or threshold that is not a number (a NaN value
// beside another value, a NaN amount, the percent of a NaN kept value)
// counts as a change: no deadband can be applied then, so the tag is sent as
// with none. Percent thresholds take the absolute value, so negative kept
// values work as positive ones do.
//
// newValue and keptValue hold one element of the entry's type.
bool valueChanged(const DescriptorEntry& entry, std::span<const std::uint8_t> newValue,
                  std::span<const std::uint8_t> keptValue, std::span<const std::uint8_t, 12> newStatus,
                  std::span<const std::uint8_t, 12> keptStatus, std::span<const std::uint8_t, 8> deadband);

// Converts one GET reply of a list with expectedTags tags. On the first
// conversion (*firstConversionDone 0) every tag counts as changed; later
// ones send the tags valueChanged says. The unsolicited reply
// (ZENTO_SERVER_BLD_UNSREPLY) carries the changed tags only, with the
// reply's list id, device name, request word and frequency, addressed to the
// reply's destination with the reply's reply destination; its sender is the
// library's choice. Its template keeps each member that has changed
// elements, its count the number of them, so that the template describes
// exactly the values sent (a member of several elements of which some
// changed would otherwise describe values that are not there).
//
// deadbands (tags x 8), keptStates (tags x 12) and keptValues (what the
// reply's template describes) are the list's ScanEntryTags arrays. They,
// and the flag, are updated only once the unsolicited reply is built: a
// conversion that fails leaves them as they were, so its changes are sent by
// the next one.
//
// The library's builder needs no context of its caller, so the conversion
// takes none to hand on; of the reply's items it hands on the request word
// and the frequency beside the list id and device name.
//
// The reply's template must give one element per tag (13592, then 13552);
// kept arrays shorter than the reply needs fail with 13559. With no status
// block the failure 13557 is logged under "XXX". unsolicited is emptied
// first and holds a reply only on success.
void convertGetReply(MsgView reply, std::uint32_t* firstConversionDone, std::uint32_t expectedTags,
                     std::span<const std::uint8_t> deadbands, std::span<std::uint8_t> keptStates,
                     std::span<std::uint8_t> keptValues, Message* unsolicited, StatusBlock* status);
