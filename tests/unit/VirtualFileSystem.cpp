#include "VirtualFileSystem.h"

#include <algorithm>

#include "../../platform/PathMatch.h"

namespace {

const char* const kOpNames[VirtualFileSystem::kOpCount] = {
    "search", "open", "read", "write", "close", "attributes", "create-temp", "replace", "directory-id",
};

const long kInjectedError = 5;  // what Windows calls ERROR_ACCESS_DENIED

bool IsDriveRoot(const std::string& dir) { return !dir.empty() && dir.back() == ':'; }

}  // namespace

// A search works on the listing that FindFirst took, as the POSIX backend
// does; every step is a call that can fail, which ends the listing early.
class VirtualSearch : public FileSearch {
public:
    VirtualSearch(VirtualFileSystem& fs, std::string pattern, std::vector<FindEntry> entries)
        : m_fs(fs), m_pattern(std::move(pattern)), m_entries(std::move(entries)) {}
    bool Next(FindEntry& entry) override {
        FileError ignored;
        if (m_fs.Call(VirtualFileSystem::Op::Search, m_pattern, ignored)) return false;
        if (m_next >= m_entries.size()) return false;
        entry = m_entries[m_next++];
        return true;
    }

private:
    VirtualFileSystem& m_fs;
    std::string m_pattern;
    std::vector<FindEntry> m_entries;
    size_t m_next = 0;
};

class VirtualInputFile : public InputFile {
public:
    VirtualInputFile(VirtualFileSystem& fs, std::string path, std::string bytes)
        : m_fs(fs), m_path(std::move(path)), m_bytes(std::move(bytes)) {}
    bool Read(void* buffer, size_t size, size_t& got, FileError& error) override {
        if (m_fs.Call(VirtualFileSystem::Op::Read, m_path, error)) return false;
        size_t n = std::min(size, m_bytes.size() - m_pos);
        if (m_fs.m_readChunk) n = std::min(n, m_fs.m_readChunk);
        std::copy_n(m_bytes.data() + m_pos, n, static_cast<char*>(buffer));
        m_pos += n;
        got = n;
        return true;
    }

private:
    VirtualFileSystem& m_fs;
    std::string m_path;
    std::string m_bytes;  // as the file was when it was opened
    size_t m_pos = 0;
};

