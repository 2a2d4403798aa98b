// What each entry of tervalo-cli names, and how the paths that its walk finds
// are shown: starting with the entry as it was typed.
#pragma once

#include <string>

#include "../platform/FileSystem.h"

struct EntryPaths {
    std::string anchor;  // where the walk's absolute paths of this entry start
    std::string typed;   // what is shown in its place
    // What diff headers show in its place: patch -p0 refuses absolute names
    // and names that climb with "..", so an entry typed so that lies below
    // the current directory gets its path from there ("" for that directory).
    std::string diffTyped;
    std::string Display(const std::string& path, bool inDiff = false) const;
};

struct ResolvedEntry {
    CString run;          // what the walk is given
    EntryPaths paths;
    std::string problem;  // why the entry names nothing; empty when it runs
};

// A trailing separator on an entry that names a directory means that
// directory; a root ("/", "C:\", "\\server\share\") names nothing, so that an
// empty variable in "$RECS/" never walks a whole disk. literal: the entry
// names one file or directory, its "*" and "?" being part of the name.
// diff: the names that a diff's headers give are worked out too.
ResolvedEntry ResolveEntry(const CString& entry, FileSystem& fs, bool literal = false, bool diff = false);
