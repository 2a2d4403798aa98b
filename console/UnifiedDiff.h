// A unified diff between two byte strings, as patch(1) reads it.
#pragma once

#include <string>
#include <string_view>

struct DiffStyle {
    // Terminal colours for people reading the diff; never for patch.
    bool color = false;
};

// Appends to out a unified diff (3 lines of context) that turns before into
// after, headed "--- " oldName and "+++ " newName; nothing when they are equal.
// Lines are split after each LF, so a CR stays part of its line; a last line
// without LF is followed by "\ No newline at end of file". A name holding a
// space, quote or control character is written in C quotes, which patch reads
// back; a backslash alone leaves it bare, as Windows paths are. The edit
// script is minimal unless the inputs differ in thousands of lines, where a
// valid but longer one is taken to stay fast.
void AppendUnifiedDiff(std::string& out, std::string_view before, std::string_view after,
                       const std::string& oldName, const std::string& newName, DiffStyle style);
