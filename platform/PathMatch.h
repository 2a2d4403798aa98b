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

// The endings of the files that the program makes beside a record file,
// PREFIX NAME.PID-N.ENDING (PREFIX is kTemporaryPrefix): new content being
// written, which may be partial; a complete copy of new content, renamed so
// once it is on the disk, kept while the record file itself is written; and
// the old content that a replace puts aside on its way out.
inline constexpr char kTemporaryEnding[] = "tvtmp";
inline constexpr char kCopyEnding[] = "tvcpy";
inline constexpr char kAsideEnding[] = "tvtm~";

// What the name of such a file says.
struct OwnFileName {
    std::string stem;  // NAME, cut short where the whole name would not fit
    unsigned long pid = 0;
    LeftoverKind kind = LeftoverKind::PartialNew;  // PartialNew, CompleteNew or OldContent
};

// Whether name (without a directory) is one of those; parsed says what it tells.
bool ParseOwnFileName(const std::string& name, OwnFileName& parsed);
