// A file system held in memory, for tests: a map of full paths to files,
// directories and links, a log of every call, an error that can be injected
// at the Nth call of any kind of operation, and a hook that may change the
// tree before any call (another program at work).
//
// Paths use kPathSeparator, so the same tests run against it in every build.
// It behaves as Windows does where the backends differ: a replacement cannot
// be moved over a read-only file, and a wildcard search of a directory yields
// "." and ".." as well. Links are full paths; any component may be one.
// Files have an owner, a group, permission bits and a change time as on
// POSIX, and the process a user: root, unless told otherwise, who may do
// what root may; another user may write only a file it owns or that its
// bits let it write, and give a new file no owner but itself.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "../../platform/FileSystem.h"

class VirtualFileSystem : public FileSystem {
public:
    // The kinds of call that can be made to fail.
    enum class Op {
        Search,      // FindFirst and every step of its listing
        Open,        // OpenRead
        Read,        // InputFile::Read
        Write,       // OutputFile::Write (half the data lands first)
        Close,       // OutputFile::Close
        Attributes,  // SetAttributes
        CreateTemp,  // CreateExclusive
        Replace,     // Replace
        Identify,    // Identify
    };
    static constexpr int kOpCount = 9;
    static const char* OpName(Op op);
    static Op OpAt(int index) { return static_cast<Op>(index); }

    // The directory that the tests build their trees in, as a full path.
    static std::string Top();
    // Top() followed by name, whose '/' separates levels.
    static std::string Path(const std::string& name);

