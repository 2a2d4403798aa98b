#include "VirtualFileSystem.h"

#include <algorithm>

#include "../../platform/PathMatch.h"

namespace {

const char* const kOpNames[VirtualFileSystem::kOpCount] = {
    "search", "open", "read", "write", "close", "attributes", "create-temp", "replace", "identify",
};

const long kInjectedError = 5;  // what Windows calls ERROR_ACCESS_DENIED
const FileError kNotFound{2, "The system cannot find the file specified."};
const FileError kDenied{kInjectedError, "Access is denied."};

bool IsDriveRoot(const std::string& dir) { return !dir.empty() && dir.back() == ':'; }

}  // namespace

// A search works on the listing that FindFirst took, as the POSIX backend
// does; every step is a call that can fail, which breaks the listing off.
class VirtualListing : public DirectoryListing {
public:
    VirtualListing(VirtualFileSystem& fs, std::string pattern, std::vector<FoundEntry> entries)
        : m_fs(fs), m_pattern(std::move(pattern)), m_entries(std::move(entries)) {}
    Step Next(FoundEntry& entry, FileError& error) override {
        if (m_fs.Call(VirtualFileSystem::Op::Search, m_pattern, error)) return Step::Error;
        if (m_next >= m_entries.size()) return Step::End;
        entry = m_entries[m_next++];
        return Step::Entry;
    }

private:
    VirtualFileSystem& m_fs;
    std::string m_pattern;
    std::vector<FoundEntry> m_entries;
    size_t m_next = 0;
};

class VirtualInputFile : public InputFile {
public:
    VirtualInputFile(VirtualFileSystem& fs, std::string path, std::string bytes, FileFacts facts)
        : m_fs(fs), m_path(std::move(path)), m_bytes(std::move(bytes)), m_facts(std::move(facts)) {}
    bool Read(void* buffer, size_t size, size_t& got, FileError& error) override {
        if (m_fs.Call(VirtualFileSystem::Op::Read, m_path, error)) return false;
        size_t n = std::min(size, m_bytes.size() - m_pos);
        if (m_fs.m_readChunk) n = std::min(n, m_fs.m_readChunk);
        std::copy_n(m_bytes.data() + m_pos, n, static_cast<char*>(buffer));
        m_pos += n;
        got = n;
        return true;
    }
    const FileFacts& Facts() const override { return m_facts; }

private:
    VirtualFileSystem& m_fs;
    std::string m_path;
    std::string m_bytes;  // as the file was when it was opened
    FileFacts m_facts;
    size_t m_pos = 0;
};

// A new file, or (without a path to remove) one written in place.
class VirtualOutputFile : public OutputFile {
public:
    VirtualOutputFile(VirtualFileSystem& fs, std::string path, std::string target, bool inPlace)
        : m_fs(fs), m_path(std::move(path)), m_target(std::move(target)), m_inPlace(inPlace) {}
    bool Write(const void* data, size_t size, FileError& error) override {
        VirtualFileSystem::Node* node = m_fs.Find(m_path);
        const char* p = static_cast<const char*>(data);
        if (m_fs.Call(VirtualFileSystem::Op::Write, m_target, error)) {
            // A disk that fills up takes part of the data first.
            if (node) Put(*node, p, size / 2);
            return false;
        }
        if (!node || m_closed) {
            error = FileError{6, "The handle is invalid."};
            return false;
        }
        Put(*node, p, size);
        return true;
    }
    bool StartWriteback(FileError&) override { return true; }  // the flush decides what is kept
    bool Flush(FileError& error) override {
        if (m_fs.Call(VirtualFileSystem::Op::Close, m_target, error)) return false;
        FlushNow();
        return true;
    }
    bool Truncate(FileError&) override {
        if (m_fs.m_crashed) return true;
        if (VirtualFileSystem::Node* node = m_fs.Find(m_path)) {
            node->bytes.resize(m_at);
            node->changeTime = ++m_fs.m_clock;
            m_fs.Share(m_path);
        }
        return true;
    }
    bool Close(FileError& error) override {
        if (m_fs.Call(VirtualFileSystem::Op::Close, m_target, error)) return false;
        m_closed = true;
        return true;
    }
    void RemoveOnInterrupt() noexcept override {
        if (!m_inPlace) m_fs.m_nodes.erase(m_path);
    }
    const std::string& Target() const { return m_target; }
    const std::string& Path() const { return m_path; }
    void FlushNow() {
        if (m_fs.m_crashed) return;
        ++m_fs.m_flushes;
        if (VirtualFileSystem::Node* node = m_fs.Find(m_path)) {
            node->durable = node->bytes;
            m_fs.Share(m_path);
        }
    }

private:
    void Put(VirtualFileSystem::Node& node, const char* p, size_t size) {
        if (m_fs.m_crashed) return;
        node.bytes.replace(m_at, std::min(size, node.bytes.size() > m_at ? node.bytes.size() - m_at : 0),
                           p, size);
        m_at += size;
        node.lastWrite = node.changeTime = ++m_fs.m_clock;
        m_fs.Share(m_path);
    }
    VirtualFileSystem& m_fs;
    std::string m_path;
    std::string m_target;
    bool m_inPlace;
    size_t m_at = 0;
    bool m_closed = false;
};

