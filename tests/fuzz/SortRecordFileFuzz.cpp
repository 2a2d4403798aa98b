// libFuzzer target: the input bytes are the content of one record file. The
// real sorter (CRecordSorter::SortRecordFile over CStdioFile) reads and
// rewrites it in a small in-memory file system, and the result is checked
// against a plain model of the record format and against the properties that
// users rely on. Any violation aborts, which libFuzzer reports as a crash.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "../../platform/CStdioFile.h"
#include "../../platform/FileSystem.h"
#include "../../sorting/RecordSorter.h"
#include "../../sorting/RecordText.h"
#include "../../platform/MemoryFileSystem.h"

namespace {

const char kPath[] = "/mem/r.dbr";
const char kMark[] = "\xEF\xBB\xBF";

[[noreturn]] void Violation(const char* what) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
}

void Check(bool ok, const char* what) {
    if (!ok) Violation(what);
}

std::string Escaped(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        char hex[8];
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    return text;
}

struct CountingSink : IMessageSink {
    void ShowMessage(const CString& text, MessageKind kind) override {
        messages.push_back(text.str());
        kinds.push_back(kind);
    }
    void RecordFileDone(const CString&, bool changed) override { done.push_back(changed); }
    void LineEndsDiffer(const CString&) override { lineEnds = true; }
    bool lineEnds = false;
    std::vector<std::string> messages;
    std::vector<MessageKind> kinds;
    std::vector<bool> done;  // the changed flag of every file that passed
};

// ---- A plain model of the record format ------------------------------------

struct Model {
    std::string before;
    bool bad = false;
    bool mark = false;               // starts with a byte-order mark
    std::vector<std::string> lines;  // every line read, in file order
    std::string normal;              // the normal form, when not bad
};

bool IsTemplate(const std::string& line) {
    static const char key[] = "templatename,";
    if (line.size() < 13) return false;
    for (size_t i = 0; i < 13; ++i) {
        char c = line[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != key[i]) return false;
    }
    return true;
}

bool ByteLess(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return static_cast<unsigned char>(x) <
                                                                    static_cast<unsigned char>(y); });
}

