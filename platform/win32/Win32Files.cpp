// Files as they are: open and read, identify, mark. Every fact about a file
// comes from a handle on it, taken when the call is made, and goes back to
// the caller; nothing is kept between calls.
#include <cstddef>
#include <cstring>
#include <vector>

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

// FILE_ALL_INFORMATION (class 18 of NtQueryInformationFile) up to the file
// name that ends it: the basic, standard, internal and other facts of a file
// in one query.
struct AllInformation {
    LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime;
    ULONG attributes;
    LARGE_INTEGER allocationSize, endOfFile;
    ULONG numberOfLinks;
    BOOLEAN deletePending, directory;
    LARGE_INTEGER indexNumber;
    ULONG eaSize, accessFlags;
    LARGE_INTEGER currentByteOffset;
    ULONG mode, alignmentRequirement;
    ULONG fileNameLength;  // in bytes; the name (from the volume's root) follows
};
static_assert(offsetof(AllInformation, attributes) == 32 && offsetof(AllInformation, numberOfLinks) == 56 &&
                  offsetof(AllInformation, indexNumber) == 64 && sizeof(AllInformation) == 104,
              "FILE_ALL_INFORMATION's layout");
constexpr size_t kNameOffset = 100;
constexpr ULONG kFileAllInformation = 18;
constexpr LONG kBufferOverflow = static_cast<LONG>(0x80000005);  // the name did not fit

// FILE_FS_DEVICE_INFORMATION (class 4 of NtQueryVolumeInformationFile).
struct DeviceInformation {
    ULONG deviceType;
    ULONG characteristics;
};
constexpr ULONG kFileFsDeviceInformation = 4;
constexpr ULONG kRemoteDevice = 0x10;  // FILE_REMOTE_DEVICE

// An NTSTATUS as the system's error code.
DWORD CodeOf(LONG status) {
    using ToDosError = ULONG(WINAPI*)(LONG);
    static const auto toDos = reinterpret_cast<ToDosError>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlNtStatusToDosError")));
    DWORD code = toDos ? toDos(status) : ERROR_INVALID_FUNCTION;
    return code ? code : ERROR_INVALID_FUNCTION;
}

// The file system's facts of the file open as h, with the rest of the buffer
// given to its name; false with the system's code.
bool QueryAll(HANDLE h, std::vector<char>& buffer, DWORD& code) {
    ULONG_PTR status[2] = {};
    LONG result = SystemCalls().NtQueryInformationFile(h, status, buffer.data(), static_cast<ULONG>(buffer.size()),
                                                       kFileAllInformation);
    if (result >= 0 || result == kBufferOverflow) return true;
    code = CodeOf(result);
    return false;
}

// What the device of the file open as h is: a disk (a local or a network
// one), and which.
bool DeviceOf(HANDLE h, bool& disk, bool& remote, DWORD& code) {
    DeviceInformation device = {};
    ULONG_PTR status[2] = {};
    LONG result = SystemCalls().NtQueryVolumeInformationFile(h, status, &device, sizeof device,
                                                             kFileFsDeviceInformation);
    if (result < 0) {
        code = CodeOf(result);
        return false;
    }
    switch (device.deviceType) {
    case 0x02: case 0x03: case 0x06: case 0x07: case 0x08: case 0x24:  // CD, DFS, disk, virtual disk
        disk = true;
        remote = (device.characteristics & kRemoteDevice) != 0;
        break;
    case 0x14: case 0x35: case 0x36:  // network and DFS file systems
        disk = true;
        remote = true;
        break;
    default:
        disk = false;
    }
    return true;
}

