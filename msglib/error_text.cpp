// ZENTO_ERR_FMTBLK: a status block as lines an operator can read.
#include <cstdio>
#include <cstring>

#include "msglib/code_catalogue.h"
#include "msglib/msglib.h"

namespace {

// Ten lines of a pair and a one-line meaning.
constexpr std::size_t kTextBytes = kStatusEntries * 320;
thread_local char blockText[kTextBytes];

}  // namespace

void ZENTO_ERR_FMTBLK(std::string_view /*name*/, const StatusBlock& block, const char*& text, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    text = nullptr;
    const int count = statusEntryCount(block);
    if (count == 0) return;
    std::size_t used = 0;
    for (int i = 0; i < count && used < kTextBytes - 1; ++i) {
        const std::string meaning = codeMeaningText(block.facility[i], block.error[i]);
        const int length =
            std::snprintf(blockText + used, kTextBytes - used, "%sfacility=%ld  error=%ld%s%s", i == 0 ? "" : "\n",
                          static_cast<long>(block.facility[i]), static_cast<long>(block.error[i]),
                          meaning.empty() ? "" : "  ", meaning.c_str());
        if (length < 0) break;
        used += static_cast<std::size_t>(length);
    }
    blockText[used < kTextBytes ? used : kTextBytes - 1] = '\0';
    text = blockText;
}