class VirtualReplacementFile : public ReplacementFile {
public:
    VirtualReplacementFile(VirtualFileSystem& fs, std::string temp, std::string target)
        : m_fs(fs), m_temp(std::move(temp)), m_target(std::move(target)) {}
    ~VirtualReplacementFile() override {
        if (!m_replaced) m_fs.m_nodes.erase(m_temp);
    }
    bool Write(const void* data, size_t size, FileError& error) override {
        VirtualFileSystem::Node* temp = m_fs.Find(m_temp);
        const char* p = static_cast<const char*>(data);
        if (m_fs.Call(VirtualFileSystem::Op::Write, m_target, error)) {
            // A disk that fills up takes part of the data first.
            if (temp) temp->bytes.append(p, size / 2);
            return false;
        }
        if (!temp || m_closed) {
            error = FileError{6, "The handle is invalid."};
            return false;
        }
        temp->bytes.append(p, size);
        return true;
    }
    bool Close(FileError& error) override {
        if (m_fs.Call(VirtualFileSystem::Op::Close, m_target, error)) return false;
        m_closed = true;
        return true;
    }
    bool Replace(FileError& error) override {
        if (m_fs.Call(VirtualFileSystem::Op::Replace, m_target, error)) return false;
        VirtualFileSystem::Node* target = m_fs.Find(m_target);
        VirtualFileSystem::Node* temp = m_fs.Find(m_temp);
        if (!m_closed || !temp || (target && (target->directory || (target->attributes & FILE_ATTRIBUTE_READONLY)))) {
            error = FileError{kInjectedError, "Access is denied."};
            return false;
        }
        VirtualFileSystem::Node moved = *temp;
        m_fs.m_nodes.erase(m_temp);
        m_fs.m_nodes[m_target] = moved;
        m_replaced = true;
        return true;
    }

private:
    VirtualFileSystem& m_fs;
    std::string m_temp;
    std::string m_target;
    bool m_closed = false;
    bool m_replaced = false;
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

void VirtualFileSystem::AddDirectory(const std::string& name) {
    std::string path = Top();
    m_nodes[path].directory = true;
    size_t pos = 0;
    while (pos < name.size()) {
        size_t slash = name.find('/', pos);
        if (slash == std::string::npos) slash = name.size();
        path += kPathSeparator + name.substr(pos, slash - pos);
        Node& node = m_nodes[path];
        node.directory = true;
        node.attributes = FILE_ATTRIBUTE_DIRECTORY;
        if (!node.id) node.id = m_nextId++;
        pos = slash + 1;
    }
    Node& top = m_nodes[Top()];
    top.attributes = FILE_ATTRIBUTE_DIRECTORY;
    if (!top.id) top.id = m_nextId++;
}

void VirtualFileSystem::AddFile(const std::string& name, const std::string& bytes, DWORD attributes) {
    size_t slash = name.rfind('/');
    AddDirectory(slash == std::string::npos ? "" : name.substr(0, slash));
    Node& node = m_nodes[Path(name)];
    node.directory = false;
    node.bytes = bytes;
    node.attributes = attributes;
}

VirtualFileSystem::Node* VirtualFileSystem::Find(const std::string& path) {
    auto it = m_nodes.find(path);
    return it == m_nodes.end() ? nullptr : &it->second;
}

const VirtualFileSystem::Node* VirtualFileSystem::Find(const std::string& path) const {
    auto it = m_nodes.find(path);
    return it == m_nodes.end() ? nullptr : &it->second;
}

std::string VirtualFileSystem::Bytes(const std::string& path) const {
    const Node* node = Find(path);
    if (!node) return "<missing>";
    return node->directory ? "<directory>" : node->bytes;
}

DWORD VirtualFileSystem::Attributes(const std::string& path) const {
    const Node* node = Find(path);
    return node ? node->attributes : 0;
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

bool VirtualFileSystem::Call(Op op, const std::string& path, FileError& error) {
    int n = ++m_calls[static_cast<int>(op)];
    m_log.push_back(std::string(OpName(op)) + " " + path);
    if (op != m_failOp || n != m_failAt) return false;
    m_faulted = true;
    m_faultPath = path;
    error = FileError{kInjectedError, "Injected fault."};
    return true;
}

std::unique_ptr<FileSearch> VirtualFileSystem::FindFirst(const CString& patternText, FindEntry& first,
                                                         CString& root, FileError& error) {
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

    std::vector<FindEntry> entries;
    if (!HasWildcards(name)) {
        const Node* node = Find(pattern);
        if (!node) return nullptr;
        entries.push_back(FindEntry{CString(name), node->directory ? DWORD(FILE_ATTRIBUTE_DIRECTORY) : node->attributes});
    } else {
        const Node* parent = Find(dir);
        if (!parent || !parent->directory) return nullptr;
        if (!IsDriveRoot(dir) && !dir.empty()) {
            for (const char* dots : {".", ".."})
                if (MatchesWildcard(name, dots)) entries.push_back(FindEntry{CString(dots), FILE_ATTRIBUTE_DIRECTORY});
        }
        std::string prefix = dir + kPathSeparator;
        for (auto it = m_nodes.lower_bound(prefix); it != m_nodes.end(); ++it) {
            const std::string& key = it->first;
            if (key.compare(0, prefix.size(), prefix) != 0) break;
            std::string child = key.substr(prefix.size());
            if (child.find(kPathSeparator) != std::string::npos || !MatchesWildcard(name, child)) continue;
            entries.push_back(FindEntry{CString(child), it->second.directory ? DWORD(FILE_ATTRIBUTE_DIRECTORY)
                                                                             : it->second.attributes});
        }
        if (entries.empty()) return nullptr;
        SortLikeWindows(entries);
    }
    root = CString(dir.empty() || IsDriveRoot(dir) ? dir + kPathSeparator : dir);
    first = entries.front();
    entries.erase(entries.begin());
    return std::make_unique<VirtualSearch>(*this, pattern, std::move(entries));
}

std::unique_ptr<InputFile> VirtualFileSystem::OpenRead(const CString& pathText, FileError& error) {
    const std::string& path = pathText.str();
    if (Call(Op::Open, path, error)) return nullptr;
    const Node* node = Find(path);
    if (!node || node->directory) {
        error = FileError{node ? kInjectedError : 2, node ? "Access is denied." : "The system cannot find the file specified."};
        return nullptr;
    }
    return std::make_unique<VirtualInputFile>(*this, path, node->bytes);
}

std::unique_ptr<ReplacementFile> VirtualFileSystem::CreateReplacement(const CString& pathText, FileError& error) {
    const std::string& path = pathText.str();
    if (Call(Op::CreateTemp, path, error)) return nullptr;
    const Node* target = Find(path);
    if (!target || target->directory) {
        error = FileError{2, "The system cannot find the file specified."};
        return nullptr;
    }
    std::string temp = path + "." + std::to_string(m_nextTemp++) + ".tmp";
    Node& node = m_nodes[temp];
    node.attributes = FILE_ATTRIBUTE_ARCHIVE;
    return std::make_unique<VirtualReplacementFile>(*this, temp, path);
}

BOOL VirtualFileSystem::SetFileAttributesA(const CString& pathText, DWORD attributes) {
    const std::string& path = pathText.str();
    FileError ignored;
    if (Call(Op::Attributes, path, ignored)) return FALSE;
    Node* node = Find(path);
    if (!node) return FALSE;
    node->attributes = node->directory ? (attributes | FILE_ATTRIBUTE_DIRECTORY) : attributes;
    return TRUE;
}

bool VirtualFileSystem::GetDirectoryId(const CString& pathText, DirectoryId& id) {
    const std::string& path = pathText.str();
    FileError ignored;
    if (Call(Op::DirectoryId, path, ignored)) return false;
    const Node* node = Find(path);
    if (!node || !node->directory) return false;
    id.volume = 1;
    id.index = node->id;
    return true;
}
