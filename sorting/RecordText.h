// A record file held in memory as bytes: its lines as the sorter reads them,
// where a bad one is bad, and its normal form as the sorter writes it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "../platform/CString.h"

// The reasons a record file is bad, as diagnostics give them.
extern const char kNoCommaReason[];            // "line has no comma"
extern const char kLeadingCommaReason[];       // "line starts with a comma"
extern const char kNothingAfterCommaReason[];  // "nothing after the comma"
extern const char kAfterEndMarkReason[];       // "text after the end-of-file mark"
extern const char kConflictMarkerReason[];     // "conflict marker left by a merge"

// What one line (without its line break) is to a record file.
enum class LineKind {
    Blank,              // dropped by the normal form
    EmptyValue,         // "key,,...": dropped too
    Template,           // its key is templateName, in any letter case
    Record,
    NoComma,            // these three make the file bad
    LeadingComma,
    NothingAfterComma,
};
// comma receives the place of the line's first comma, where it has one.
inline LineKind ClassifyLine(std::string_view line, size_t& comma) {
    static const char kTemplateKey[] = "templatename,";
    if (line.empty()) return LineKind::Blank;
    comma = line.find(',');
    if (comma == std::string_view::npos) return LineKind::NoComma;
    if (comma == 0) return LineKind::LeadingComma;
    if (comma == line.size() - 1) return LineKind::NothingAfterComma;
    if (line[comma + 1] == ',') return LineKind::EmptyValue;
    if (comma != sizeof kTemplateKey - 2) return LineKind::Record;
    for (size_t i = 0; i < comma; ++i)
        if (FoldAscii(line[i]) != kTemplateKey[i]) return LineKind::Record;
    return LineKind::Template;
}
inline bool IsBadLine(LineKind kind) { return kind >= LineKind::NoComma; }

// One line as the sorter reads it: without its line break, and where its
// first byte lies in the bytes.
struct RecordLine {
    std::string_view text;
    size_t offset;
};

// The lines of a record file's bytes: a UTF-8 byte-order mark at the start is
// no part of the first line; LF or CR LF ends a line and is no part of it; a
// lone CR stays in its line; a Ctrl-Z (0x1A) ends the text. The views point
// into the bytes given.
struct RecordLines {
    bool byteOrderMark = false;
    // Something other than further Ctrl-Z bytes follows the first Ctrl-Z
    // (which makes the file bad); endMark is where that Ctrl-Z is.
    bool dataAfterEndMark = false;
    size_t endMark = 0;
    std::vector<RecordLine> lines;
};
RecordLines SplitRecordLines(std::string_view bytes);

// A place in a file as editors count it: LINE 1-based, where LF, CR LF and a
// lone CR each end a line; COLUMN the 1-based byte in that line, a byte-order
// mark not counted.
struct LineFault {
    size_t line = 0;
    size_t column = 0;
    const char* reason = nullptr;
};
struct FaultList {
    std::vector<LineFault> faults;  // the first ones, in file order
    size_t total = 0;               // all of them
};
// The bad lines of a record file's bytes (and text after its end mark), at
// most limit of them listed. None for a good file. A bad line that begins
// with seven '<', '=', '|' or '>' is named as a merge's conflict marker.
FaultList LocateFaults(std::string_view bytes, size_t limit);

// What the sorter makes of the bytes of one record file.
enum class NormalFormResult {
    Normal,   // they are in normal form already
    Changed,  // a rewrite would change them
    Bad,      // the file is bad and would be left as it is
};
// normal receives the bytes the sorter would write (the same bytes when
// already normal; nothing when bad). lineEndsOnly, where given, tells whether
// the bytes differ from it only in their line breaks.
NormalFormResult NormalFormOf(std::string_view bytes, std::string& normal, bool* lineEndsOnly = nullptr);
