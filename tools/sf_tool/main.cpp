#include "tools/sf_tool/sf_tool_cli.h"

int main(int argc, char** argv) { return runSfTool(argc, argv); }
