// Windows-style name matching, shared by the POSIX backend and test doubles.
#pragma once

#include <string>
#include <vector>

#include "FileSystem.h"

bool HasWildcards(const std::string& name);

// * matches any run of characters, ? any one character; ASCII letters match
// without regard to case; "*.*" matches every name, dotless ones included.
bool MatchesWildcard(const std::string& pattern, const std::string& name);

// Orders entries by name with ASCII letters folded to small ones, as NTFS
// lists a directory (ties broken by the bytes themselves).
void SortLikeWindows(std::vector<FindEntry>& entries);
