// Reading, making and replacing files on POSIX, and the facts of a file.
#include <fcntl.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "PosixFileSystem.h"

void IgnoreWriteSignals();

FileError ErrorFrom(int code) {
    FileError e;
    e.code = code;
    e.reason = std::strerror(code);
    e.exists = code == EEXIST;
    return e;
}

FileFacts FactsFrom(const struct stat& st) {
    FileFacts f;
    f.attributes = S_ISDIR(st.st_mode)        ? FILE_ATTRIBUTE_DIRECTORY
                   : (st.st_mode & S_IWUSR)   ? FILE_ATTRIBUTE_NORMAL
                                              : FILE_ATTRIBUTE_READONLY;
    f.size = static_cast<uint64_t>(st.st_size);
    f.lastWrite = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    f.changeTime = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    f.id.volume = static_cast<uint64_t>(st.st_dev);
    f.id.low = static_cast<uint64_t>(st.st_ino);
    f.id.known = true;
    f.mode = st.st_mode & 07777;
    f.owner = st.st_uid;
    f.group = st.st_gid;
    f.links = static_cast<uint32_t>(st.st_nlink);
    return f;
}

bool PosixInputFile::Read(void* buffer, size_t size, size_t& got, FileError& error) {
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

namespace {
bool Checked(int result, FileError& error) {
    if (result == 0) return true;
    error = ErrorFrom(errno);
    return false;
}
}  // namespace

bool PosixOutputFile::Write(const void* data, size_t size, FileError& error) {
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
        m_written += static_cast<off_t>(n);
    }
    return true;
}

bool PosixOutputFile::StartWriteback(FileError&) {
    // Advice only: where the system has no such call, the flush does it all.
    (void)sync_file_range(m_fd.Get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    return true;
}

bool PosixOutputFile::Flush(FileError& error) { return Checked(fdatasync(m_fd.Get()), error); }
bool PosixOutputFile::Truncate(FileError& error) { return Checked(ftruncate(m_fd.Get(), m_written), error); }
bool PosixOutputFile::Close(FileError& error) { return Checked(close(m_fd.Release()), error); }

PosixFileSystem::PosixFileSystem() { IgnoreWriteSignals(); }

std::unique_ptr<InputFile> PosixFileSystem::OpenRead(const CString& path, FileError& error) {
    // Non-blocking, so that a FIFO cannot stall the run; only regular files
    // are read. A link as the last component is told by the first open,
    // which does not follow it: its target is where new content goes.
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
    bool link = false;
    UniqueFd fd(open(path.GetString(), flags | O_NOFOLLOW));
    if (fd.Get() < 0 && errno == ELOOP) {
        link = true;
        fd.Reset(open(path.GetString(), flags));
    }
    struct stat st;
    if (fd.Get() < 0 || fstat(fd.Get(), &st) != 0) {
        error = ErrorFrom(errno);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        error = ErrorFrom(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
        return nullptr;
    }
    FileFacts facts = FactsFrom(st);
    facts.target = path;
    if (link) {
        // Resolved once, here; the link may be pointed elsewhere at any time
        // after, so the target must be the file that was opened.
        char* real = realpath(path.GetString(), nullptr);
        struct stat at;
        bool same = real && stat(real, &at) == 0 && FactsFrom(at).id == facts.id;
        if (real) facts.target = CString(real);
        std::free(real);
        if (!same) {
            error = ErrorFrom(real ? ESTALE : errno);
            return nullptr;
        }
    }
    // O_NONBLOCK stays: it does not change reads of a regular file.
    return std::make_unique<PosixInputFile>(std::move(fd), std::move(facts));
}

bool PosixFileSystem::Identify(const CString& path, FileFacts& facts, FileError& error) {
    struct stat st;
    if (stat(path.GetString(), &st) != 0) {
        error = ErrorFrom(errno);
        return false;
    }
    facts = FactsFrom(st);
    return true;
}

bool PosixFileSystem::SetAttributes(const CString&, const InputFile& file, DWORD attributes, FileFacts& facts,
                                    FileError& error) {
    mode_t mode = facts.mode;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    else
        mode |= S_IWUSR;
    if (mode == facts.mode) return true;
    // Through the descriptor of the read, never by name: whatever the name
    // leads to now, only the file that was read can be changed, and only
    // while it is as it was read.
    const int fd = static_cast<const PosixInputFile&>(file).Fd();
    struct stat st;
    if (fstat(fd, &st) != 0) {
        error = ErrorFrom(errno);
        return false;
    }
    if (!SameFileUnchanged(FactsFrom(st), facts)) {
        error = ErrorFrom(ESTALE);
        return false;
    }
    if (fchmod(fd, mode) != 0 || fstat(fd, &st) != 0) {
        error = ErrorFrom(errno);
        return false;
    }
    facts.mode = st.st_mode & 07777;
    facts.attributes = (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
    facts.changeTime = FactsFrom(st).changeTime;
    return true;
}

std::unique_ptr<OutputFile> PosixFileSystem::CreateExclusive(const CString& path, const FileFacts& like,
                                                             FileError& error) {
    // Created with the file's permission bits where the umask and the
    // directory let them through; the new file's own status says.
    UniqueFd fd(open(path.GetString(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, like.mode & 0777));
    struct stat made;
    if (fd.Get() < 0) {
        error = ErrorFrom(errno);
        return nullptr;
    }
    if (fstat(fd.Get(), &made) != 0) {
        error = ErrorFrom(errno);
        unlink(path.GetString());
        return nullptr;
    }
    // A replacement may do no more than writing into the file it replaces
    // would be allowed to, once the attributes step has been taken. That
    // step lets the file's owner write it, so only a process that is not
    // its owner (its new file, made as that process, says) is asked.
    if (!like.target.IsEmpty() && made.st_uid != like.owner &&
        faccessat(AT_FDCWD, like.target.GetString(), W_OK, AT_EACCESS) != 0) {
        error = ErrorFrom(errno);
        unlink(path.GetString());
        return nullptr;
    }
    try {
        return std::make_unique<PosixOutputFile>(std::move(fd), path.str(), made);
    } catch (...) {
        unlink(path.GetString());  // out of memory: no file without an owner
        throw;
    }
}

bool PosixFileSystem::Replace(const CString& from, const CString& to, FileError& error) {
    if (rename(from.GetString(), to.GetString()) != 0) {
        error = ErrorFrom(errno);
        return false;
    }
    return true;
}

bool PosixFileSystem::Remove(const CString& path, FileError& error) {
    if (unlink(path.GetString()) != 0) {
        error = ErrorFrom(errno);
        return false;
    }
    return true;
}

std::unique_ptr<OutputFile> PosixFileSystem::OpenInPlace(const CString& name, std::unique_ptr<InputFile>&,
                                                         const FileFacts& expected, FileError& error) {
    UniqueFd fd(open(name.GetString(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.Get() < 0 || fstat(fd.Get(), &st) != 0) {
        error = ErrorFrom(errno);
        return nullptr;
    }
    if (!SameFileUnchanged(FactsFrom(st), expected)) {
        error = ErrorFrom(ESTALE);
        return nullptr;
    }
    return std::make_unique<PosixOutputFile>(std::move(fd), std::string(), st);
}

FileSystem& GetRealFileSystem() {
    static PosixFileSystem fs;
    return fs;
}
