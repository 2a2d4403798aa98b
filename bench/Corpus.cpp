// Seeded generator of record-file corpora for the benchmarks. The same seed
// and sizes give the same bytes on every machine.
#include "Corpus.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// splitmix64: small, fast and identical everywhere.
class Random {
public:
    explicit Random(uint64_t seed) : m_state(seed) {}
    uint64_t Next() {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [lo, hi].
    int Between(int lo, int hi) { return lo + static_cast<int>(Next() % static_cast<uint64_t>(hi - lo + 1)); }
    bool Chance(int percent) { return Between(1, 100) <= percent; }
    template <size_t N>
    const char* Pick(const char* const (&list)[N]) { return list[Next() % N]; }

private:
    uint64_t m_state;
};

const char* const kKeyParts[] = {
    "order", "Stock", "price", "Unit", "weight", "Label", "colour", "width", "Shelf", "description",
    "invoice", "Supplier", "code", "Batch", "volume", "Rate", "height", "Tax", "count", "Region",
    "max", "Min", "limit", "Period", "depth", "Cost", "margin", "Size", "offset", "Bonus", "pattern",
    "Font", "border", "Layout", "column", "Row", "header", "Formula", "global", "Status",
};
const char* const kWords[] = {
    "paper", "Desk", "of", "the", "plain", "Lamp", "copper", "table", "quick", "North",
    "silver", "chair", "steel", "Oak", "harbour", "amber", "linen", "Granite", "garden", "path",
};
const char* const kFolders[] = {
    "records", "items", "catalogue", "Shared", "parts", "Archive", "ui", "media", "layouts", "Reports",
};

std::string Key(Random& rng) {
    std::string key = rng.Pick(kKeyParts);
    int parts = rng.Between(0, 2);
    for (int i = 0; i < parts; ++i) key += rng.Pick(kKeyParts);
    if (rng.Chance(30)) key += std::to_string(rng.Between(1, 40));
    if (rng.Chance(10)) key += "_" + std::string(rng.Pick(kWords));
    return key;
}

std::string Value(Random& rng) {
    switch (rng.Between(0, 3)) {
    case 0:
        return std::to_string(rng.Between(-100, 100000));
    case 1:
        return std::to_string(rng.Between(0, 999)) + "." + std::to_string(rng.Between(0, 999999));
    case 2: {
        std::string path = rng.Pick(kFolders);
        int depth = rng.Between(1, 3);
        for (int i = 0; i < depth; ++i) path += std::string("\\") + rng.Pick(kFolders);
        return path + "\\" + rng.Pick(kWords) + "_" + std::to_string(rng.Between(0, 999)) + ".dbr";
    }
    default: {
        std::string text = rng.Pick(kWords);
        int words = rng.Between(0, 4);
        for (int i = 0; i < words; ++i) text += std::string(" ") + rng.Pick(kWords);
        return text;
    }
    }
}

std::string TemplateLine(Random& rng) {
    return std::string("templateName,database\\templates\\") + rng.Pick(kWords) + "_" +
           std::to_string(rng.Between(0, 99)) + ".tpl,";
}

// The lines of one record file in file order, before line breaks: one
// template line at a random place, about 5 % empty values and some blanks.
std::vector<std::string> RecordLines(Random& rng, int count, bool normalForm) {
    std::vector<std::string> lines;
    lines.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count - 1; ++i) {
        if (!normalForm && rng.Chance(5)) {
            lines.push_back(Key(rng) + ",,");
        } else if (!normalForm && rng.Chance(2)) {
            lines.emplace_back();
        } else {
            lines.push_back(Key(rng) + "," + Value(rng) + ",");
        }
    }
    if (normalForm) {
        std::sort(lines.begin(), lines.end());  // std::string orders unsigned bytes
        lines.insert(lines.begin(), TemplateLine(rng));
    } else {
        lines.insert(lines.begin() + rng.Between(0, count - 1), TemplateLine(rng));
    }
    return lines;
}

enum class Breaks { CrLf, Lf, Mixed };

void AppendLines(std::string& out, Random& rng, const std::vector<std::string>& lines, Breaks breaks,
                 bool finalBreak) {
    for (size_t i = 0; i < lines.size(); ++i) {
        out += lines[i];
        if (i + 1 == lines.size() && !finalBreak) break;
        bool crlf = breaks == Breaks::CrLf || (breaks == Breaks::Mixed && rng.Chance(50));
        out += crlf ? "\r\n" : "\n";
    }
}

bool WriteFile(const std::string& path, const std::string& content) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "tervalo-corpus: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok) std::fprintf(stderr, "tervalo-corpus: cannot write %s\n", path.c_str());
    return ok;
}

bool MakeDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
    std::fprintf(stderr, "tervalo-corpus: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
}

std::string Name(Random& rng) {
    std::string name = rng.Pick(kWords);
    name += rng.Pick(kKeyParts);
    return name + std::to_string(rng.Between(0, 9999));
}

}  // namespace

