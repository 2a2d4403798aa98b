#include "RecordSorter.h"

#include <algorithm>
#include <cstring>

#include "../platform/CFileFind.h"
#include "../platform/CStdioFile.h"
#include "../platform/CStringList.h"

const char kCompleteMessage[] = "Complete!";
const char kCannotOpenMessage[] = "Cannot open file:\r\n";
const char kBadFileMessage[] = "Error detected within file:\r\n";
const char kCannotWriteMessage[] = "Cannot write file:\r\n";

namespace {
const char kRecordSuffix[] = ".dbr";
const char kTemplateKey[] = "templateName,";
const int kTemplateKeyLength = 13;

const char kDirectorySuffix[] = {kPathSeparator, '*', '.', '*', '\0'};

// The first count bytes of line equal key, ASCII letters compared without
// regard to case.
bool StartsWithNoCase(const CString& line, const char* key, int count) {
    if (line.GetLength() < count) return false;
    for (int i = 0; i < count; ++i) {
        unsigned char a = static_cast<unsigned char>(line[i]);
        unsigned char b = static_cast<unsigned char>(key[i]);
        if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}
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
    bool known = m_fs.GetDirectoryId(path, id);
    if (known) {
        // A link back to a directory that the walk is already inside of
        // would lead round in circles: it is passed over.
        if (std::find(m_walkPath.begin(), m_walkPath.end(), id) != m_walkPath.end()) return TRUE;
        m_walkPath.push_back(id);
    }
    BOOL go = WalkPattern(path + kDirectorySuffix);
    if (known) m_walkPath.pop_back();
    return go;
}

void CRecordSorter::Report(const char* words, const CString& path) {
    m_sink.ShowMessage(CString(words) + path, MessageKind::Failure);
}

int CRecordSorter::CompareLines(const void* a, const void* b) {
    const std::string& x = static_cast<const CString*>(a)->str();
    const std::string& y = static_cast<const CString*>(b)->str();
    size_t n = x.size() < y.size() ? x.size() : y.size();
    int r = n ? std::memcmp(x.data(), y.data(), n) : 0;
    if (r != 0) return r < 0 ? -1 : 1;
    if (x.size() == y.size()) return 0;
    return x.size() < y.size() ? -1 : 1;
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

    CString line;
    CString templateLine;
    CStringList records;
    while (file.ReadString(line)) {
        if (line.IsEmpty()) continue;
        int comma = line.Find(',');
        if (comma < 1 || comma == line.GetLength() - 1) {
            file.Close();
            Report(kBadFileMessage, path);
            return FALSE;
        }
        if (line[comma + 1] == ',') continue;
        if (StartsWithNoCase(line, kTemplateKey, kTemplateKeyLength))
            templateLine = std::move(line);
        else
            records.AddHead(std::move(line));
    }
    // Text after a Ctrl-Z would be lost by a rewrite: such a file is bad.
    if (file.HasDataAfterEndMark()) {
        file.Close();
        Report(kBadFileMessage, path);
        return FALSE;
    }
    file.Close();

    std::vector<CString> sorted;
    sorted.reserve(static_cast<size_t>(records.GetCount()));
    for (POSITION pos = records.GetHeadPosition(); pos;) sorted.push_back(std::move(records.GetNext(pos)));
    records.RemoveAll();
    // CString cannot be moved bytewise as qsort would; std::sort with the
    // same comparison gives the same order.
    std::sort(sorted.begin(), sorted.end(),
              [](const CString& x, const CString& y) { return CompareLines(&x, &y) < 0; });

    m_fs.SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);

    if (!file.Open(path, CFile::modeCreate | CFile::modeWrite | CFile::typeText)) {
        Report(kCannotWriteMessage, path);
        return FALSE;
    }
    // A record line that begins with the mark's bytes and is written first
    // would be taken for a mark on the next read and lose them (and its
    // place): the file then starts with a mark of its own.
    if (templateLine.IsEmpty() && !sorted.empty() && sorted.front().Left(3) == "\xEF\xBB\xBF")
        byteOrderMark = TRUE;
    if (byteOrderMark) file.WriteString("\xEF\xBB\xBF");
    if (!templateLine.IsEmpty()) {
        file.WriteString(templateLine);
        file.WriteString("\n");
    }
    for (const CString& record : sorted) {
        file.WriteString(record);
        file.WriteString("\n");
    }
    if (!file.Commit()) {
        Report(kCannotWriteMessage, path);
        return FALSE;
    }
    return TRUE;
}
