#include "TestSupport.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "../../platform/Types.h"

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    fs::path base = fs::temp_directory_path();
    for (int i = 0; i < 100; ++i) {
        fs::path p = base / ("tervalo-test-" + std::to_string(rd()) + "-" + std::to_string(counter++));
        if (fs::create_directory(p)) {
            m_root = fs::absolute(p).string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ec;
    // Files may have been left read-only.
    for (auto it = fs::recursive_directory_iterator(m_root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_root, ec);
}

std::string TempDir::Path(const std::string& name) const {
    std::string p = m_root;
    if (!name.empty()) {
        p += kPathSeparator;
        for (char c : name) p += c == '/' ? kPathSeparator : c;
    }
    return p;
}

void TempDir::Write(const std::string& name, const std::string& bytes) const {
    fs::path p(Path(name));
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + p.string());
}

std::string TempDir::Read(const std::string& name) const {
    std::ifstream in(fs::path(Path(name)), std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool TempDir::Exists(const std::string& name) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(fs::path(Path(name)), ec));
}

void TempDir::MakeDir(const std::string& name) const { fs::create_directories(fs::path(Path(name))); }

std::vector<std::string> TempDir::Files() const {
    std::vector<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(m_root)) {
        if (e.is_directory()) continue;
        std::string rel = fs::relative(e.path(), m_root).generic_string();
        out.push_back(rel);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string Crlf(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\r\n";
    return s;
}