// Whether the name that a query gave (from the volume's root) is that of
// the path opened, wide, which then led to the file without a link.
bool OpenedDirectly(const std::wstring& wide, const std::vector<char>& all) {
    const auto* info = reinterpret_cast<const AllInformation*>(all.data());
    size_t length = info->fileNameLength / sizeof(wchar_t);
    if (kNameOffset + info->fileNameLength > all.size()) return false;
    size_t from;
    if (wide.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        from = 7;  // \server\share\dir\name
    else if (wide.compare(0, 4, L"\\\\?\\") == 0 && wide.size() > 6 && wide[5] == L':')
        from = 6;  // \dir\name
    else
        return false;
    const auto* name = reinterpret_cast<const wchar_t*>(all.data() + kNameOffset);
    return wide.size() - from == length &&
           CompareStringOrdinal(wide.c_str() + from, static_cast<int>(length), name, static_cast<int>(length), TRUE) ==
               CSTR_EQUAL;
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

// What the handle says of its file: attributes, size, last write, change
// time and its number of names from one query (all, whose buffer the caller
// may give room for the name), and the identity (the 128-bit id where the
// system and the file system give one, else the 64-bit index; none where
// that is 0, as on some network shares).
bool FactsOf(HANDLE h, FileFacts& facts, DWORD& code, std::vector<char>* all) {
    std::vector<char> own;
    if (!all) {
        own.resize(sizeof(AllInformation) + 64);
        all = &own;
    }
    if (!QueryAll(h, *all, code)) return false;
    const auto* info = reinterpret_cast<const AllInformation*>(all->data());
    facts.attributes = info->attributes;
    facts.size = static_cast<uint64_t>(info->endOfFile.QuadPart);
    facts.lastWrite = info->lastWriteTime.QuadPart;
    facts.changeTime = info->changeTime.QuadPart;
    facts.links = info->numberOfLinks;
    // Wine asks its mount manager for the volume of each FILE_ID_INFO (a
    // cost that would double a run): there a file is known by its index
    // alone, which two names of one file share. A directory keeps its
    // volume, which tells the roots of two volumes apart.
    if (RunsOnWine() && !info->directory) {
        facts.id = FileId();
        facts.id.low = static_cast<uint64_t>(info->indexNumber.QuadPart);
        facts.id.known = facts.id.low != 0;
        return true;
    }
    FileIdInformation id = {};
    uint64_t high = 0, low = 0;
    const bool hasId = SystemCalls().GetFileInformationByHandleEx(h, kFileIdInfo, &id, sizeof id) != 0;
    if (hasId) {
        std::memcpy(&low, id.FileId, 8);
        std::memcpy(&high, id.FileId + 8, 8);
    }
    if (high == 0 && low == 0) low = static_cast<uint64_t>(info->indexNumber.QuadPart);
    facts.id.volume = id.VolumeSerialNumber;
    if (!hasId) {
        // Windows 7: the volume's serial number as the older call gives it.
        BY_HANDLE_FILE_INFORMATION older;
        if (!SystemCalls().GetFileInformationByHandle(h, &older)) {
            code = GetLastError();
            return false;
        }
        facts.id.volume = older.dwVolumeSerialNumber;
        low = (static_cast<uint64_t>(older.nFileIndexHigh) << 32) | older.nFileIndexLow;
    }
    facts.id.high = high;
    facts.id.low = low;
    facts.id.known = high != 0 || low != 0;
    return true;
}

HANDLE HandleOf(const InputFile& file) { return static_cast<const Win32InputFile&>(file).Handle(); }

std::unique_ptr<InputFile> OpenRead(const CString& name, const std::wstring& wide, FileError& error) {
    // Opened once, links followed, and not as a reparse point: a file that
    // is one without being a link (deduplicated, or stored offline) is read
    // through the file system as any other. The name that the open reached
    // tells whether a link stood on the way; only then is the whole path
    // that it reached asked for: the file that new content is to go into.
    FileHandle h(SystemCalls().CreateFileW(wide.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    FileFacts facts;
    std::vector<char> all(sizeof(AllInformation) + (wide.size() + 1) * sizeof(wchar_t));
    bool disk = false, remote = false;
    DWORD code = 0;
    if (!h.Valid()) {
        code = GetLastError();
    } else if (DeviceOf(h.Get(), disk, remote, code) && !disk) {
        code = ERROR_ACCESS_DENIED;
    } else if (code == 0 && FactsOf(h.Get(), facts, code, &all)) {
        const bool direct = OpenedDirectly(wide, all);
        if (!direct) facts.target = FinalPath(h.Get());
        if (facts.target.IsEmpty()) facts.target = name;
        // Sharing nothing, the open keeps every other program from the file
        // and from its name; not so a link on the way, nor another machine.
        facts.nameHeld = direct && !remote;
        auto file = std::make_unique<Win32InputFile>(h.Get(), std::move(facts));
        h.Release();
        return file;
    }
    error = ErrorFrom(code);
    return nullptr;
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
    // Nothing to clear where the facts show nothing to clear.
    // The archive mark alone is not cleared: the new file, or the file
    // written in place, is marked for archiving all the same.
    const DWORD marks = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
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
    // The change moved the change time, which is not taken again: the looks
    // that follow do without it rather than take this change for another
    // program's.
    facts.changeTime = 0;
    return true;
}

}  // namespace win32