    // Adds a file (and every directory above it that is missing).
    void AddFile(const std::string& name, const std::string& bytes,
                 DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
    void AddDirectory(const std::string& name);
    // A link at name to the file or directory at target (both as for Path).
    void AddLink(const std::string& name, const std::string& target);
    // A second name for the file at existing: a write into either shows in
    // both.
    void AddHardLink(const std::string& name, const std::string& existing);

    // What another program does, by full path: writes new bytes into the
    // file (same identity), or puts a new file with them in its place;
    // changes its permission bits, owner and group, or an extended
    // attribute. Each moves the file's change time.
    void WriteInPlace(const std::string& path, const std::string& bytes);
    void ReplaceWithNew(const std::string& path, const std::string& bytes);
    void Chmod(const std::string& path, uint32_t mode);
    void Chown(const std::string& path, uint32_t owner, uint32_t group);
    void SetXattr(const std::string& path, const std::string& name, const std::string& value);

    // The process's user and the groups it belongs to (the first is its own).
    void SetUser(uint32_t user, std::vector<uint32_t> groups) {
        m_user = user;
        m_groups = std::move(groups);
    }

    // What is stored at a full path: "<missing>" or "<directory>" when it is
    // not a file (links are not followed).
    std::string Bytes(const std::string& path) const;
    DWORD Attributes(const std::string& path) const;
    // The permission bits of the file at a full path (0 when nothing is there).
    uint32_t Mode(const std::string& path) const;
    // Every full path that exists, files and directories, in map order.
    std::vector<std::string> Entries() const;

    // Read returns at most this many bytes per call (0: no limit).
    void SetReadChunk(size_t bytes) { m_readChunk = bytes; }

    // Makes the count-th call (from 1) of op fail; 0 disarms.
    void FailAt(Op op, int count);
    // A replace made to fail takes the old file away first, as a Windows
    // ReplaceFile that fails half way does: the new file is then the only copy.
    void SetFailedReplaceLosesTarget(bool loses) { m_replaceLosesTarget = loses; }
    // A failed start of a search finds nothing (the directory has gone), or,
    // with this set, reports an error (it cannot be listed). A failed later
    // step is always an error.
    void SetSearchFaultsAreErrors(bool errors) { m_searchErrors = errors; }
    bool FaultAtSearchStart() const { return m_faultAtSearchStart; }
    int Calls(Op op) const { return m_calls[static_cast<int>(op)]; }
    bool Faulted() const { return m_faulted; }
    // The path that the failed call was about (the file being replaced for
    // calls on its new content; the pattern for a search).
    const std::string& FaultPath() const { return m_faultPath; }

    // Runs before every call, with its kind and path.
    std::function<void(Op, const std::string&)> beforeCall;

    // Power loss: the disk holds only what was flushed; what was written and
    // not flushed is lost. Names (creates, renames, removals) are kept, as a
    // journal keeps them. From the crash on, no call changes anything.
    void Crash();
    bool Crashed() const { return m_crashed; }
    // The flushes asked for: of single files, and of batches.
    int Flushes() const { return m_flushes; }

    // One line per call: the operation's name, a space and its path.
    const std::vector<std::string>& Log() const { return m_log; }
    bool Touched(const std::string& path) const;
    // A call that changes the file at path was made: its attributes set, a
    // file put in its place, or a write into it begun.
    bool Modified(const std::string& path) const;

    // FileSystem
    std::unique_ptr<DirectoryListing> FindFirst(const CString& pattern, CString& root, FileError& error) override;
    std::unique_ptr<InputFile> OpenRead(const CString& path, FileError& error) override;
    bool Identify(const CString& path, FileFacts& facts, FileError& error) override;
    bool SetAttributes(const CString& path, const InputFile& file, DWORD attributes, FileFacts& facts,
                       FileError& error) override;
    std::unique_ptr<OutputFile> CreateExclusive(const CString& path, const FileFacts& like, FileError& error) override;
    bool Replace(const CString& from, const CString& to, FileError& error) override;
    bool Remove(const CString& path, FileError& error) override;
    unsigned long ProcessId() override { return 4242; }
    bool CopyIdentity(const InputFile& from, const FileFacts& facts, OutputFile& to, FileError& error) override;
    std::unique_ptr<OutputFile> OpenInPlace(const CString& name, std::unique_ptr<InputFile>& read,
                                            const FileFacts& expected, FileError& error) override;
    bool FlushAll(const std::vector<OutputFile*>& files, FileError& error) override;
    bool FlushDirectoryOf(const CString& path, FileError& error) override;

private:
    friend class VirtualListing;
    friend class VirtualInputFile;
    friend class VirtualOutputFile;

    struct Node {
        bool directory = false;
        std::string link;  // a link's target; empty for others
        std::string bytes;
        std::string durable;  // the bytes on the disk
        DWORD attributes = 0;
        uint64_t id = 0;
        int64_t lastWrite = 0;
        int64_t changeTime = 0;
        uint32_t mode = 0644;
        uint32_t owner = 0;
        uint32_t group = 0;
        std::map<std::string, std::string> xattrs;
    };

    // Logs and counts a call; true when it is the one that is to fail.
    bool Call(Op op, const std::string& path, FileError& error);
    Node* Find(const std::string& path);
    const Node* Find(const std::string& path) const;
    // path with every link on it followed.
    std::string Resolve(std::string path) const;
    FileFacts FactsOf(const Node& node) const;
    Node& NewNode(const std::string& path);
    // After a change to the node at path: every other name of it sees it.
    void Share(const std::string& path);
    // A change of anything about the node at path (which must be there).
    Node& Changed(const std::string& path);
    // The node that the open file read is, under any of its names.
    Node* NodeOf(const InputFile& read, std::string& path);
    // The process's user may write the node, or may give a file its owner
    // and group.
    bool MayWrite(const Node& node) const;
    bool MayGive(uint32_t owner, uint32_t group) const;

    std::map<std::string, Node> m_nodes;
    uint64_t m_nextId = 1;
    int64_t m_clock = 1;
    size_t m_readChunk = 0;
    int m_calls[kOpCount] = {};
    Op m_failOp = Op::Search;
    int m_failAt = 0;
    bool m_faulted = false;
    bool m_searchErrors = false;
    bool m_faultAtSearchStart = false;
    bool m_crashed = false;
    bool m_replaceLosesTarget = false;
    uint32_t m_user = 0;
    std::vector<uint32_t> m_groups = {0};
    int m_flushes = 0;
    std::string m_faultPath;
    std::vector<std::string> m_log;
};
