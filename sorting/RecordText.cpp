#include "RecordText.h"

#include <algorithm>
#include <cstring>

#include "../platform/MemoryFileSystem.h"
#include "RecordSorter.h"

const char kNoCommaReason[] = "line has no comma";
const char kLeadingCommaReason[] = "line starts with a comma";
const char kNothingAfterCommaReason[] = "nothing after the comma";
const char kAfterEndMarkReason[] = "text after the end-of-file mark";
const char kConflictMarkerReason[] = "conflict marker left by a merge";

namespace {
const char kEndMark = 0x1A;
const char kByteOrderMark[] = "\xEF\xBB\xBF";
}  // namespace

RecordLines SplitRecordLines(std::string_view bytes) {
    RecordLines result;
    result.lines.reserve(static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1);
    size_t pos = 0;
    if (bytes.substr(0, 3) == kByteOrderMark) {
        result.byteOrderMark = true;
        pos = 3;
    }
    while (pos < bytes.size()) {
        size_t lf = bytes.find('\n', pos);
        size_t span = (lf == std::string_view::npos ? bytes.size() : lf) - pos;
        const void* found = std::memchr(bytes.data() + pos, kEndMark, span);
        if (found) {
            // The text ends at the mark; the line before it keeps a CR.
            size_t mark = static_cast<size_t>(static_cast<const char*>(found) - bytes.data());
            if (mark > pos) result.lines.push_back(RecordLine{bytes.substr(pos, mark - pos), pos});
            result.endMark = mark;
            result.dataAfterEndMark = bytes.find_first_not_of(kEndMark, mark) != std::string_view::npos;
            break;
        }
        std::string_view line = bytes.substr(pos, span);
        if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        result.lines.push_back(RecordLine{line, pos});
        pos += span + 1;
    }
    return result;
}

namespace {
// A line that begins as the markers of a merge's conflict do.
bool LooksLikeConflictMarker(std::string_view line) {
    const size_t kMarkerSize = 7;
    if (line.size() < kMarkerSize || std::string_view("<=|>").find(line[0]) == std::string_view::npos) return false;
    return line.find_first_not_of(line[0]) >= kMarkerSize;
}

// Turns byte offsets, asked for in increasing order, into lines and columns.
class LineCounter {
public:
    LineCounter(std::string_view bytes, bool byteOrderMark)
        : m_bytes(bytes), m_lineStart(byteOrderMark ? 3 : 0) {}

    LineFault At(size_t offset, const char* reason) {
        for (; m_pos < offset; ++m_pos) {
            char c = m_bytes[m_pos];
            bool lineEnd = c == '\n' || (c == '\r' && (m_pos + 1 == m_bytes.size() || m_bytes[m_pos + 1] != '\n'));
            if (lineEnd) {
                ++m_line;
                m_lineStart = m_pos + 1;
            }
        }
        return LineFault{m_line, offset - m_lineStart + 1, reason};
    }

private:
    std::string_view m_bytes;
    size_t m_pos = 0;
    size_t m_line = 1;
    size_t m_lineStart;
};
}  // namespace

FaultList LocateFaults(std::string_view bytes, size_t limit) {
    RecordLines split = SplitRecordLines(bytes);
    LineCounter counter(bytes, split.byteOrderMark);
    FaultList list;
    auto add = [&](size_t offset, const char* reason) {
        if (list.total++ < limit) list.faults.push_back(counter.At(offset, reason));
    };
    for (const RecordLine& line : split.lines) {
        size_t comma = 0;
        LineKind kind = ClassifyLine(line.text, comma);
        if (IsBadLine(kind) && LooksLikeConflictMarker(line.text)) {
            add(line.offset, kConflictMarkerReason);
            continue;
        }
        switch (kind) {
        case LineKind::NoComma: add(line.offset, kNoCommaReason); break;
        case LineKind::LeadingComma: add(line.offset, kLeadingCommaReason); break;
        case LineKind::NothingAfterComma: add(line.offset + comma, kNothingAfterCommaReason); break;
        default: break;
        }
    }
    if (split.dataAfterEndMark) add(bytes.find_first_not_of(kEndMark, split.endMark), kAfterEndMarkReason);
    return list;
}

namespace {
struct OutcomeSink : IMessageSink {
    void ShowMessage(const CString&, MessageKind kind) override { failed = failed || kind == MessageKind::Failure; }
    void RecordFileDone(const CString&, bool isChanged) override { changed = isChanged; }
    void LineEndsDiffer(const CString&) override { lineEnds = true; }
    bool failed = false;
    bool changed = false;
    bool lineEnds = false;
};
}  // namespace

NormalFormResult NormalFormOf(std::string_view bytes, std::string& normal, bool* lineEndsOnly) {
    // The sorter itself does the work, on a file system that holds only
    // these bytes, so that there is one normal form.
    static const char kName[] = "record";
    MemoryFileSystem fs(false);
    fs.Put(kName, std::string(bytes));
    OutcomeSink sink;
    CRecordSorter sorter(sink, fs);
    sorter.SetDurable(false);
    normal.clear();
    if (!sorter.SortRecordFile(kName) || sink.failed) return NormalFormResult::Bad;
    normal = fs.Get(kName);
    if (lineEndsOnly) *lineEndsOnly = sink.lineEnds;
    return sink.changed ? NormalFormResult::Changed : NormalFormResult::Normal;
}
