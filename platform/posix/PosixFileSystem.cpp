// The file system services on POSIX systems. Searches follow the Windows
// rules that the program was made for: * and ? match in the last component
// without regard to ASCII letter case, "*.*" matches every name, entries come
// in case-folded name order, and a trailing separator matches nothing.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "../FileSystem.h"
#include "../PathMatch.h"

namespace {

FileError ErrorFrom(int code) {
    FileError e;
    e.code = code;
    e.reason = std::strerror(code);
    return e;
}

// A search that finds nothing where the entry does not exist; every other
// failure (no permission, a name too long, an I/O error) is an error.
std::unique_ptr<FileSearch> NothingOrError(int code, FileError& error) {
    if (code != ENOENT && code != ENOTDIR) error = ErrorFrom(code);
    return nullptr;
}

// Owns an open descriptor.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int Get() const { return m_fd; }
    void Reset(int fd = -1) {
        if (m_fd >= 0) close(m_fd);
        m_fd = fd;
    }
    int Release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// The temporary files being written, for the signal handler to remove: each
// slot holds a name while its file may exist.
constexpr int kTemporarySlots = 8;
std::atomic<const char*> g_temporaries[kTemporarySlots];
const int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RemoveTemporariesAndEnd(int signal) {
    // Only async-signal-safe calls here. SA_RESETHAND has put back the
    // default action, which the raised signal takes once this returns.
    int saved = errno;
    for (auto& slot : g_temporaries) {
        const char* name = slot.load();
        if (name) unlink(name);
    }
    raise(signal);
    errno = saved;
}

// Where an interrupt, a termination request or a hang-up would end the
// process at once, it first removes the temporary files. Signals that the
// process ignores or handles itself are left as they are.
void InstallSignalHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int sig : kFatalSignals) {
            struct sigaction old;
            if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
            struct sigaction action = {};
            action.sa_handler = RemoveTemporariesAndEnd;
            sigemptyset(&action.sa_mask);
            for (int other : kFatalSignals) sigaddset(&action.sa_mask, other);
            action.sa_flags = SA_RESETHAND;
            sigaction(sig, &action, nullptr);
        }
    });
}

// The name of a temporary file, which is removed when the object goes unless
// it was put in place. While the object lives, a fatal signal removes it too.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : m_path(std::move(path)) {
        InstallSignalHandlers();
        for (auto& slot : g_temporaries) {
            const char* expected = nullptr;
            if (slot.compare_exchange_strong(expected, m_path.c_str())) {
                m_slot = &slot;
                break;
            }
        }
    }
    ~TemporaryFile() {
        if (!m_placed) unlink(m_path.c_str());
        Forget();
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::string& Path() const { return m_path; }
    // The file now stands under another name: it is no longer ours to remove.
    void Placed() {
        m_placed = true;
        Forget();
    }

private:
    void Forget() {
        if (m_slot) m_slot->store(nullptr);
        m_slot = nullptr;
    }
    std::string m_path;
    std::atomic<const char*>* m_slot = nullptr;
    bool m_placed = false;
};

// The current directory; false with the reason when the system cannot name
// it (it was removed, or lies out of reach).
bool CurrentDirectory(std::string& dir, FileError& error) {
    std::vector<char> buf(PATH_MAX);
    while (!getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE) {
            error = ErrorFrom(errno);
            return false;
        }
        buf.resize(buf.size() * 2);
    }
    dir = buf.data();
    return true;
}

// The absolute form of path, with "." and ".." folded and repeated
// separators collapsed. Links are not resolved. False when path is relative
// and the current directory is unknown.
bool AbsolutePath(const std::string& path, std::string& out, FileError& error) {
    std::string full = path;
    if (path.empty() || path[0] != '/') {
        if (!CurrentDirectory(full, error)) return false;
        full += "/" + path;
    }
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= full.size()) {
        size_t slash = full.find('/', pos);
        if (slash == std::string::npos) slash = full.size();
        std::string part = full.substr(pos, slash - pos);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = slash + 1;
    }
    out.clear();
    for (const std::string& p : parts) out += "/" + p;
    if (out.empty()) out = "/";
    return true;
}

