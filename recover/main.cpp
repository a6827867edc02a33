#include <cstdio>

#include "platform/broken_pipe.h"
#include "platform/stop_signal.h"
#include "recover/recover_context.h"
#include "recover/recovery.h"

int main(int argc, char** argv) {
    // A reader of the progress lines that goes away (`| head`) must not end
    // the recovery: the lines are lost, the forwarding goes on.
    platform::ignoreBrokenPipe();
    // Progress lines appear as they happen even when standard output is a
    // file or a pipe, not all at once when the process ends: an operator
    // watching a long recovery, or one that is killed, sees how far it got.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    // SIGTERM and SIGINT stop the recovery as a SHUT request does: the file
    // is closed and synced, and what was not acknowledged stays in it.
    platform::catchStopSignals();
    static RecoverContext ctx;
    return runRecovery(ctx, argc, argv);
}
