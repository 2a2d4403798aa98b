#include "Replacement.h"

#include <atomic>
#include <string>

#include "Interrupts.h"
#include "PathMatch.h"

namespace {

// The temporary file's name: beside the target, hidden where a leading dot
// hides, and no longer than the system allows for a name and a path.
CString TemporaryPath(const CString& target, unsigned long pid, unsigned number) {
    const std::string& path = target.str();
    size_t cut = path.rfind(kPathSeparator);
    std::string dir = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    std::string base = kTemporaryPrefix + path.substr(cut == std::string::npos ? 0 : cut + 1);
    size_t room = kMaxPathLength - 1 > dir.size() ? kMaxPathLength - 1 - dir.size() : 1;
    size_t limit = room < kMaxNameLength ? room : kMaxNameLength;
    std::string suffix = "." + std::to_string(pid) + "-" + std::to_string(number) + ".tvtmp";
    return CString(dir + TemporaryName(base, suffix, limit, number));
}

}  // namespace

Replacement::Replacement(FileSystem& fs, const CString& name, const FileFacts& read, CString temp,
                         std::unique_ptr<OutputFile> out)
    : m_fs(fs), m_name(name), m_read(read), m_temp(std::move(temp)), m_out(std::move(out)) {}

std::unique_ptr<Replacement> Replacement::Create(FileSystem& fs, const CString& name, const FileFacts& read,
                                                 FileError& error) {
    static std::atomic<unsigned> counter{0};
    const CString& target = read.target.IsEmpty() ? name : read.target;
    unsigned long pid = fs.ProcessId();
    for (int attempt = 0; attempt < 100; ++attempt) {
        CString temp = TemporaryPath(target, pid, counter++);
        // The create and the registration are one step for an interrupt:
        // it finds either no file of ours or one it will remove.
        Interrupts::Hold hold;
        if (Interrupts::Arrived()) {
            error = FileError{kChangedSinceRead, "The run was interrupted."};
            return nullptr;
        }
        error = FileError();
        std::unique_ptr<OutputFile> out = fs.CreateExclusive(temp, read, error);
        if (!out) {
            if (error.exists) continue;
            return nullptr;
        }
        if (!Interrupts::Register(out.get())) {
            out.reset();
            fs.Remove(temp, error);
            error = FileError{kChangedSinceRead, "Too many files are being written at once."};
            return nullptr;
        }
        return std::unique_ptr<Replacement>(new Replacement(fs, name, read, std::move(temp), std::move(out)));
    }
    return nullptr;  // error holds the last "exists"
}

Replacement::~Replacement() {
    if (m_placed) return;
    {
        Interrupts::Hold hold;
        Interrupts::Unregister(m_out.get());
    }
    m_out.reset();
    FileError ignored;
    m_fs.Remove(m_temp, ignored);
}

bool Replacement::Write(const void* data, size_t size, FileError& error) {
    return m_out->Write(data, size, error);
}

bool Replacement::Close(FileError& error) {
    if (!m_out->Close(error)) return false;
    m_closed = true;
    return true;
}

bool Replacement::Commit(std::unique_ptr<InputFile>& held, FileError& error) {
    if (!m_closed && !Close(error)) return false;
    // Links are followed again: a link pointed elsewhere, a file replaced,
    // deleted or written by another program since the read all differ.
    FileFacts now;
    if (!m_fs.Identify(m_name, now, error)) return false;
    if (!SameFileUnchanged(now, m_read)) {
        error = FileError{kChangedSinceRead, "The file was changed by another program after it was read."};
        return false;
    }
    held.reset();
    const CString& target = m_read.target.IsEmpty() ? m_name : m_read.target;
    Interrupts::Hold hold;
    if (Interrupts::Arrived()) {
        error = FileError{kChangedSinceRead, "The run was interrupted."};
        return false;
    }
    if (!m_fs.Replace(m_temp, target, error)) return false;
    Interrupts::Unregister(m_out.get());
    m_placed = true;
    return true;
}