int MakeTree(const std::string& root, int files, uint64_t seed) {
    Random rng(seed);
    if (!MakeDirectory(root)) return 1;
    // Directories: each hangs below a random earlier one, at most six deep.
    struct Dir {
        std::string path;
        int depth;
    };
    std::vector<Dir> dirs{{root, 0}};
    int dirCount = std::max(1, files / 20);
    for (int i = 0; i < dirCount; ++i) {
        const Dir parent = dirs[rng.Next() % dirs.size()];
        if (parent.depth >= 6) continue;
        Dir d{parent.path + "/" + Name(rng) + "_" + std::to_string(i), parent.depth + 1};
        if (!MakeDirectory(d.path)) return 1;
        dirs.push_back(d);
    }
    std::string content;
    for (int i = 0; i < files; ++i) {
        const Dir& dir = dirs[rng.Next() % dirs.size()];
        bool normalForm = rng.Chance(10);
        std::vector<std::string> lines = RecordLines(rng, rng.Between(20, 400), normalForm);
        Breaks breaks = normalForm ? Breaks::CrLf
                                   : static_cast<Breaks>(rng.Between(0, 2));
        content.clear();
        AppendLines(content, rng, lines, breaks, normalForm || !rng.Chance(10));
        const char* suffix = rng.Chance(5) ? ".DBR" : ".dbr";
        if (!WriteFile(dir.path + "/" + Name(rng) + "_" + std::to_string(i) + suffix, content)) return 1;
        // Now and then a file that the walk passes over.
        if (rng.Chance(2)) {
            static const char* const kOthers[] = {".txt", ".dbrx", ".dbr.bak", ".tpl"};
            if (!WriteFile(dir.path + "/" + Name(rng) + rng.Pick(kOthers), "not a record file\n")) return 1;
        }
    }
    return 0;
}

std::string BigFileContent(int lines, uint64_t seed) {
    Random rng(seed);
    std::string content;
    content.reserve(static_cast<size_t>(lines) * 40);
    AppendLines(content, rng, RecordLines(rng, lines, false), Breaks::CrLf, true);
    return content;
}

int MakeBig(const std::string& path, int lines, uint64_t seed) {
    return WriteFile(path, BigFileContent(lines, seed)) ? 0 : 1;
}

namespace {

// Rewrites files one after the other; durable, it starts each new file's
// writeback, and puts a batch (as many files and bytes as the program's own
// batch) on the disk with one flush before any of them is renamed.
class Rewriter {
public:
    explicit Rewriter(bool durable) : m_durable(durable) {}
    ~Rewriter() { (void)Finish(); }

    bool File(const std::string& path) {
        int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) return false;
        size_t size = 0;
        for (;;) {
            if (m_buffer.size() - size < 65536) m_buffer.resize(m_buffer.size() * 2 + 65536);
            ssize_t n = read(in, m_buffer.data() + size, m_buffer.size() - size);
            if (n <= 0) {
                close(in);
                if (n < 0) return false;
                break;
            }
            size += static_cast<size_t>(n);
        }
        std::string temp = path + ".rewrite-tmp";
        int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (out < 0) return false;
        bool ok = write(out, m_buffer.data(), size) == static_cast<ssize_t>(size);
        if (ok && m_durable) (void)sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE);
        m_pending.push_back({out, temp, path});
        m_bytes += size;
        if (!ok) return Finish() && false;
        return m_pending.size() >= 64 || m_bytes >= (64u << 20) || !m_durable ? Finish() : true;
    }

    bool Finish() {
        bool ok = !m_durable || m_pending.empty() || syncfs(m_pending.front().fd) == 0;
        for (const Pending& p : m_pending) {
            ok = close(p.fd) == 0 && ok;
            if (!ok || rename(p.temp.c_str(), p.path.c_str()) != 0) {
                unlink(p.temp.c_str());
                ok = false;
            }
        }
        m_pending.clear();
        m_bytes = 0;
        return ok;
    }

    bool Below(const std::string& dir) {
        DIR* d = opendir(dir.c_str());
        if (!d) return false;
        std::vector<std::pair<std::string, bool>> entries;
        while (dirent* de = readdir(d)) {
            std::string name = de->d_name;
            if (name == "." || name == "..") continue;
            entries.emplace_back(dir + "/" + name, de->d_type == DT_DIR);
        }
        closedir(d);
        for (const auto& [path, isDir] : entries) {
            if (!(isDir ? Below(path) : File(path))) {
                std::fprintf(stderr, "tervalo-corpus: cannot rewrite %s\n", path.c_str());
                return false;
            }
        }
        return true;
    }

private:
    struct Pending {
        int fd;
        std::string temp, path;
    };
    bool m_durable;
    std::vector<char> m_buffer;
    std::vector<Pending> m_pending;
    size_t m_bytes = 0;
};

}  // namespace

int RewriteTree(const std::string& root, bool durable) {
    Rewriter rewriter(durable);
    return rewriter.Below(root) && rewriter.Finish() ? 0 : 1;
}