const char* VirtualFileSystem::OpName(Op op) { return kOpNames[static_cast<int>(op)]; }

std::string VirtualFileSystem::Top() {
    return kPathSeparator == '\\' ? std::string("V:\\data") : std::string("/data");
}

std::string VirtualFileSystem::Path(const std::string& name) {
    std::string p = Top();
    if (!name.empty()) p += kPathSeparator;
    for (char c : name) p += c == '/' ? kPathSeparator : c;
    return p;
}

VirtualFileSystem::Node& VirtualFileSystem::NewNode(const std::string& path) {
    Node& node = m_nodes[path];
    node = Node();
    node.id = m_nextId++;
    node.lastWrite = node.changeTime = ++m_clock;
    node.owner = m_user;
    node.group = m_groups.empty() ? m_user : m_groups.front();
    return node;
}

void VirtualFileSystem::AddDirectory(const std::string& name) {
    std::string path = Top();
    size_t pos = 0;
    for (;;) {
        if (!Find(path)) {
            Node& node = NewNode(path);
            node.directory = true;
            node.attributes = FILE_ATTRIBUTE_DIRECTORY;
        }
        if (pos >= name.size()) break;
        size_t slash = name.find('/', pos);
        if (slash == std::string::npos) slash = name.size();
        path += kPathSeparator + name.substr(pos, slash - pos);
        pos = slash + 1;
    }
}

