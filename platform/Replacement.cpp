#include "Replacement.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

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
    std::string suffix = "." + std::to_string(pid) + "-" + std::to_string(number) + "." + kTemporaryEnding;
    return CString(dir + TemporaryName(base, suffix, limit, number));
}

const FileError kInterrupted{kChangedSinceRead, "The run was interrupted."};

std::mutex g_leftoversLock;  // the dialog runs on a thread of its own
std::vector<Leftover> g_leftovers;

void NoteLeftover(Leftover leftover) {
    std::lock_guard<std::mutex> lock(g_leftoversLock);
    g_leftovers.push_back(std::move(leftover));
}

}  // namespace

std::vector<Leftover> Replacement::TakeLeftovers() {
    std::vector<Leftover> taken;
    std::lock_guard<std::mutex> lock(g_leftoversLock);
    taken.swap(g_leftovers);
    return taken;
}

Replacement::Replacement(FileSystem& fs, const CString& name, std::unique_ptr<InputFile> read, CString temp,
                         std::unique_ptr<OutputFile> out)
    : m_fs(fs), m_name(name), m_read(std::move(read)), m_facts(m_read->Facts()), m_temp(std::move(temp)),
      m_out(std::move(out)) {}

std::unique_ptr<Replacement> Replacement::Create(FileSystem& fs, const CString& name, std::unique_ptr<InputFile> read,
                                                 FileError& error) {
    static std::atomic<unsigned> counter{0};
    // Made before the file, so that running out of memory cannot leave a
    // file that nothing owns.
    std::unique_ptr<Replacement> made(new Replacement(fs, name, std::move(read), CString(), nullptr));
    const FileFacts& facts = made->m_facts;
    const CString& target = facts.target.IsEmpty() ? name : facts.target;
    unsigned long pid = fs.ProcessId();
    for (int attempt = 0; attempt < 100; ++attempt) {
        made->m_temp = TemporaryPath(target, pid, counter++);
        bool registered;
        {
            // The create and the registration are one step for an
            // interrupt: it finds either no file of ours or one it will
            // remove.
            Interrupts::Hold hold;
            if (Interrupts::Arrived()) {
                error = kInterrupted;
                return nullptr;
            }
            error = FileError();
            made->m_out = fs.CreateExclusive(made->m_temp, facts, error);
            if (!made->m_out) {
                if (error.exists) continue;
                return nullptr;
            }
            registered = Interrupts::Register(made->m_out.get());
        }
        if (!registered) {
            made.reset();  // removes the file
            error = FileError{kChangedSinceRead, "Too many files are being written at once."};
            return nullptr;
        }
        return made;
    }
    return nullptr;  // error holds the last "exists"
}

Replacement::~Replacement() {
    if (m_done || !m_out) return;
    Forget();
    m_out.reset();
    Discard(m_whole ? LeftoverKind::UnplacedNew : LeftoverKind::PartialNew);
}

void Replacement::Discard(LeftoverKind kind) noexcept {
    try {
        FileError error;
        if (m_fs.Remove(m_temp, error)) return;
        // Gone already is gone: only a file that stays is named.
        FileFacts facts;
        FileError ignored;
        if (m_fs.Identify(m_temp, facts, ignored)) NoteLeftover(Leftover{m_temp, m_name, kind, error});
    } catch (...) {
        // Out of memory: the file may stay, unnamed.
    }
}

void Replacement::Forget() {
    Interrupts::Hold hold;
    Interrupts::Unregister(m_out.get());
}

bool Replacement::Write(const void* data, size_t size, FileError& error) {
    if (!m_out->Write(data, size, error)) return false;
    m_size += size;
    return true;
}

void Replacement::StartWriteback() {
    FileError ignored;
    m_out->StartWriteback(ignored);
}

