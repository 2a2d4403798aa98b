#include "RecordSorter.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "../platform/CFileFind.h"
#include "../platform/CStdioFile.h"

const char kCompleteMessage[] = "Complete!";
const char kCannotOpenMessage[] = "Cannot open file:\r\n";
const char kBadFileMessage[] = "Error detected within file:\r\n";
const char kCannotWriteMessage[] = "Cannot write file:\r\n";

namespace {
const char kRecordSuffix[] = ".dbr";
const char kTemplateKey[] = "templateName,";
const size_t kTemplateKeyLength = 13;

const char kDirectorySuffix[] = {kPathSeparator, '*', '.', '*', '\0'};

// The first count bytes of line equal key, ASCII letters compared without
// regard to case.
bool StartsWithNoCase(std::string_view line, const char* key, size_t count) {
    if (line.size() < count) return false;
    for (size_t i = 0; i < count; ++i) {
        unsigned char a = static_cast<unsigned char>(line[i]);
        unsigned char b = static_cast<unsigned char>(key[i]);
        if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

// Keeps copies of lines in blocks that grow with the file, so that a file of
// many short lines costs a few allocations, not one per line. Each entry is
// the line's length (7 bits a byte, low bits first) followed by its bytes;
// entries stay where they are as long as the store, which can walk them in
// the order they were added (so it needs no list of its own beside it).
class LineStore {
public:
    const char* Add(std::string_view line) {
        size_t need = line.size() + kMaxLengthBytes;
        if (m_room < need) {
            m_nextBlock = std::min(m_nextBlock * 2, kMaxBlock);
            size_t size = std::max(m_nextBlock, need);
            m_blocks.push_back(Block{std::unique_ptr<char[]>(new char[size]), 0});
            m_free = m_blocks.back().data.get();
            m_room = size;
        }
        char* entry = m_free;
        char* at = entry;
        size_t n = line.size();
        for (; n >= 0x80; n >>= 7) *at++ = static_cast<char>((n & 0x7F) | 0x80);
        *at++ = static_cast<char>(n);
        if (!line.empty()) std::memcpy(at, line.data(), line.size());
        at += line.size();
        m_room -= static_cast<size_t>(at - m_free);
        m_blocks.back().used += static_cast<size_t>(at - m_free);
        m_free = at;
        ++m_count;
        return entry;
    }

    size_t Count() const { return m_count; }

    // Calls visit(entry) for every entry, oldest first.
    template <class Visit>
    void ForEach(Visit visit) const {
        for (const Block& block : m_blocks) {
            const char* at = block.data.get();
            const char* end = at + block.used;
            while (at < end) {
                visit(at);
                std::string_view line = View(at);
                at = line.data() + line.size();
            }
        }
    }

    static std::string_view View(const char* entry) {
        size_t n = 0;
        unsigned shift = 0;
        unsigned char byte;
        do {
            byte = static_cast<unsigned char>(*entry++);
            n |= static_cast<size_t>(byte & 0x7F) << shift;
            shift += 7;
        } while (byte & 0x80);
        return std::string_view(entry, n);
    }

private:
    static constexpr size_t kMaxLengthBytes = (sizeof(size_t) * 8 + 6) / 7;
    static constexpr size_t kMaxBlock = 4 * 1024 * 1024;
    struct Block {
        std::unique_ptr<char[]> data;
        size_t used;
    };
    std::vector<Block> m_blocks;
    size_t m_count = 0;
    size_t m_nextBlock = 8 * 1024;
    char* m_free = nullptr;
    size_t m_room = 0;
};

// A record line as the sort sees it: where the store keeps it, and its first
// sixteen bytes as two numbers (the missing ones of a shorter line as zero).
// Where such numbers differ they order the lines as CompareLines does; only
// where both are equal must the lines themselves be compared. Keys share
// their first eight bytes often enough (a common word at the start) that
// eight alone would leave many comparisons to the store, each a cache miss.
struct SortKey {
    uint64_t head[2];
    const char* entry;
};

// Bytes 8 * part .. 8 * part + 7 of line as a big-endian number, missing
// bytes as zero.
uint64_t HeadPart(std::string_view line, size_t part) {
    uint64_t value = 0;
    for (size_t i = 8 * part; i < 8 * part + 8; ++i)
        value = (value << 8) | (i < line.size() ? static_cast<unsigned char>(line[i]) : 0u);
    return value;
}

SortKey MakeSortKey(const char* entry) {
    std::string_view line = LineStore::View(entry);
    return SortKey{{HeadPart(line, 0), HeadPart(line, 1)}, entry};
}

// A type rather than a function, so that the sort can inline it.
struct SortsBefore {
    bool operator()(const SortKey& a, const SortKey& b) const {
        if (a.head[0] != b.head[0]) return a.head[0] < b.head[0];
        if (a.head[1] != b.head[1]) return a.head[1] < b.head[1];
        std::string_view x = LineStore::View(a.entry);
        std::string_view y = LineStore::View(b.entry);
        return CRecordSorter::CompareLines(x.data(), x.size(), y.data(), y.size()) < 0;
    }
};
}  // namespace

void CRecordSorter::Run(const CString& entry) {
    m_walkPath.clear();
    WalkPattern(entry);
    m_sink.ShowMessage(kCompleteMessage, MessageKind::Complete);
}

BOOL CRecordSorter::WalkPattern(CString pattern) {
    CFileFind finder(m_fs);
    if (!finder.FindFile(pattern)) {
        finder.Close();
        return TRUE;
    }
    BOOL more;
    do {
        more = finder.FindNextFile();
        if (finder.IsDots()) continue;
        CString path = finder.GetFilePath();
        if (finder.MatchesMask(FILE_ATTRIBUTE_DIRECTORY)) {
            if (!WalkDirectory(path)) return FALSE;
        } else {
            CString suffix = path.Right(4);
            suffix.MakeLower();
            if (suffix == kRecordSuffix && !SortRecordFile(path)) return FALSE;
        }
    } while (more);
    finder.Close();
    return TRUE;
}

BOOL CRecordSorter::WalkDirectory(const CString& path) {
    DirectoryId id;
    if (!m_fs.GetDirectoryId(path, id)) return WalkPattern(path + kDirectorySuffix);
    // A link back to a directory that the walk is already inside of would
    // lead round in circles: it is passed over.
    if (std::find(m_walkPath.begin(), m_walkPath.end(), id) != m_walkPath.end()) return TRUE;
    // Leaves the walk path as it found it, also when an I/O error throws
    // out of the walk below.
    m_walkPath.push_back(id);
    struct Inside {
        std::vector<DirectoryId>& path;
        ~Inside() { path.pop_back(); }
    } inside{m_walkPath};
    return WalkPattern(path + kDirectorySuffix);
}

void CRecordSorter::Report(const char* words, const CString& path) {
    m_sink.ShowMessage(CString(words) + path, MessageKind::Failure);
}

int CRecordSorter::CompareLines(const char* a, size_t aLength, const char* b, size_t bLength) {
    size_t n = aLength < bLength ? aLength : bLength;
    int r = n ? std::memcmp(a, b, n) : 0;
    if (r != 0) return r < 0 ? -1 : 1;
    if (aLength == bLength) return 0;
    return aLength < bLength ? -1 : 1;
}

int CRecordSorter::CompareLines(const void* a, const void* b) {
    const std::string& x = static_cast<const CString*>(a)->str();
    const std::string& y = static_cast<const CString*>(b)->str();
    return CompareLines(x.data(), x.size(), y.data(), y.size());
}

BOOL CRecordSorter::SortRecordFile(CString path) {
    CStdioFile file(m_fs);
    if (!file.Open(path, CFile::modeRead | CFile::typeText)) {
        Report(kCannotOpenMessage, path);
        return FALSE;
    }
    // A UTF-8 byte-order mark belongs to the file, not to its first line: it
    // is written back at the start.
    BOOL byteOrderMark = file.SkipByteOrderMark();

    // The record lines are copied out of the read buffer into a few large
    // blocks rather than one allocation each, which the store keeps in order.
    LineStore store;
    CString templateLine;
    std::string_view line;
    while (file.ReadLine(line)) {
        if (line.empty()) continue;
        size_t comma = line.find(',');
        if (comma == std::string_view::npos || comma == 0 || comma == line.size() - 1) {
            file.Close();
            Report(kBadFileMessage, path);
            return FALSE;
        }
        if (line[comma + 1] == ',') continue;
        if (StartsWithNoCase(line, kTemplateKey, kTemplateKeyLength))
            templateLine.str().assign(line.data(), line.size());
        else
            store.Add(line);
    }
    // Text after a Ctrl-Z would be lost by a rewrite: such a file is bad.
    if (file.HasDataAfterEndMark()) {
        file.Close();
        Report(kBadFileMessage, path);
        return FALSE;
    }
    file.Close();

    // The array of exactly as many elements as there are record lines.
    std::vector<SortKey> sorted;
    sorted.reserve(store.Count());
    store.ForEach([&sorted](const char* entry) { sorted.push_back(MakeSortKey(entry)); });
    std::sort(sorted.begin(), sorted.end(), SortsBefore());

    m_fs.SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);

    if (!file.Open(path, CFile::modeCreate | CFile::modeWrite | CFile::typeText)) {
        Report(kCannotWriteMessage, path);
        return FALSE;
    }
    // A record line that begins with the mark's bytes and is written first
    // would be taken for a mark on the next read and lose them (and its
    // place): the file then starts with a mark of its own.
    if (templateLine.IsEmpty() && !sorted.empty() &&
        LineStore::View(sorted.front().entry).substr(0, 3) == "\xEF\xBB\xBF")
        byteOrderMark = TRUE;
    if (byteOrderMark) file.WriteString("\xEF\xBB\xBF");
    if (!templateLine.IsEmpty()) {
        file.WriteLine(templateLine.str());
    }
    // In sorted order the lines lie all over the store: ask for each one a
    // few lines ahead, so that it is in the cache by the time it is written.
    const size_t kAhead = 8;
    for (size_t i = 0; i < sorted.size(); ++i) {
        if (i + kAhead < sorted.size()) __builtin_prefetch(sorted[i + kAhead].entry);
        file.WriteLine(LineStore::View(sorted[i].entry));
    }
    if (!file.Commit()) {
        Report(kCannotWriteMessage, path);
        return FALSE;
    }
    return TRUE;
}
