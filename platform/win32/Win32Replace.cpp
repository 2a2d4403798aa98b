// The replace of one file by another, and the removal of a file.
#include <cwchar>

#include "LongPath.h"
#include "WideText.h"
#include "Win32Files.h"

namespace win32 {
namespace {

// Whether the file open as h has named streams besides its content; false
// where the system cannot tell.
bool NamedStreams(HANDLE h, bool& named, DWORD& code) {
    // Room for the content's own entry and a few more: a list that does not
    // fit holds named streams.
    alignas(8) char buffer[1024];
    named = false;
    if (!SystemCalls().GetFileInformationByHandleEx(h, FileStreamInfo, buffer, sizeof buffer)) {
        code = GetLastError();
        named = code == ERROR_MORE_DATA || code == ERROR_INSUFFICIENT_BUFFER;
        // File systems without streams (FAT, many shares, Wine) list none.
        return named || code == ERROR_INVALID_PARAMETER || code == ERROR_INVALID_FUNCTION ||
               code == ERROR_NOT_SUPPORTED || code == ERROR_HANDLE_EOF;
    }
    static const wchar_t kContent[] = L"::$DATA";
    for (size_t at = 0;;) {
        const auto* entry = reinterpret_cast<const FILE_STREAM_INFO*>(buffer + at);
        if (entry->StreamNameLength != sizeof kContent - sizeof(wchar_t) ||
            std::wmemcmp(entry->StreamName, kContent, entry->StreamNameLength / sizeof(wchar_t)) != 0) {
            named = true;
            return true;
        }
        if (entry->NextEntryOffset == 0 || at + entry->NextEntryOffset >= sizeof buffer) return true;
        at += entry->NextEntryOffset;
    }
}

// Moves the closed file from over to; 0 or the system's error.
DWORD Move(const std::wstring& from, const std::wstring& to) {
    // A move would bring back a file that has gone since it was read, or
    // put one in place of a directory: ReplaceFile fails there, and so does
    // this.
    DWORD attributes = SystemCalls().GetFileAttributesW(to.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_ACCESS_DENIED;
    return SystemCalls().MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : GetLastError();
}

// The move, where ReplaceFile could not replace: only where the old file
// has no named streams, which the move would lose.
DWORD MoveWithoutStreams(const std::wstring& from, const std::wstring& to) {
    FileHandle h(SystemCalls().CreateFileW(to.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    if (!h.Valid()) return GetLastError();
    bool named = false;
    DWORD code = 0;
    if (!NamedStreams(h.Get(), named, code)) return code;
    h.Close();
    return named ? ERROR_NOT_SUPPORTED : Move(from, to);
}

// Where ReplaceFile puts the old file on its way out, to be removed once the
// new one is in: the new file's name with its last character changed, a name
// as much this run's own as that one.
std::wstring AsideName(const std::wstring& temp) {
    std::wstring aside = temp;
    aside.back() = aside.back() == L'~' ? L'-' : L'~';
    return aside;
}

// Removes the old file, which a replace put aside; where that fails (a
// scanner holds it), error names it.
void RemoveAside(const std::wstring& aside, FileError& error) {
    if (SystemCalls().DeleteFileW(aside.c_str())) return;
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return;  // gone already
    error = ErrorFrom(code);
    std::string left;
    ToNarrow(ShortForm(aside), left);
    error.oldCopy = CString(std::move(left));
}

// ReplaceFile failed after taking the old file from its name: removed it
// (1176) or moved it aside (1177), without moving the new one in. The name is
// empty, and the new file holds the only complete copy of the content.
bool EndReplace(const std::wstring& from, const std::wstring& to, const std::wstring& aside, FileError& error) {
    // The name may hold a file after all (given a backup name, 1176 leaves
    // both files under their own): then the ordinary way, as for any failure.
    const bool holds = SystemCalls().GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES;
    DWORD code = holds ? Move(from, to) : GetLastError();
    const bool empty = !holds && NothingThere(code);
    if (empty) code = SystemCalls().MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) ? 0 : GetLastError();
    if (code == 0) {
        RemoveAside(aside, error);
        return true;
    }
    error = ErrorFrom(code);
    // The old file back under its name makes the failure an ordinary one:
    // the file as it was, and the new one not needed. Otherwise the new file
    // is all there is of the content.
    if (!holds) error.keepNew = !(empty && SystemCalls().MoveFileExW(aside.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH));
    return false;
}

}  // namespace

bool Replace(const std::wstring& from, const std::wstring& to, FileError& error) {
    // ReplaceFile keeps what belongs to the file rather than to its content:
    // ACL, creation time, streams. Where it cannot (some file systems) or is
    // not to be used, the move does the replace. The
    // old file goes aside under a name of ours, so that it is known where it
    // is should ReplaceFile fail half way.
    DWORD code = 0;
    auto replaceFile = SystemCalls().ReplaceFileW;
    if (!replaceFile) {
        code = Move(from, to);
    } else {
        // Not told to ignore what it cannot merge of the old file's ACL: it
        // fails rather than leave the new file without it.
        const std::wstring aside = AsideName(from);
        if (replaceFile(to.c_str(), from.c_str(), aside.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
            RemoveAside(aside, error);
            return true;
        }
        code = GetLastError();
        if (code == ERROR_UNABLE_TO_MOVE_REPLACEMENT || code == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
            return EndReplace(from, to, aside, error);
        // ReplaceFile needs the right to write the file; the move only that
        // to delete it. A file that may not be written stays as it is.
        if (code != ERROR_ACCESS_DENIED && !NothingThere(code)) code = MoveWithoutStreams(from, to);
    }
    if (code == 0) return true;
    error = ErrorFrom(code);
    return false;
}

bool Remove(const std::wstring& wide, FileError& error) {
    if (SystemCalls().DeleteFileW(wide.c_str())) return true;
    error = ErrorFrom(GetLastError());
    return false;
}

}  // namespace win32
