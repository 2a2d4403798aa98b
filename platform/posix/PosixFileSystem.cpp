// The file system services on POSIX systems. Searches follow the Windows
// rules that the program was made for: * and ? match in the last component
// without regard to ASCII letter case, "*.*" matches every name, entries come
// in case-folded name order, and a trailing separator matches nothing.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
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

std::string CurrentDirectory() {
    std::vector<char> buf(PATH_MAX);
    while (!getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE) return "/";
        buf.resize(buf.size() * 2);
    }
    return buf.data();
}

// The absolute form of path, with "." and ".." folded and repeated
// separators collapsed. Links are not resolved.
std::string AbsolutePath(const std::string& path) {
    std::string full = (!path.empty() && path[0] == '/') ? path : CurrentDirectory() + "/" + path;
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
    std::string out;
    for (const std::string& p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
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
    explicit PosixInputFile(int fd) : m_fd(fd) {}
    ~PosixInputFile() override { close(m_fd); }
    bool Read(void* buffer, size_t size, size_t& got, FileError& error) override {
        for (;;) {
            ssize_t n = read(m_fd, buffer, size);
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
    int m_fd;
};

class PosixReplacementFile : public ReplacementFile {
public:
    PosixReplacementFile(int fd, std::string temp, std::string target)
        : m_fd(fd), m_temp(std::move(temp)), m_target(std::move(target)) {}
    ~PosixReplacementFile() override {
        if (m_fd >= 0) close(m_fd);
        if (!m_replaced) unlink(m_temp.c_str());
    }
    bool Write(const void* data, size_t size, FileError& error) override {
        const char* p = static_cast<const char*>(data);
        while (size > 0) {
            ssize_t n = write(m_fd, p, size);
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
        int fd = m_fd;
        m_fd = -1;
        if (close(fd) != 0) {
            error = ErrorFrom(errno);
            return false;
        }
        return true;
    }
    bool Replace(FileError& error) override {
        if (rename(m_temp.c_str(), m_target.c_str()) != 0) {
            error = ErrorFrom(errno);
            return false;
        }
        m_replaced = true;
        return true;
    }

private:
    int m_fd;
    std::string m_temp;
    std::string m_target;
    bool m_replaced = false;
};

class PosixFileSystem : public FileSystem {
public:
    std::unique_ptr<FileSearch> FindFirst(const CString& patternText, FindEntry& first,
                                          CString& root, FileError& error) override {
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
            std::string full = AbsolutePath(pattern);
            struct stat st;
            if (full == "/" || !StatEntry(full, st)) return nullptr;
            size_t cut = full.rfind('/');
            FindEntry entry;
            entry.name = CString(full.substr(cut + 1));
            entry.attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
            entries.push_back(std::move(entry));
            root = CString(cut == 0 ? std::string("/") : full.substr(0, cut));
        } else {
            std::string dir = AbsolutePath(dirPart.empty() ? "." : dirPart);
            DIR* d = opendir(dir.c_str());
            if (!d) return nullptr;
            std::string prefix = dir == "/" ? dir : dir + "/";
            while (dirent* de = readdir(d)) {
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
            closedir(d);
            if (entries.empty()) return nullptr;
            SortLikeWindows(entries);
            root = CString(dir);
        }
        auto search = std::make_unique<ListSearch>(std::move(entries));
        search->Next(first);
        return search;
    }

    std::unique_ptr<InputFile> OpenRead(const CString& path, FileError& error) override {
        // Non-blocking, so that a FIFO cannot stall the run; only regular
        // files are read.
        int fd = open(path.GetString(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            error = ErrorFrom(errno);
            return nullptr;
        }
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            error = ErrorFrom(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
            close(fd);
            return nullptr;
        }
        // O_NONBLOCK stays: it does not change reads of a regular file.
        return std::make_unique<PosixInputFile>(fd);
    }

    std::unique_ptr<ReplacementFile> CreateReplacement(const CString& path, FileError& error) override {
        // A link is replaced at its target, so that it stays a link. Links in
        // the directory part do not matter: the temporary file lands in the
        // same directory either way. So only a link as the last component
        // costs the full resolution.
        std::string target = path.str();
        struct stat st;
        if (lstat(target.c_str(), &st) != 0) {
            error = ErrorFrom(errno);
            return nullptr;
        }
        if (S_ISLNK(st.st_mode)) {
            char* real = realpath(target.c_str(), nullptr);
            if (!real) {
                error = ErrorFrom(errno);
                return nullptr;
            }
            target = real;
            std::free(real);
            if (stat(target.c_str(), &st) != 0) {
                error = ErrorFrom(errno);
                return nullptr;
            }
        }
        static std::atomic<unsigned> counter{0};
        static const std::string pid = std::to_string(getpid());
        size_t cut = target.rfind('/');
        std::string dir = target.substr(0, cut + 1);
        std::string base = target.substr(cut + 1);
        // The temporary name must be a valid name even where the file's own
        // name or path is as long as the system allows.
        size_t limit = std::min<size_t>(NAME_MAX, PATH_MAX - 1 > dir.size() ? PATH_MAX - 1 - dir.size() : 1);
        for (int attempt = 0; attempt < 100; ++attempt) {
            unsigned number = counter++;
            std::string temp = dir + TemporaryName("." + base, "." + pid + "-" + std::to_string(number) + ".tvtmp",
                                                   limit, number);
            int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0) {
                if (errno == EEXIST) continue;
                error = ErrorFrom(errno);
                return nullptr;
            }
            // The new file keeps the old one's owner and permission bits.
            if (fchown(fd, st.st_uid, st.st_gid) != 0) {
                // Only a privileged process may give a file away; keep ours.
            }
            fchmod(fd, st.st_mode & 07777);
            return std::make_unique<PosixReplacementFile>(fd, temp, target);
        }
        error = ErrorFrom(EEXIST);
        return nullptr;
    }

    BOOL SetFileAttributesA(const CString& path, DWORD attributes) override {
        struct stat st;
        if (stat(path.GetString(), &st) != 0) return FALSE;
        mode_t mode = st.st_mode & 07777;
        if (attributes & FILE_ATTRIBUTE_READONLY)
            mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
        else
            mode |= S_IWUSR;
        if (mode == (st.st_mode & 07777)) return TRUE;
        return chmod(path.GetString(), mode) == 0 ? TRUE : FALSE;
    }

    bool GetDirectoryId(const CString& path, DirectoryId& id) override {
        struct stat st;
        if (stat(path.GetString(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
        id.volume = static_cast<uint64_t>(st.st_dev);
        id.index = static_cast<uint64_t>(st.st_ino);
        return true;
    }
};

}  // namespace

FileSystem& GetRealFileSystem() {
    static PosixFileSystem fs;
    return fs;
}
