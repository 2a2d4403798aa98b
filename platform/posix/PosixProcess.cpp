// What the process may hold and who else runs: the limit on open files, the
// processes that own files found beside record files, and the rename that
// gives a finished copy its name without taking a name that is in use.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdint>

#include "PosixFileSystem.h"

bool PosixFileSystem::ProcessRunning(unsigned long pid) {
    if (pid == ProcessId()) return true;
    if (pid == 0 || pid > static_cast<unsigned long>(INT32_MAX)) return false;
    // Another user's process answers, but refuses the signal.
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool PosixFileSystem::Rename(const CString& from, const CString& to, FileError& error) {
    if (renameat2(AT_FDCWD, from.GetString(), AT_FDCWD, to.GetString(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) {
        error = ErrorFrom(errno);
        return false;
    }
    // A file system without that rename: a second name, which cannot take
    // one in use, and the first one gone.
    if (link(from.GetString(), to.GetString()) != 0) {
        error = ErrorFrom(errno);
        return false;
    }
    if (unlink(from.GetString()) != 0) {
        error = ErrorFrom(errno);
        unlink(to.GetString());
        return false;
    }
    return true;
}

size_t PosixFileSystem::OpenFilesLeft() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
    // The descriptors open now, the listing's own not counted.
    size_t open = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++open;
        closedir(d);
        if (open > 0) --open;
    } else {
        for (rlim_t fd = 0; fd < limit.rlim_cur && fd < 65536; ++fd)
            if (fcntl(static_cast<int>(fd), F_GETFD) != -1) ++open;
    }
    return limit.rlim_cur > open ? static_cast<size_t>(limit.rlim_cur - open) : 0;
}
