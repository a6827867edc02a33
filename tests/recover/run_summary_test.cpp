// The end-of-run lines: what each way of ending says, and when a run that
// skipped data or reached a file shorter than its header says so.
#include <gtest/gtest.h>

#include "recover/run_summary.h"

namespace {

RunFacts facts(RunEnd end) {
    RunFacts f;
    f.end = end;
    f.storeFileName = "s.dat";
    f.forwarded = 143;
    f.resends = 2;
    f.forwardOffset = 99720;
    f.fileSize = 99820;
    f.lastOffset = 99820;
    f.waitingAtStart = 143;
    return f;
}

TEST(RunSummary, EachEndIsNamedAndLossesAreSaidPlainly) {
    const std::string head = "Recovery of s.dat ended: 143 messages forwarded, 2 resends, ";
    struct Case {
        RunFacts f;
        std::string summaryTail, loss;
    };
    RunFacts shortFile = facts(RunEnd::EndOfData);
    shortFile.lastOffset = 139392;
    shortFile.waitingAtStart = 200;
    RunFacts damaged = facts(RunEnd::AllForwarded);
    damaged.skippedRanges = 2;
    damaged.skippedBytes = 3000;
    damaged.takenOutUnsent = 1;
    damaged.waitingAtStart = 147;
    RunFacts cut = facts(RunEnd::EndOfData);
    cut.truncatedOffset = 99720;
    cut.truncatedBytes = 100;
    RunFacts shut = facts(RunEnd::Shutdown);
    shut.shutdownSource = "OPERATOR on node ophost";
    shut.messageOutstanding = true;
    shut.lastOffset = 139392;  // messages left for a later run are no loss
    shut.waitingAtStart = 200;
    RunFacts signalled = facts(RunEnd::StopSignal);
    RunFacts uncounted = shortFile;
    uncounted.waitingAtStart.reset();
    const std::string notAll = "Not everything stored was forwarded: ";
    const std::string hidden = ". The exit code does not show this.";
    for (const Case& c : std::vector<Case>{
             {facts(RunEnd::AllForwarded), "0 damaged ranges skipped (0 bytes), forward offset 99720; the store file "
                                           "holds no further message.", ""},
             {shortFile, "0 damaged ranges skipped (0 bytes), forward offset 99720; no further stored message.",
              notAll + "the file ends at byte 99820, 39572 bytes before the end of the data its header names (byte "
                       "139392); 57 of the 200 messages the header counted as waiting were not found" + hidden},
             {uncounted, "0 damaged ranges skipped (0 bytes), forward offset 99720; no further stored message.",
              notAll + "the file ends at byte 99820, 39572 bytes before the end of the data its header names (byte "
                       "139392)" + hidden},
             {damaged, "2 damaged ranges skipped (3000 bytes), forward offset 99720; the store file holds no further "
                       "message.",
              notAll + "2 damaged ranges (3000 bytes) were skipped and not forwarded; 3 of the 147 messages the "
                       "header counted as waiting were not found" + hidden},
             {cut, "0 damaged ranges skipped (0 bytes), forward offset 99720; no further stored message.",
              notAll + "the record at offset 99720 is cut off by the end of the file (100 of its bytes are there)" +
                  hidden},
             {shut, "0 damaged ranges skipped (0 bytes), forward offset 99720; stopped by a shutdown request from "
                    "OPERATOR on node ophost; the message at offset 99720 was not acknowledged and stays in the "
                    "store file for the next run.", ""},
             {signalled, "0 damaged ranges skipped (0 bytes), forward offset 99720; stopped by a stop signal; what "
                         "was not forwarded stays in the store file for the next run.", ""},
             {facts(RunEnd::Unreadable), "0 damaged ranges skipped (0 bytes), forward offset 99720; stopped: the "
                                         "stored data at offset 99720 cannot be read; the remaining messages stay in "
                                         "the store file.", ""},
         }) {
        EXPECT_EQ(summaryLine(c.f), head + c.summaryTail);
        EXPECT_EQ(lossLine(c.f), c.loss);
    }
}

TEST(RunSummary, MessagesWaitingAreCountedOnlyWhereTheHeaderCountsThem) {
    StoreFileHeader h{};
    h.firstMsgOffset = 192;
    h.forwardOffset = 888;
    h.lastMsgOffset = 1584;
    h.msgCount = 3;
    h.forwardedCount = 1;
    EXPECT_EQ(messagesWaiting(h, 2), 2u);
    h.forwardOffset = 192;  // the count restarts at the oldest message
    EXPECT_EQ(messagesWaiting(h, 2), 3u);
    h.forwardOffset = h.lastMsgOffset;
    h.forwardedCount = 3;  // drained
    EXPECT_EQ(messagesWaiting(h, 2), 0u);
    h.forwardedCount = 4;  // a stale count
    EXPECT_EQ(messagesWaiting(h, 1), std::nullopt);
    h.msgCount = kUnknownMsgCount;  // the DUMP default header
    EXPECT_EQ(messagesWaiting(h, 2), std::nullopt);
    h.msgCount = 0;  // a writer that kept no count
    EXPECT_EQ(messagesWaiting(h, 2), std::nullopt);
}

}  // namespace
