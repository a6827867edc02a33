#include <csignal>
#include <cstdio>
#include <string>

#include "platform/broken_pipe.h"
#include "tools/arec/arec_options.h"
#include "tools/arec/arec_service.h"
#include "zento_version.h"

namespace {

volatile std::sig_atomic_t gStop = 0;

extern "C" void requestStop(int) { gStop = 1; }

}  // namespace

int main(int argc, char** argv) {
    // A closed standard output costs the lines, not the acknowledgements.
    platform::ignoreBrokenPipe();
    ArecOptions options;
    std::string error;
    switch (parseArecOptions(argc, argv, options, error)) {
        case ArecParse::Help: std::fputs(kArecUsage, stdout); return 0;
        case ArecParse::Version: std::printf("zento_arec %s (revision %s)\n", kZentoVersion, kZentoRevision); return 0;
        case ArecParse::Bad:
            std::fprintf(stderr, "zento_arec: %s\nTry 'zento_arec --help'.\n", error.c_str());
            return 2;
        case ArecParse::Run: break;
    }
    std::signal(SIGTERM, requestStop);
    std::signal(SIGINT, requestStop);
#ifdef SIGBREAK  // Windows: Ctrl+Break, which would end the process at once
    std::signal(SIGBREAK, requestStop);
#endif
    return runArec(options, gStop);
}
