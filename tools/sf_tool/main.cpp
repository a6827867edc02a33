#include "platform/broken_pipe.h"
#include "tools/sf_tool/sf_tool_cli.h"

int main(int argc, char** argv) {
    // `inspect FILE | head` ends the reader early; the tool must not die half
    // way through an append because of it.
    platform::ignoreBrokenPipe();
    return runSfTool(argc, argv);
}
