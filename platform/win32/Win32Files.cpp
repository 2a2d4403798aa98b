// Files as they are: open and read, identify, mark. Every fact about a file
// comes from a handle on it, taken when the call is made, and goes back to
// the caller; nothing is kept between calls.
#include <cstring>

#include "LongPath.h"
#include "WideText.h"
#include "Win32Files.h"

namespace win32 {
namespace {

// FILE_ID_INFO and its class, which the headers show only to builds for
// Windows 8 and later; Windows 7 answers ERROR_INVALID_PARAMETER.
struct FileIdInformation {
    ULONGLONG VolumeSerialNumber;
    BYTE FileId[16];
};
const FILE_INFO_BY_HANDLE_CLASS kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

int64_t FileTime(const FILETIME& t) {
    return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

// The path that an open handle reaches, links followed, in the plain form;
// empty where the system cannot tell.
CString FinalPath(HANDLE h) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = SystemCalls().GetFinalPathNameByHandleW(h, &path[0], static_cast<DWORD>(path.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return CString();
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(n);
    }
    // A target that the code page cannot hold keeps its "?": nothing is
    // then written in its place.
    std::string narrow;
    ToNarrow(ShortForm(path), narrow);
    return CString(std::move(narrow));
}

class Win32InputFile : public InputFile {
public:
    Win32InputFile(HANDLE h, FileFacts facts) : m_handle(h), m_facts(std::move(facts)) {}

    bool Read(void* buffer, size_t size, size_t& got, FileError& error) override {
        if (m_atEnd) {
            got = 0;
            return true;
        }
        DWORD n = 0;
        DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        if (!SystemCalls().ReadFile(m_handle.Get(), buffer, want, &n, nullptr)) {
            error = ErrorFrom(GetLastError());
            return false;
        }
        got = n;
        m_read += n;
        // A disk file gives less than asked only at its end; with the size
        // that the open saw reached as well, there is no need to ask once
        // more for nothing.
        if (n < want && m_read == m_facts.size) m_atEnd = true;
        return true;
    }

    const FileFacts& Facts() const override { return m_facts; }
    HANDLE Handle() const { return m_handle.Get(); }

private:
    FileHandle m_handle;
    FileFacts m_facts;
    uint64_t m_read = 0;
    bool m_atEnd = false;
};

}  // namespace

// What the handle says of its file: attributes, size, last write and the
// identity (the 128-bit id where the system and the file system give one,
// else the 64-bit index; none where that is 0, as on some network shares)
// and its number of names.
bool FactsOf(HANDLE h, FileFacts& facts, DWORD& code) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!SystemCalls().GetFileInformationByHandle(h, &info)) {
        code = GetLastError();
        return false;
    }
    facts.attributes = info.dwFileAttributes;
    facts.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    facts.lastWrite = FileTime(info.ftLastWriteTime);
    facts.links = info.nNumberOfLinks;
    FileIdInformation id = {};
    uint64_t high = 0, low = 0;
    if (SystemCalls().GetFileInformationByHandleEx(h, kFileIdInfo, &id, sizeof id)) {
        std::memcpy(&low, id.FileId, 8);
        std::memcpy(&high, id.FileId + 8, 8);
    }
    if (high != 0 || low != 0) {
        facts.id.volume = id.VolumeSerialNumber;
    } else {
        facts.id.volume = info.dwVolumeSerialNumber;
        low = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
    facts.id.high = high;
    facts.id.low = low;
    facts.id.known = high != 0 || low != 0;
    return true;
}

HANDLE HandleOf(const InputFile& file) { return static_cast<const Win32InputFile&>(file).Handle(); }

std::unique_ptr<InputFile> OpenRead(const CString& name, const std::wstring& wide, FileError& error) {
    // The file that new content is to go into: the link's target for a link.
    // Windows marks a link: the name is opened as it is, and only a link is
    // opened once more through it and asked where it leads. Wine does not
    // mark a host link to a file, so there every file is asked.
    const bool wine = RunsOnWine();
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN;
    FileHandle h;
    FileFacts facts;
    bool throughLink = false;
    for (int pass = 0; pass < 2; ++pass) {
        DWORD asIs = pass == 0 && !wine ? FILE_FLAG_OPEN_REPARSE_POINT : 0;
        h.Reset(SystemCalls().CreateFileW(wide.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, flags | asIs, nullptr));
        DWORD code = 0;
        if (!h.Valid()) {
            code = GetLastError();
        } else if (SystemCalls().GetFileType(h.Get()) != FILE_TYPE_DISK) {
            code = ERROR_ACCESS_DENIED;
        } else if (FactsOf(h.Get(), facts, code)) {
            if (!asIs || !(facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT)) break;
            throughLink = true;
            continue;
        }
        error = ErrorFrom(code);
        return nullptr;
    }
    if (throughLink || wine) facts.target = FinalPath(h.Get());
    if (facts.target.IsEmpty()) facts.target = name;
    auto file = std::make_unique<Win32InputFile>(h.Get(), std::move(facts));
    h.Release();
    return file;
}

bool Identify(const std::wstring& wide, FileFacts& facts, FileError& error) {
    // Attributes only: no sharing mode stands in the way (not even that of
    // the program's own read), and directories open too.
    FileHandle h(SystemCalls().CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    DWORD code = 0;
    if (!h.Valid()) {
        code = GetLastError();
    } else {
        facts = FileFacts();
        if (FactsOf(h.Get(), facts, code)) return true;
    }
    error = ErrorFrom(code);
    return false;
}

bool SetAttributes(const std::wstring& wide, DWORD attributes, FileFacts& facts, FileError& error) {
    // Nothing to clear where the facts show nothing to clear. (Wine shows
    // every file as one to archive and keeps no such mark, so there that bit
    // tells nothing.)
    const DWORD marks = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                        (RunsOnWine() ? 0 : FILE_ATTRIBUTE_ARCHIVE);
    if (attributes == FILE_ATTRIBUTE_NORMAL && !(facts.attributes & marks)) return true;
    if (!SystemCalls().SetFileAttributesW(wide.c_str(), attributes)) {
        error = ErrorFrom(GetLastError());
        return false;
    }
    // What the call sets; the rest (directory, link, compression) stays.
    const DWORD settable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                           FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY |
                           FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    DWORD now = (facts.attributes & ~settable) | (attributes & settable);
    if (now != FILE_ATTRIBUTE_NORMAL) now &= ~FILE_ATTRIBUTE_NORMAL;
    facts.attributes = now ? now : FILE_ATTRIBUTE_NORMAL;
    return true;
}

}  // namespace win32
