#pragma once
// Putting a finished file in the place of another in one step, and making
// that step last: what a save needs so that a crash, a kill or a full disk
// leaves either the old file or the new one, never a mix of the two.
//
//   write "<file>.new", sync it, replaceFile("<file>.new", "<file>"),
//   syncDirectory(the directory of <file>)
//
// Results are errno values, 0 for success.
namespace platform {

// Renames from to to, replacing to when it exists. Every opener of to sees
// the old file or the new one, whatever happens in between.
int replaceFile(const char* from, const char* to);
// Flushes the directory's entries (a rename or a create in it) to the disk.
int syncDirectory(const char* directory);

// The two calls behind a seam, so that tests can fail either.
struct ReplaceOps {
    int (*replace)(const char* from, const char* to);
    int (*syncDirectory)(const char* directory);
};
const ReplaceOps& systemReplaceOps();
void installReplaceOps(const ReplaceOps* ops);  // nullptr restores systemReplaceOps()

}  // namespace platform
