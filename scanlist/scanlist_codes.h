#pragma once
// The scan list maintenance codes: facility 13 (kFacilityStore), except
// three of updateScanList's, which the declare path loads under facility 8.
#include <cstdint>

#include "msglib/status_block.h"

namespace scancode {
// A code together with the facility it is loaded under.
struct FacilityCode {
    std::int32_t facility;
    std::int32_t code;
};

// addScanEntry and makeDummyTagMessage.
constexpr std::int32_t kAddNoMemory = 13001;
constexpr std::int32_t kNoEntry = 13005;              // removeScanEntry found no slot
constexpr std::int32_t kDummyFailed = 13018;
constexpr std::int32_t kDummyNoRequest = 13070;
constexpr std::int32_t kDummyNoMemory = 13071;
// The request's tag names could not be found: it is not a GET request the
// library reads (a dummy-tag copy, whose length word no longer matches its
// table, is not).
constexpr std::int32_t kDummyNoNames = 13072;
constexpr std::int32_t kAddTemplateParse = 13533;
constexpr std::int32_t kAddTemplateSize = 13534;

// convertGetReply.
constexpr std::int32_t kReplyParse = 13550;
constexpr std::int32_t kReplyNoMemory = 13551;
constexpr std::int32_t kReplyNotStructure = 13552;
constexpr std::int32_t kReplyTagCount = 13553;
constexpr std::int32_t kReplySize = 13554;
constexpr std::int32_t kReplyElementType = 13555;
constexpr std::int32_t kReplyBuild = 13556;
constexpr std::int32_t kReplyArgument = 13557;
constexpr std::int32_t kReplyNoChange = 13558;
// The kept deadbands, status records or values are shorter than the reply
// needs: they belong to another tag set than the reply's.
constexpr std::int32_t kReplyKeptShort = 13559;

// updateScanList.
constexpr std::int32_t kDeclareParse = 13570;
constexpr std::int32_t kCancelParse = 13571;
constexpr std::int32_t kUnknownTransaction = 13572;
constexpr std::int32_t kSlotSearch = 13573;
constexpr std::int32_t kStoredParse = 13574;
constexpr FacilityCode kCancelRemoveTags{kFacilityStore, 13575};
constexpr FacilityCode kDeclareRemoveTags{kFacilityParser, 13575};
constexpr FacilityCode kRemoveEntry{kFacilityParser, 13576};
constexpr FacilityCode kMergeTags{kFacilityParser, 13577};
constexpr std::int32_t kUpdateSize = 13578;
constexpr std::int32_t kUpdateNoMemory = 13579;
constexpr std::int32_t kAddEntry = 13580;
constexpr std::int32_t kFrequencyNotNegative = 13581;

// removeTags and mergeTags.
constexpr std::int32_t kRemoveNoMemory = 13590;
constexpr std::int32_t kRemoveSize = 13591;
// A tag set's data template is not a structure (count 1) whose members give
// exactly one element per tag, or one of its pieces is not the size its tag
// count and template call for.
constexpr std::int32_t kTagSetInconsistent = 13592;
constexpr std::int32_t kMergeFirstSize = 13600;
constexpr std::int32_t kMergeSecondSize = 13601;
constexpr std::int32_t kMergeNoMemory = 13602;
}  // namespace scancode
