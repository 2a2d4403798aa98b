// What a new file needs to be indistinguishable from the old one besides
// its content, and the flushes that put new files on the disk.
#include <fcntl.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "PosixFileSystem.h"

namespace {

// Gives the new file the owner, group and permission bits of the old one
// as far as the process may; true when all of them are as they were. Only
// what differs costs a call.
bool KeepOwnerAndMode(int fd, const struct stat& now, const FileFacts& old) {
    bool owner = now.st_uid == old.owner && now.st_gid == old.group;
    if (!owner) {
        // Where the owner may not be given, the group alone may be; where
        // not even that (no member of it), the process's group stays.
        owner = fchown(fd, old.owner, old.group) == 0;
        if (!owner) (void)fchown(fd, static_cast<uid_t>(-1), old.group);
    }
    // A change of owner clears the set-id bits, which fchmod puts back.
    bool changed = now.st_uid != old.owner || now.st_gid != old.group;
    if ((now.st_mode & 07777) != old.mode || (changed && (old.mode & 06000)))
        return fchmod(fd, old.mode) == 0 && owner;
    return owner;
}

// The names of a file's extended attributes (the ACL among them); false
// where they cannot be listed.
bool AttributeNames(int fd, std::vector<std::string>& names) {
    names.clear();
    for (;;) {
        ssize_t size = flistxattr(fd, nullptr, 0);
        if (size < 0) return errno == ENOTSUP;  // none to list, none to keep
        if (size == 0) return true;
        std::vector<char> list(static_cast<size_t>(size));
        ssize_t got = flistxattr(fd, list.data(), list.size());
        if (got < 0 && errno == ERANGE) continue;  // grown in between
        if (got < 0) return false;
        for (ssize_t at = 0; at < got; at += static_cast<ssize_t>(std::strlen(&list[at])) + 1)
            names.emplace_back(&list[at]);
        return true;
    }
}

bool CopyAttribute(int from, int to, const std::string& name) {
    ssize_t size = fgetxattr(from, name.c_str(), nullptr, 0);
    if (size < 0) return false;
    std::vector<char> value(static_cast<size_t>(size) + 1);
    size = fgetxattr(from, name.c_str(), value.data(), value.size());
    return size >= 0 && fsetxattr(to, name.c_str(), value.data(), static_cast<size_t>(size), 0) == 0;
}

}  // namespace

bool PosixFileSystem::CopyIdentity(const InputFile& fromFile, const FileFacts& facts, OutputFile& toFile,
                                   FileError& error) {
    int from = static_cast<const PosixInputFile&>(fromFile).Fd();
    auto& out = static_cast<PosixOutputFile&>(toFile);
    int to = out.Fd();
    if (!KeepOwnerAndMode(to, out.Made(), facts)) {
        error = ErrorFrom(EPERM);
        return false;
    }
    // The old file's attributes, and none besides (a directory's default
    // ACL may have given the new one an ACL of its own).
    std::vector<std::string> had, got;
    if (!AttributeNames(from, had) || !AttributeNames(to, got)) {
        error = ErrorFrom(errno);
        return false;
    }
    std::set<std::string> keep(had.begin(), had.end());
    for (const std::string& name : got)
        if (!keep.count(name) && fremovexattr(to, name.c_str()) != 0) {
            error = ErrorFrom(errno);
            return false;
        }
    for (const std::string& name : had)
        if (!CopyAttribute(from, to, name)) {
            error = ErrorFrom(errno);
            return false;
        }
    return true;
}

bool PosixFileSystem::FlushAll(const std::vector<OutputFile*>& files, FileError& error) {
    // One flush of each file system that the files are on. Where that is
    // refused, each file on its own.
    std::set<dev_t> flushed;
    for (OutputFile* file : files) {
        auto* out = static_cast<PosixOutputFile*>(file);
        dev_t device = out->Made().st_dev;
        if (flushed.count(device)) continue;
        if (syncfs(out->Fd()) == 0) {
            flushed.insert(device);
        } else if (!file->Flush(error)) {
            return false;
        }
    }
    return true;
}

bool PosixFileSystem::FlushDirectoryOf(const CString& path, FileError& error) {
    const std::string& text = path.str();
    size_t cut = text.rfind('/');
    std::string dir = cut == std::string::npos ? "." : cut == 0 ? "/" : text.substr(0, cut);
    UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() < 0 || fsync(fd.Get()) != 0) {
        error = ErrorFrom(errno);
        return false;
    }
    return true;
}