Model ModelOf(const std::string& bytes) {
    Model m;
    m.before = bytes;
    size_t start = 0;
    if (bytes.compare(0, 3, kMark) == 0) {
        m.mark = true;
        start = 3;
    }
    size_t end = bytes.find('\x1A', start);
    if (end == std::string::npos) end = bytes.size();
    for (size_t i = end; i < bytes.size(); ++i)
        if (bytes[i] != '\x1A') m.bad = true;
    std::string content = bytes.substr(start, end - start);
    size_t pos = 0;
    while (pos < content.size()) {
        size_t lf = content.find('\n', pos);
        if (lf == std::string::npos) {
            m.lines.push_back(content.substr(pos));
            break;
        }
        std::string line = content.substr(pos, lf - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        m.lines.push_back(line);
        pos = lf + 1;
    }
    std::string templateLine;
    std::vector<std::string> records;
    for (const std::string& line : m.lines) {
        if (line.empty()) continue;
        size_t comma = line.find(',');
        if (comma == std::string::npos || comma == 0 || comma + 1 == line.size()) {
            m.bad = true;
            continue;
        }
        if (line[comma + 1] == ',') continue;
        if (IsTemplate(line))
            templateLine = line;
        else
            records.push_back(line);
    }
    if (m.bad) return m;
    std::sort(records.begin(), records.end(), ByteLess);
    std::string body;
    if (!templateLine.empty()) body += templateLine + "\r\n";
    for (const std::string& r : records) body += r + "\r\n";
    // The mark is written whenever the file had one, and also when the first
    // line written begins with those bytes: otherwise the next read would take
    // them for a mark and the line would lose them.
    if (m.mark || body.compare(0, 3, kMark) == 0) m.normal = kMark;
    m.normal += body;
    return m;
}

// ---- Running the real sorter ------------------------------------------------

struct Outcome {
    BOOL ok = FALSE;
    std::string after;
    CountingSink sink;
    int replacementsCreated = 0;
    int replacements = 0;
    int attributeChanges = 0;
};

void Sort(const std::string& before, size_t chunk, Outcome& out, SortMode mode = SortMode::RewriteAlways) {
    MemoryFileSystem fs(false, chunk);
    fs.Put(kPath, before);
    CRecordSorter sorter(out.sink, fs);
    sorter.SetMode(mode);
    try {
        out.ok = sorter.SortRecordFile(CString(kPath));
    } catch (const CFileException&) {
        Violation("I/O error raised by an in-memory file");
    }
    Check(fs.Pending() == 0, "a temporary file was left");
    out.after = fs.Get(kPath);
    out.replacementsCreated = fs.outputsCreated;
    out.replacements = fs.replacements;
    out.attributeChanges = fs.attributeChanges;
}

std::vector<std::string> SplitCrlf(const std::string& text, size_t from) {
    std::vector<std::string> lines;
    size_t pos = from;
    while (pos < text.size()) {
        size_t lf = text.find('\n', pos);
        Check(lf != std::string::npos, "last line has no line break");
        Check(lf > pos && text[lf - 1] == '\r', "line break is not CR LF");
        lines.push_back(text.substr(pos, lf - 1 - pos));
        pos = lf + 1;
    }
    return lines;
}

void CheckRewritten(const Model& model, const Outcome& out) {
    Check(out.ok, "good file reported as failed");
    Check(out.sink.messages.empty(), "good file produced a message");
    Check(out.replacements == 1, "good file not replaced exactly once");
    // What the sorter knew after reading agrees with what it wrote.
    Check(out.sink.done.size() == 1, "good file not counted exactly once");
    Check(out.sink.done[0] == (out.after != model.before), "changed flag disagrees with the rewrite");
    if (out.after != model.normal) {
        std::fprintf(stderr, "expected: %s\nwritten:  %s\n", Escaped(model.normal).c_str(),
                     Escaped(out.after).c_str());
        Violation("output differs from the normal form");
    }

    // The properties on their own, so that a failure names the one broken.
    Check(!model.mark || out.after.compare(0, 3, kMark) == 0, "byte-order mark moved from the start");
    bool markWritten = out.after.compare(0, 3, kMark) == 0;
    std::vector<std::string> lines = SplitCrlf(out.after, markWritten ? 3 : 0);
    std::vector<std::string> input = model.lines;
    std::sort(input.begin(), input.end());
    for (const std::string& line : lines)
        Check(std::binary_search(input.begin(), input.end(), line), "output line is not an input line");
    size_t first = 0;
    if (!lines.empty() && IsTemplate(lines[0])) first = 1;
    for (size_t i = first; i < lines.size(); ++i) {
        Check(!IsTemplate(lines[i]), "template line not first, or more than one");
        if (i > first) {
            CString a(lines[i - 1]), b(lines[i]);
            Check(CRecordSorter::CompareLines(&a, &b) <= 0, "record lines out of order");
        }
    }
}

void CheckUntouched(const std::string& before, const Outcome& out) {
    Check(!out.ok, "bad file reported as rewritten");
    Check(out.after == before, "bad file changed");
    Check(out.replacementsCreated == 0, "bad file opened for writing");
    Check(out.sink.messages.size() == 1 && out.sink.kinds[0] == MessageKind::Failure,
          "bad file not reported exactly once");
    Check(out.sink.messages[0] == std::string(kBadFileMessage) + kPath, "wrong message for a bad file");
}

// How many inputs of each kind were tried, shown when the run ends.
struct Tally {
    unsigned long long rewritten = 0;
    unsigned long long bad = 0;
    ~Tally() {
        if (rewritten + bad)
            std::fprintf(stderr, "inputs tried: %llu rewritten, %llu judged bad\n", rewritten, bad);
    }
} tally;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string before(reinterpret_cast<const char*>(data), size);
    const Model model = ModelOf(before);

    // Whole reads, then reads of a few bytes at a time (every buffer boundary
    // falls somewhere else): both must see the same file.
    Outcome whole;
    Sort(before, size + 1, whole);
    Outcome chunked;
    Sort(before, 1 + (size * 7 + (size ? data[0] : 0)) % 5, chunked);
    Check(whole.ok == chunked.ok && whole.after == chunked.after, "result depends on read sizes");

    // For one input in some 500, the input repeated to some 20 KB as well: the
    // sorter's line storage then grows through several blocks, and a file
    // without line breaks makes one line of that size.
    unsigned pick = static_cast<unsigned>(size);
    // Every byte counts, or the mutations of one picked input would all be
    // picked too.
    for (size_t i = 0; i < size; ++i) pick = (pick * 16777619u) ^ data[i];
    if (size > 0 && pick % 512 == 0) {
        std::string big;
        while (big.size() < 20000) big += before;
        const Model bigModel = ModelOf(big);
        Outcome large;
        Sort(big, 1 + size % 4096, large);
        if (bigModel.bad)
            CheckUntouched(big, large);
        else
            CheckRewritten(bigModel, large);
    }

    // The diagnostics find a fault exactly in the files the sorter calls
    // bad, and the sorter on bytes writes what it writes to a file.
    const FaultList faults = LocateFaults(before, 1);
    Check((faults.total > 0) == model.bad, "diagnostics disagree with the sorter on a bad file");
    Check(faults.faults.empty() || (faults.faults[0].line > 0 && faults.faults[0].column > 0), "fault not located");
    std::string normal;
    const NormalFormResult form = NormalFormOf(before, normal);
    Check((form == NormalFormResult::Bad) == model.bad && (model.bad || normal == whole.after),
          "the normal form of bytes differs from the rewrite");

    if (model.bad) {
        CheckUntouched(before, whole);
        Outcome check;
        Sort(before, size + 1, check, SortMode::Check);
        Check(check.ok && check.replacementsCreated == 0 && check.sink.messages == whole.sink.messages,
              "check of a bad file differs from the run's, or stops the walk");
        ++tally.bad;
        return 0;
    }
    CheckRewritten(model, whole);

    // Checking writes nothing and finds what the rewrite found; changed-only
    // leaves a file in normal form alone and rewrites any other.
    const bool changed = whole.after != before;
    Outcome check;
    Sort(before, size + 1, check, SortMode::Check);
    Check(check.ok && check.sink.messages.empty(), "check of a good file failed");
    Check(check.after == before && check.replacementsCreated == 0 && check.attributeChanges == 0,
          "check touched the file");
    Check(check.sink.done == std::vector<bool>{changed}, "check disagrees with the rewrite");
    // Told apart by their line breaks alone: the same text once every CR LF
    // is a LF and the last line has one.
    auto lf = [](std::string text) {
        for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; ++at) text.erase(at, 1);
        return text.empty() || text.back() == '\n' ? text : text + '\n';
    };
    Check(!check.sink.lineEnds || (changed && lf(before) == lf(whole.after)), "line ends said to differ alone");
    Outcome changedOnly;
    Sort(before, 1 + size % 3, changedOnly, SortMode::ChangedOnly);
    Check(changedOnly.ok && changedOnly.after == whole.after, "changed-only result differs");
    Check(changedOnly.sink.done == std::vector<bool>{changed}, "changed-only disagrees with the rewrite");
    Check(changed || (changedOnly.replacementsCreated == 0 && changedOnly.attributeChanges == 0),
          "changed-only touched a file in normal form");

    // A second pass finds nothing to change.
    Outcome again;
    Sort(whole.after, whole.after.size() + 1, again);
    Check(again.ok, "rewritten file judged bad");
    Check(again.after == whole.after, "second pass changed the file");
    ++tally.rewritten;
    return 0;
}