bool StatEntry(const std::string& path, struct stat& st) {
    if (stat(path.c_str(), &st) == 0) return true;
    // A link that leads nowhere is still an entry: it is reported as a file,
    // whose open will fail.
    return lstat(path.c_str(), &st) == 0;
}

class ListSearch : public FileSearch {
public:
    explicit ListSearch(std::vector<FindEntry> entries) : m_entries(std::move(entries)) {}
    bool Next(FindEntry& entry) override {
        if (m_next >= m_entries.size()) return false;
        entry = std::move(m_entries[m_next++]);
        return true;
    }

private:
    std::vector<FindEntry> m_entries;
    size_t m_next = 0;
};

class PosixInputFile : public InputFile {
public:
    explicit PosixInputFile(UniqueFd fd) : m_fd(std::move(fd)) {}
    bool Read(void* buffer, size_t size, size_t& got, FileError& error) override {
        for (;;) {
            ssize_t n = read(m_fd.Get(), buffer, size);
            if (n >= 0) {
                got = static_cast<size_t>(n);
                return true;
            }
            if (errno != EINTR) {
                error = ErrorFrom(errno);
                return false;
            }
        }
    }

private:
    UniqueFd m_fd;
};

class PosixReplacementFile : public ReplacementFile {
public:
    PosixReplacementFile(std::unique_ptr<TemporaryFile> temp, UniqueFd fd, std::string target)
        : m_temp(std::move(temp)), m_fd(std::move(fd)), m_target(std::move(target)) {}
    bool Write(const void* data, size_t size, FileError& error) override {
        const char* p = static_cast<const char*>(data);
        while (size > 0) {
            ssize_t n = write(m_fd.Get(), p, size);
            if (n < 0) {
                if (errno == EINTR) continue;
                error = ErrorFrom(errno);
                return false;
            }
            p += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }
    bool Close(FileError& error) override {
        if (close(m_fd.Release()) != 0) {
            error = ErrorFrom(errno);
            return false;
        }
        return true;
    }
    bool Replace(FileError& error) override {
        if (rename(m_temp->Path().c_str(), m_target.c_str()) != 0) {
            error = ErrorFrom(errno);
            return false;
        }
        m_temp->Placed();
        return true;
    }

private:
    std::unique_ptr<TemporaryFile> m_temp;
    UniqueFd m_fd;  // closed before the name goes (members go in reverse)
    std::string m_target;
};

// What the open of a file for reading learnt about it. The sorter reads a
// file, sets its attributes and prepares its new content one call after the
// other: those calls take the file's status from here instead of asking the
// system again. Any other call forgets it.
struct LastRead {
    bool valid = false;
    std::string path;
    bool link = false;  // the path's last component is a symbolic link
    struct stat st;     // of the file itself (the link's target)
};
thread_local LastRead t_lastRead;

bool RecallLastRead(const std::string& path, LastRead*& read) {
    read = t_lastRead.valid && t_lastRead.path == path ? &t_lastRead : nullptr;
    return read != nullptr;
}
void ForgetLastRead() { t_lastRead.valid = false; }

class PosixFileSystem : public FileSystem {
public:
    std::unique_ptr<FileSearch> FindFirst(const CString& patternText, FindEntry& first,
                                          CString& root, FileError& error) override {
        ForgetLastRead();
        error = FileError();
        const std::string& pattern = patternText.str();
        if (pattern.empty() || pattern.back() == '/') return nullptr;
        size_t slash = pattern.rfind('/');
        std::string dirPart = slash == std::string::npos ? "" : pattern.substr(0, slash + 1);
        std::string name = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
        std::vector<FindEntry> entries;

        if (!HasWildcards(name)) {
            // A plain name names exactly that entry. Its folded absolute form
            // gives the name, so that "." or "dir/.." name a real directory.
            std::string full;
            if (!AbsolutePath(pattern, full, error)) return nullptr;
            struct stat st;
            if (full == "/") return nullptr;
            if (!StatEntry(full, st)) return NothingOrError(errno, error);
            size_t cut = full.rfind('/');
            FindEntry entry;
            entry.name = CString(full.substr(cut + 1));
            entry.attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
            entries.push_back(std::move(entry));
            root = CString(cut == 0 ? std::string("/") : full.substr(0, cut));
        } else {
            std::string dir;
            if (!AbsolutePath(dirPart.empty() ? "." : dirPart, dir, error)) return nullptr;
            UniqueDir d(opendir(dir.c_str()));
            if (!d) return NothingOrError(errno, error);
            std::string prefix = dir == "/" ? dir : dir + "/";
            for (;;) {
                errno = 0;
                dirent* de = readdir(d.get());
                if (!de) {
                    // Part of a listing is no listing: the rest may hold
                    // record files.
                    if (errno != 0) return NothingOrError(errno, error);
                    break;
                }
                const char* n = de->d_name;
                if (!MatchesWildcard(name, n)) continue;
                FindEntry entry;
                entry.name = CString(n);
                bool isDir = de->d_type == DT_DIR;
                if (de->d_type == DT_UNKNOWN || de->d_type == DT_LNK) {
                    struct stat st;
                    isDir = StatEntry(prefix + n, st) && S_ISDIR(st.st_mode);
                }
                entry.attributes = isDir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
                entries.push_back(std::move(entry));
            }
            if (entries.empty()) return nullptr;
            SortLikeWindows(entries);
            root = CString(dir);
        }
        auto search = std::make_unique<ListSearch>(std::move(entries));
        search->Next(first);
        return search;
    }

