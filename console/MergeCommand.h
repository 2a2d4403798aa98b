// tervalo-cli merge: the keyed three-way merge of record files, in the shape
// of a git merge driver (merge.tervalo.driver "tervalo-cli merge
// --marker-size %L %O %A %B %P"): the result goes into OURS.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "../platform/FileSystem.h"

// Exit statuses of a merge.
enum MergeStatus {
    kMergeClean = 0,      // OURS holds the merge
    kMergeConflicts = 1,  // OURS holds the merge, conflicts marked
    kMergeUsage = 2,
    kMergeFailed = 3,     // no keyed merge: a version is bad or unreadable, or OURS could not be written
};

// argv[0] is "merge"; the rest are its arguments.
int TervaloMergeMain(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                     FileSystem& fs = GetRealFileSystem());

// tervalo-cli merge --install: the .gitattributes line and the git config of
// the repository that the working directory lies in. 0, or 1 after a message.
int InstallMergeDriver(std::ostream& out, std::ostream& err);

// Runs the program that args names, found on PATH; its standard output goes
// into output when given. Its exit status, or -1 with why in failure.
int RunProgram(const std::vector<std::string>& args, std::string* output, std::string& failure);