Replacement::Result Replacement::Commit(FileError& error) {
    // The file may be read-only, hidden or system: the step that clears
    // those marks lets the new content in. It acts on the file that was
    // read, and only while it is as it was read; its result is of no
    // account (a file changed since is found by the look below).
    FileError ignored;
    m_fs.SetAttributes(m_name, *m_read, FILE_ATTRIBUTE_NORMAL, m_facts, ignored);
    // A rename keeps the file only where the new one can be made the same
    // in all but its content.
    if (m_facts.links <= 1 && m_fs.CopyIdentity(*m_read, m_facts, *m_out, ignored)) return Rename(error);
    return WriteInPlace(error);
}

Replacement::Result Replacement::Rename(FileError& error) {
    if (!m_out->Close(error)) {
        m_whole = false;
        return Result::WriteFailed;
    }
    // Links are followed again: a link pointed elsewhere, a file replaced,
    // deleted or written by another program since the read all differ, and
    // so does one whose mode, owner, links or attributes were changed (the
    // change time moves), which the new file would otherwise undo. (Not
    // where the read's hold has kept every other program away.)
    if (!m_facts.nameHeld) {
        FileFacts now;
        if (!m_fs.Identify(m_name, now, error)) return Result::NotPlaced;
        if (!SameFileUnchanged(now, m_facts)) {
            error = FileError{kChangedSinceRead, "The file was changed by another program after it was read."};
            return Result::NotPlaced;
        }
    }
    m_read.reset();
    const CString& target = m_facts.target.IsEmpty() ? m_name : m_facts.target;
    Interrupts::Hold hold;
    if (Interrupts::Arrived()) {
        error = kInterrupted;
        return Result::NotPlaced;
    }
    bool placed = m_fs.Replace(m_temp, target, error);
    if (placed || error.keepNew) {
        Interrupts::Unregister(m_out.get());
        m_done = true;
    }
    if (placed) return Result::Placed;
    if (error.keepNew) m_kept = m_temp;  // the file may be gone: this is its content
    return Result::NotPlaced;
}

Replacement::Result Replacement::WriteInPlace(FileError& error) {
    // First the copy: complete, closed and on the disk with its name, so
    // that whatever happens to the file, all of the new content is there.
    if ((!m_flushed && !m_out->Flush(error)) || !m_out->Close(error)) {
        m_whole = false;
        return Result::WriteFailed;
    }
    NameAsCopy();
    if (!m_fs.FlushDirectoryOf(m_temp, error)) return Result::NotPlaced;
    std::unique_ptr<OutputFile> file = m_fs.OpenInPlace(m_name, m_read, m_facts, error);
    if (!file) return Result::NotPlaced;
    // From the first byte written into the file on, the copy stays.
    Forget();
    m_done = true;
    if (!CopyInto(*file, error) || !file->Truncate(error) || !file->Flush(error) || !file->Close(error)) {
        m_kept = m_temp;
        return Result::NotPlaced;
    }
    m_read.reset();
    Discard(LeftoverKind::PlacedNew);
    return Result::Placed;
}

void Replacement::NameAsCopy() {
    // A temporary file whose name was cut to fit keeps it.
    const std::string& temp = m_temp.str();
    const size_t ending = sizeof kTemporaryEnding - 1;
    if (temp.size() <= ending || temp.compare(temp.size() - ending, ending, kTemporaryEnding) != 0) return;
    CString copy(temp.substr(0, temp.size() - ending) + kCopyEnding);
    // Where the name is taken (a copy that an earlier process of the same
    // number left), or the system cannot rename, the temporary name stays.
    FileError ignored;
    if (m_fs.Rename(m_temp, copy, ignored)) m_temp = copy;
}

bool Replacement::CopyInto(OutputFile& out, FileError& error) {
    std::unique_ptr<InputFile> copy = m_fs.OpenRead(m_temp, error);
    if (!copy) return false;
    std::vector<char> buffer(64 * 1024);
    uint64_t total = 0;
    for (;;) {
        size_t got = 0;
        if (!copy->Read(buffer.data(), buffer.size(), got, error)) return false;
        if (got == 0) break;
        if (!out.Write(buffer.data(), got, error)) return false;
        total += got;
    }
    if (total != m_size) {
        error = FileError{kChangedSinceRead, "The copy of the new content was changed."};
        return false;
    }
    return true;
}