void VirtualFileSystem::AddFile(const std::string& name, const std::string& bytes, DWORD attributes) {
    size_t slash = name.rfind('/');
    AddDirectory(slash == std::string::npos ? "" : name.substr(0, slash));
    Node& node = NewNode(Path(name));
    node.bytes = node.durable = bytes;
    node.attributes = attributes;
    node.mode = (attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644;
}

void VirtualFileSystem::AddHardLink(const std::string& name, const std::string& existing) {
    m_nodes[Path(name)] = Changed(Resolve(Path(existing)));
}

VirtualFileSystem::Node& VirtualFileSystem::Changed(const std::string& path) {
    Node& node = m_nodes.at(path);
    node.changeTime = ++m_clock;
    Share(path);
    return node;
}

void VirtualFileSystem::Chmod(const std::string& path, uint32_t mode) {
    std::string at = Resolve(path);
    m_nodes.at(at).mode = mode;
    Changed(at);
}

void VirtualFileSystem::Chown(const std::string& path, uint32_t owner, uint32_t group) {
    std::string at = Resolve(path);
    m_nodes.at(at).owner = owner;
    m_nodes.at(at).group = group;
    Changed(at);
}

void VirtualFileSystem::SetXattr(const std::string& path, const std::string& name, const std::string& value) {
    std::string at = Resolve(path);
    m_nodes.at(at).xattrs[name] = value;
    Changed(at);
}

bool VirtualFileSystem::MayWrite(const Node& node) const {
    if (m_user == 0) return true;
    if (node.owner == m_user) return (node.mode & 0200) != 0;
    bool member = std::find(m_groups.begin(), m_groups.end(), node.group) != m_groups.end();
    return (node.mode & (member ? 0020 : 0002)) != 0;
}

bool VirtualFileSystem::MayGive(uint32_t owner, uint32_t group) const {
    return m_user == 0 || (owner == m_user && std::find(m_groups.begin(), m_groups.end(), group) != m_groups.end());
}

VirtualFileSystem::Node* VirtualFileSystem::NodeOf(const InputFile& read, std::string& path) {
    const FileFacts& facts = read.Facts();
    path = facts.target.str();
    Node* node = Find(path);
    if (node && node->id == facts.id.low) return node;
    for (auto& kv : m_nodes)
        if (kv.second.id == facts.id.low && kv.second.link.empty()) {
            path = kv.first;
            return &kv.second;
        }
    return nullptr;  // gone with its last name
}

void VirtualFileSystem::Share(const std::string& path) {
    const Node& changed = m_nodes[path];
    for (auto& kv : m_nodes)
        if (kv.second.id == changed.id && kv.first != path) kv.second = changed;
}

void VirtualFileSystem::Crash() {
    m_crashed = true;
    for (auto& kv : m_nodes) kv.second.bytes = kv.second.durable;
}

void VirtualFileSystem::AddLink(const std::string& name, const std::string& target) {
    size_t slash = name.rfind('/');
    AddDirectory(slash == std::string::npos ? "" : name.substr(0, slash));
    NewNode(Path(name)).link = Path(target);
}

void VirtualFileSystem::WriteInPlace(const std::string& path, const std::string& bytes) {
    std::string at = Resolve(path);
    Node* node = Find(at);
    node->bytes = node->durable = bytes;
    node->lastWrite = ++m_clock;
    Changed(at);
}

void VirtualFileSystem::ReplaceWithNew(const std::string& path, const std::string& bytes) {
    std::string at = Resolve(path);
    Node old = *Find(at);
    Node& node = NewNode(at);
    node.bytes = node.durable = bytes;
    node.attributes = old.attributes;
    node.mode = old.mode;
    node.owner = old.owner;
    node.group = old.group;
}

VirtualFileSystem::Node* VirtualFileSystem::Find(const std::string& path) {
    auto it = m_nodes.find(path);
    return it == m_nodes.end() ? nullptr : &it->second;
}

const VirtualFileSystem::Node* VirtualFileSystem::Find(const std::string& path) const {
    auto it = m_nodes.find(path);
    return it == m_nodes.end() ? nullptr : &it->second;
}

std::string VirtualFileSystem::Resolve(std::string path) const {
    for (int hops = 0; hops < 40; ++hops) {
        bool followed = false;
        for (size_t end = Top().size(); end != std::string::npos && !followed;
             end = path.find(kPathSeparator, end + 1)) {
            const Node* node = Find(path.substr(0, end));
            if (node && !node->link.empty()) {
                path = node->link + path.substr(end);
                followed = true;
            }
        }
        const Node* whole = followed ? nullptr : Find(path);
        if (whole && !whole->link.empty()) {
            path = whole->link;
            followed = true;
        }
        if (!followed) return path;
    }
    return path;
}

FileFacts VirtualFileSystem::FactsOf(const Node& node) const {
    FileFacts f;
    f.attributes = node.directory ? DWORD(FILE_ATTRIBUTE_DIRECTORY) : node.attributes;
    f.size = node.bytes.size();
    f.lastWrite = node.lastWrite;
    f.changeTime = node.changeTime;
    f.mode = node.mode;
    f.owner = node.owner;
    f.group = node.group;
    f.id.volume = 1;
    f.id.low = node.id;
    f.id.known = true;
    f.links = 0;
    for (const auto& kv : m_nodes) f.links += kv.second.id == node.id ? 1 : 0;
    return f;
}

std::string VirtualFileSystem::Bytes(const std::string& path) const {
    const Node* node = Find(path);
    if (!node) return "<missing>";
    if (!node->link.empty()) return "<link>";
    return node->directory ? "<directory>" : node->bytes;
}

DWORD VirtualFileSystem::Attributes(const std::string& path) const {
    const Node* node = Find(path);
    return node ? node->attributes : 0;
}

uint32_t VirtualFileSystem::Mode(const std::string& path) const {
    const Node* node = Find(path);
    return node ? node->mode : 0;
}


std::vector<std::string> VirtualFileSystem::Entries() const {
    std::vector<std::string> out;
    for (const auto& kv : m_nodes) out.push_back(kv.first);
    return out;
}

void VirtualFileSystem::FailAt(Op op, int count) {
    m_failOp = op;
    m_failAt = count;
}

bool VirtualFileSystem::Touched(const std::string& path) const {
    for (const std::string& line : m_log) {
        size_t space = line.find(' ');
        if (line.compare(space + 1, std::string::npos, path) == 0) return true;
    }
    return false;
}

bool VirtualFileSystem::Modified(const std::string& path) const {
    for (const char* op : {"attributes ", "replace ", "in-place "})
        for (const std::string& line : m_log)
            if (line == op + path) return true;
    return false;
}

bool VirtualFileSystem::Call(Op op, const std::string& path, FileError& error) {
    if (beforeCall && !m_crashed) beforeCall(op, path);
    int n = ++m_calls[static_cast<int>(op)];
    m_log.push_back(std::string(OpName(op)) + " " + path);
    if (op != m_failOp || n != m_failAt) return false;
    m_faulted = true;
    m_faultPath = path;
    error = FileError{kInjectedError, "Injected fault."};
    return true;
}

std::unique_ptr<DirectoryListing> VirtualFileSystem::FindFirst(const CString& patternText, CString& root,
                                                               FileError& error) {
    error = FileError();
    const std::string& pattern = patternText.str();
    FileError injected;
    if (Call(Op::Search, pattern, injected)) {
        m_faultAtSearchStart = true;
        if (m_searchErrors) error = injected;
        return nullptr;
    }
    size_t cut = pattern.rfind(kPathSeparator);
    if (cut == std::string::npos) return nullptr;  // only full paths here
    std::string dir = pattern.substr(0, cut);
    std::string name = pattern.substr(cut + 1);
    if (name.empty()) return nullptr;

    auto found = [this](const std::string& entryName, const std::string& path) {
        const Node* node = Find(Resolve(path));
        FoundEntry entry;
        entry.name = CString(entryName);
        entry.facts.attributes = FILE_ATTRIBUTE_NORMAL;  // a link that leads nowhere
        if (node) entry.facts = FactsOf(*node);
        return entry;
    };
    std::vector<FoundEntry> entries;
    if (!HasWildcards(name)) {
        if (!Find(pattern) && !Find(Resolve(pattern))) return nullptr;
        entries.push_back(found(name, pattern));
    } else {
        const Node* parent = Find(Resolve(dir));
        if (!parent || !parent->directory) return nullptr;
        if (!IsDriveRoot(dir) && !dir.empty()) {
            for (const char* dots : {".", ".."})
                if (MatchesWildcard(name, dots)) entries.push_back(found(dots, dir));
        }
        std::string prefix = Resolve(dir) + kPathSeparator;
        for (auto it = m_nodes.lower_bound(prefix); it != m_nodes.end(); ++it) {
            const std::string& key = it->first;
            if (key.compare(0, prefix.size(), prefix) != 0) break;
            std::string child = key.substr(prefix.size());
            if (child.find(kPathSeparator) != std::string::npos || !MatchesWildcard(name, child)) continue;
            entries.push_back(found(child, key));
        }
        if (entries.empty()) return nullptr;
        SortLikeWindows(entries);
    }
    root = CString(dir.empty() || IsDriveRoot(dir) ? dir + kPathSeparator : dir);
    return std::make_unique<VirtualListing>(*this, pattern, std::move(entries));
}

std::unique_ptr<InputFile> VirtualFileSystem::OpenRead(const CString& pathText, FileError& error) {
    const std::string& path = pathText.str();
    if (Call(Op::Open, path, error)) return nullptr;
    std::string target = Resolve(path);
    const Node* node = Find(target);
    if (!node || node->directory) {
        error = node ? kDenied : kNotFound;
        return nullptr;
    }
    FileFacts facts = FactsOf(*node);
    facts.target = CString(target);
    return std::make_unique<VirtualInputFile>(*this, path, node->bytes, facts);
}

bool VirtualFileSystem::Identify(const CString& pathText, FileFacts& facts, FileError& error) {
    const std::string& path = pathText.str();
    if (Call(Op::Identify, path, error)) return false;
    const Node* node = Find(Resolve(path));
    if (!node) {
        error = kNotFound;
        return false;
    }
    facts = FactsOf(*node);
    return true;
}

bool VirtualFileSystem::SetAttributes(const CString& pathText, const InputFile& file, DWORD attributes,
                                      FileFacts& facts, FileError& error) {
    const std::string& path = pathText.str();
    if (Call(Op::Attributes, path, error)) return false;
    // On the file that was read, whatever the name leads to now, and only
    // while it is as it was read; only its owner (or root) may.
    std::string at;
    Node* node = NodeOf(file, at);
    if (!node) {
        error = kNotFound;
        return false;
    }
    if (!SameFileUnchanged(FactsOf(*node), facts) || (m_user != 0 && node->owner != m_user)) {
        error = kDenied;
        return false;
    }
    if (m_crashed) return true;
    node->attributes = attributes;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        node->mode &= ~0222u;
    else
        node->mode |= 0200;
    Changed(at);
    facts.attributes = node->attributes;
    facts.mode = node->mode;
    facts.changeTime = node->changeTime;
    return true;
}

std::unique_ptr<OutputFile> VirtualFileSystem::CreateExclusive(const CString& pathText, const FileFacts& like,
                                                               FileError& error) {
    const std::string& path = pathText.str();
    std::string target = like.target.IsEmpty() ? path : like.target.str();
    if (Call(Op::CreateTemp, target, error)) return nullptr;
    const Node* parent = Find(path.substr(0, path.rfind(kPathSeparator)));
    if (Find(path) || !parent || !parent->directory) {
        error = parent ? FileError{80, "The file exists.", true} : kNotFound;
        return nullptr;
    }
    // No more than a write into the file itself would be allowed, once the
    // attributes step has let its owner write.
    const Node* old = like.target.IsEmpty() ? nullptr : Find(like.target.str());
    if (old && old->owner != m_user && !MayWrite(*old)) {
        error = kDenied;
        return nullptr;
    }
    if (m_crashed) return nullptr;
    Node& made = NewNode(path);
    made.attributes = FILE_ATTRIBUTE_ARCHIVE;
    made.mode = like.mode & 0755;  // as a umask of 022 lets through
    return std::make_unique<VirtualOutputFile>(*this, path, target, false);
}

bool VirtualFileSystem::Replace(const CString& fromText, const CString& toText, FileError& error) {
    const std::string& from = fromText.str();
    const std::string& to = toText.str();
    if (Call(Op::Replace, to, error)) {
        if (m_replaceLosesTarget && !m_crashed) {
            m_nodes.erase(to);
            error.keepNew = true;
        }
        return false;
    }
    const Node* target = Find(to);
    const Node* moved = Find(from);
    if (!target || !moved) {
        error = kNotFound;
        return false;
    }
    if (target->directory || (target->attributes & FILE_ATTRIBUTE_READONLY)) {
        error = kDenied;
        return false;
    }
    if (m_crashed) return true;
    m_nodes[to] = *moved;
    m_nodes.erase(from);
    m_nodes[to].changeTime = ++m_clock;
    return true;
}

bool VirtualFileSystem::Remove(const CString& pathText, FileError& error) {
    if (m_crashed) return true;
    m_log.push_back("remove " + pathText.str());
    if (m_nodes.erase(pathText.str()) == 0) {
        error = kNotFound;
        return false;
    }
    return true;
}

bool VirtualFileSystem::CopyIdentity(const InputFile& from, const FileFacts& facts, OutputFile& to, FileError& error) {
    // Owner, group, bits and extended attributes, as the process may give
    // them; the attributes are those of the held file as they are now.
    const std::string& path = static_cast<VirtualOutputFile&>(to).Path();
    m_log.push_back("copy-identity " + path);
    std::string at;
    const Node* old = NodeOf(from, at);
    Node* made = Find(path);
    if (!old || !made || !MayGive(facts.owner, facts.group)) {
        error = kDenied;
        return false;
    }
    if (m_crashed) return true;
    made->owner = facts.owner;
    made->group = facts.group;
    made->mode = facts.mode;
    made->xattrs = old->xattrs;
    made->changeTime = ++m_clock;
    return true;
}

std::unique_ptr<OutputFile> VirtualFileSystem::OpenInPlace(const CString& nameText, std::unique_ptr<InputFile>&,
                                                           const FileFacts& expected, FileError& error) {
    const std::string& name = nameText.str();
    if (Call(Op::Open, name, error)) return nullptr;
    std::string target = Resolve(name);
    const Node* node = Find(target);
    if (!node || node->directory || !SameFileUnchanged(FactsOf(*node), expected) || !MayWrite(*node)) {
        error = kDenied;
        return nullptr;
    }
    m_log.push_back("in-place " + name);
    return std::make_unique<VirtualOutputFile>(*this, target, target, true);
}

bool VirtualFileSystem::FlushAll(const std::vector<OutputFile*>& files, FileError& error) {
    // Fails as the flush of the first file would.
    if (!files.empty() && Call(Op::Close, static_cast<VirtualOutputFile*>(files[0])->Target(), error)) return false;
    for (OutputFile* file : files) static_cast<VirtualOutputFile*>(file)->FlushNow();
    return true;
}

bool VirtualFileSystem::FlushDirectoryOf(const CString& path, FileError& error) {
    // Only a file that is there has an entry to put on the disk.
    m_log.push_back("flush-directory " + path.str());
    if (!m_crashed && !Find(path.str())) {
        error = kNotFound;
        return false;
    }
    return true;
}
