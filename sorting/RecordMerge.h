// The three-way merge of record files, key by key. Each version's lines are
// grouped by key (the text before the first comma); the template line (the
// version's last templateName line) is a group of its own. A key that one
// side left as it was in the base takes the other side's lines; one that both
// sides changed the same way takes that change; one that they changed in
// different ways (a deletion against a modification included) is a conflict.
// The result is in normal form, conflicts aside, whatever form the versions
// were in. Bytes in, bytes out: no I/O here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct MergeOptions {
    // Length of the conflict markers (<<<<<<< and the rest).
    size_t markerSize = 7;
    // Conflicts show the base's lines as well, between ||||||| base and =======.
    bool diff3 = false;
    // What ends every line written (and the blank line that a byte-order
    // mark stands on above a first conflict marker).
    std::string_view lineEnd = "\r\n";
};

struct MergeOutcome {
    // Base, ours and theirs: the version is bad (LocateFaults tells where),
    // and nothing was merged.
    bool bad[3] = {false, false, false};
    std::string text;
    size_t conflicts = 0;  // keys (the template counted as one) in conflict
};

// The byte-order mark is merged like a key: the side that changed it against
// the base decides.
MergeOutcome MergeRecordFiles(std::string_view base, std::string_view ours, std::string_view theirs,
                              const MergeOptions& options = MergeOptions());
