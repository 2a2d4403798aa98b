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
void SortLikeWindows(std::vector<FoundEntry>& entries);

// The name of a temporary file that stands beside the file called stem:
// stem followed by suffix, stem cut short where the whole would be longer
// than limit bytes (and not inside a UTF-8 character), and "~" with the
// digits of number (cut to limit)
// when even the suffix does not fit. A file whose path is as long as the
// system allows can then still be given new content.
std::string TemporaryName(const std::string& stem, const std::string& suffix, size_t limit, unsigned number);