    std::unique_ptr<InputFile> OpenRead(const CString& path, FileError& error) override {
        ForgetLastRead();
        // Non-blocking, so that a FIFO cannot stall the run; only regular
        // files are read. A link as the last component is told by the first
        // open, which does not follow it (the replace needs to know).
        const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
        bool link = false;
        UniqueFd fd(open(path.GetString(), flags | O_NOFOLLOW));
        if (fd.Get() < 0 && errno == ELOOP) {
            link = true;
            fd.Reset(open(path.GetString(), flags));
        }
        if (fd.Get() < 0) {
            error = ErrorFrom(errno);
            return nullptr;
        }
        struct stat st;
        if (fstat(fd.Get(), &st) != 0) {
            error = ErrorFrom(errno);
            return nullptr;
        }
        if (!S_ISREG(st.st_mode)) {
            error = ErrorFrom(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
            return nullptr;
        }
        auto file = std::make_unique<PosixInputFile>(std::move(fd));
        t_lastRead.path = path.str();
        t_lastRead.link = link;
        t_lastRead.st = st;
        t_lastRead.valid = true;
        // O_NONBLOCK stays: it does not change reads of a regular file.
        return file;
    }

    std::unique_ptr<ReplacementFile> CreateReplacement(const CString& path, FileError& error) override {
        // A link is replaced at its target, so that it stays a link. Links in
        // the directory part do not matter: the temporary file lands in the
        // same directory either way. So only a link as the last component
        // costs the full resolution.
        std::string target = path.str();
        struct stat st;
        bool link;
        LastRead* read;
        if (RecallLastRead(target, read)) {
            st = read->st;
            link = read->link;
        } else {
            if (lstat(target.c_str(), &st) != 0) {
                error = ErrorFrom(errno);
                return nullptr;
            }
            link = S_ISLNK(st.st_mode);
        }
        ForgetLastRead();
        if (link) {
            char* real = realpath(target.c_str(), nullptr);
            if (!real) {
                error = ErrorFrom(errno);
                return nullptr;
            }
            target = real;
            std::free(real);
            if (!read && stat(target.c_str(), &st) != 0) {
                error = ErrorFrom(errno);
                return nullptr;
            }
        }
        // The replace may do no more than writing into the file would be
        // allowed to (this also finds a file that has gone since it was read).
        if (faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
            error = ErrorFrom(errno);
            return nullptr;
        }
        static std::atomic<unsigned> counter{0};
        static const std::string pid = std::to_string(getpid());
        size_t cut = target.rfind('/');
        std::string dir = target.substr(0, cut + 1);
        std::string base = target.substr(cut + 1);
        // The temporary name must be a valid name even where the file's own
        // name or path is as long as the system allows.
        size_t limit = std::min<size_t>(NAME_MAX, PATH_MAX - 1 > dir.size() ? PATH_MAX - 1 - dir.size() : 1);
        const mode_t want = st.st_mode & 07777;
        for (int attempt = 0; attempt < 100; ++attempt) {
            unsigned number = counter++;
            auto temp = std::make_unique<TemporaryFile>(
                dir + TemporaryName("." + base, "." + pid + "-" + std::to_string(number) + ".tvtmp", limit, number));
            // Created with the file's permission bits where the umask and the
            // directory let them through; the new file's own status says.
            UniqueFd fd(open(temp->Path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, want & 0777));
            if (fd.Get() < 0) {
                int code = errno;
                temp->Placed();  // not ours: nothing to remove
                if (code == EEXIST) continue;
                error = ErrorFrom(code);
                return nullptr;
            }
            KeepOwnerAndMode(fd.Get(), st, want);
            return std::make_unique<PosixReplacementFile>(std::move(temp), std::move(fd), target);
        }
        error = ErrorFrom(EEXIST);
        return nullptr;
    }

    BOOL SetFileAttributesA(const CString& path, DWORD attributes) override {
        struct stat st;
        LastRead* read;
        if (RecallLastRead(path.str(), read)) {
            st = read->st;
        } else if (stat(path.GetString(), &st) != 0) {
            return FALSE;
        }
        mode_t mode = st.st_mode & 07777;
        if (attributes & FILE_ATTRIBUTE_READONLY)
            mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
        else
            mode |= S_IWUSR;
        if (mode == (st.st_mode & 07777)) return TRUE;
        if (chmod(path.GetString(), mode) != 0) return FALSE;
        if (read) read->st.st_mode = (st.st_mode & ~static_cast<mode_t>(07777)) | mode;
        return TRUE;
    }

    bool GetDirectoryId(const CString& path, DirectoryId& id) override {
        ForgetLastRead();
        struct stat st;
        if (stat(path.GetString(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
        id.volume = static_cast<uint64_t>(st.st_dev);
        id.index = static_cast<uint64_t>(st.st_ino);
        return true;
    }

private:
    // Gives the new file the owner, group and permission bits of the old one
    // as far as the process may: a process that may not give a file away
    // still keeps the group where it is a member of it. Only what differs
    // costs a call.
    static void KeepOwnerAndMode(int fd, const struct stat& old, mode_t want) {
        struct stat now;
        bool known = fstat(fd, &now) == 0;  // if not, everything is set
        bool changed = false;
        if (!known || now.st_uid != old.st_uid || now.st_gid != old.st_gid) {
            changed = true;
            // Where not even the group may be set (the process is no member
            // of it), the new file keeps the process's group.
            if (fchown(fd, old.st_uid, old.st_gid) != 0 && (!known || now.st_gid != old.st_gid))
                (void)fchown(fd, static_cast<uid_t>(-1), old.st_gid);
        }
        // A change of owner clears the set-id bits, which fchmod puts back.
        if (!known || (now.st_mode & 07777) != want || (changed && (want & 06000))) fchmod(fd, want);
    }
};

}  // namespace

FileSystem& GetRealFileSystem() {
    static PosixFileSystem fs;
    return fs;
}
