// tervalo-cli merge --install: git is asked for the repository's top level
// and given the driver's config; the .gitattributes line is added by hand.
// RunProgram, which runs git for it, serves the merge as well.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "MergeCommand.h"

#ifdef _WIN32
#include "../platform/win32/WindowsHeaders.h"
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

const char kAttributesLine[] = "*.dbr merge=tervalo";
const char kDriverName[] = "Tervalo keyed merge for record files";
const char kDriverCommand[] = "tervalo-cli merge --marker-size %L %O %A %B %P";
}  // namespace

#ifdef _WIN32
namespace {
// One argument as the C runtime's command-line parser reads it back.
std::string Quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string q = "\"";
    size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++slashes;
        } else {
            if (c == '"') q.append(slashes + 1, '\\');
            slashes = 0;
        }
        q += c;
    }
    q.append(slashes, '\\');
    return q + "\"";
}
}  // namespace

int RunProgram(const std::vector<std::string>& args, std::string* output, std::string& failure) {
    std::string line;
    for (const std::string& a : args) line += (line.empty() ? "" : " ") + Quoted(a);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    if (output) {
        if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
            failure = "cannot make a pipe";
            return -1;
        }
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        start.dwFlags = STARTF_USESTDHANDLES;
        start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        start.hStdOutput = writeEnd;
        start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &process);
    DWORD code = GetLastError();
    if (writeEnd) CloseHandle(writeEnd);
    if (!started) {
        if (readEnd) CloseHandle(readEnd);
        failure = "cannot run " + args[0] + " (error " + std::to_string(code) + ")";
        return -1;
    }
    char buffer[4096];
    DWORD got = 0;
    while (output && ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) output->append(buffer, got);
    if (readEnd) CloseHandle(readEnd);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return static_cast<int>(status);
}
#else
int RunProgram(const std::vector<std::string>& args, std::string* output, std::string& failure) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int pipeEnds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output) {
        if (pipe(pipeEnds) != 0) {
            failure = std::string("cannot make a pipe: ") + std::strerror(errno);
            posix_spawn_file_actions_destroy(&actions);
            return -1;
        }
        posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
        posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
    }
    pid_t child = 0;
    int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (output) close(pipeEnds[1]);
    if (spawned == 0 && output) {
        char buffer[4096];
        ssize_t got;
        while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR))
            if (got > 0) output->append(buffer, static_cast<size_t>(got));
    }
    if (output) close(pipeEnds[0]);
    if (spawned != 0) {
        failure = "cannot run " + args[0] + ": " + std::strerror(spawned);
        return -1;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}
#endif

namespace {

// Adds the attributes line to the file at path unless a line of it holds
// just that; a file that does not exist yet is made. Empty on success,
// otherwise why not; added tells whether the line was missing.
std::string AddAttributesLine(const std::string& path, bool& added) {
    std::string text;
    if (FILE* in = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, got);
        bool failed = std::ferror(in);
        std::fclose(in);
        if (failed) return "cannot read " + path;
    } else if (errno != ENOENT) {
        return "cannot read " + path + ": " + std::strerror(errno);
    }
    added = false;
    for (size_t start = 0; start < text.size();) {
        size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        size_t first = line.find_first_not_of(" \t\r");
        size_t last = line.find_last_not_of(" \t\r");
        if (first != std::string::npos && line.substr(first, last - first + 1) == kAttributesLine) return "";
        start = end + 1;
    }
    // In the file's own line breaks; after its last line if that has none.
    size_t lf = text.find('\n');
    std::string lineBreak = lf != std::string::npos && lf > 0 && text[lf - 1] == '\r' ? "\r\n" : "\n";
    std::string more = (text.empty() || text.back() == '\n' ? "" : lineBreak) + kAttributesLine + lineBreak;
    FILE* out = std::fopen(path.c_str(), "ab");
    if (!out) return "cannot write " + path + ": " + std::strerror(errno);
    bool written = std::fwrite(more.data(), 1, more.size(), out) == more.size();
    if (std::fclose(out) != 0 || !written) return "cannot write " + path;
    added = true;
    return "";
}

}  // namespace

int InstallMergeDriver(std::ostream& out, std::ostream& err) {
    std::string top, failure;
    int status = RunProgram({"git", "rev-parse", "--show-toplevel"}, &top, failure);
    while (!top.empty() && (top.back() == '\n' || top.back() == '\r')) top.pop_back();
    if (status != 0 || top.empty()) {
        err << "tervalo-cli merge: "
            << (status < 0 ? failure : std::string("the working directory lies in no git repository")) << '\n';
        return 1;
    }
    bool added = false;
    failure = AddAttributesLine(top + "/.gitattributes", added);
    if (!failure.empty()) {
        err << "tervalo-cli merge: " << failure << '\n';
        return 1;
    }
    for (const auto& setting : {std::vector<std::string>{"git", "config", "--local", "merge.tervalo.name", kDriverName},
                                std::vector<std::string>{"git", "config", "--local", "merge.tervalo.driver",
                                                         kDriverCommand}}) {
        status = RunProgram(setting, nullptr, failure);
        if (status != 0) {
            err << "tervalo-cli merge: cannot set " << setting[3] << ": "
                << (status < 0 ? failure : "git config failed") << '\n';
            return 1;
        }
    }
    out << (added ? "Added " : "Kept ") << kAttributesLine << " in " << top << "/.gitattributes\n"
        << "Set merge.tervalo.name and merge.tervalo.driver in the repository's git config\n";
    return 0;
}
