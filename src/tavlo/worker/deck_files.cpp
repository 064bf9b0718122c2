#include "tavlo/worker/deck_files.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>

#include "tavlo/base/text.hpp"

namespace tavlo {

const char* const kControlWithParams =
    "params cannot be used with a netlist that has its own .control block: ngspice runs the block "
    "while it parses the netlist, before the parameters are set; pass the block's commands as the "
    "request's commands instead";

namespace {

// A file modified less than this before it is stamped has its content hashed as well.
constexpr std::int64_t kRecentNs = 2'000'000'000;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool same_metadata(const FileStamp& a, const FileStamp& b) {
    return a.exists == b.exists && a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.mtime_ns == b.mtime_ns;
}

// ngspice splits deck lines at ASCII white space; file bytes need not be UTF-8.
bool blank_char(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view strip(std::string_view s) {
    while (!s.empty() && blank_char(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank_char(s.back())) s.remove_suffix(1);
    return s;
}

// The next word, quotes removed; `s` moves past it.
std::string_view next_word(std::string_view& s) {
    s = strip(s);
    if (s.empty()) return {};
    if (s.front() == '"' || s.front() == '\'') {
        const char quote = s.front();
        std::size_t end = s.find(quote, 1);
        std::string_view word = s.substr(1, end == std::string_view::npos ? std::string_view::npos : end - 1);
        s.remove_prefix(end == std::string_view::npos ? s.size() : end + 1);
        return word;
    }
    std::size_t end = 0;
    while (end < s.size() && !blank_char(s[end])) ++end;
    std::string_view word = s.substr(0, end);
    s.remove_prefix(end);
    return word;
}

template <class Fn>
void for_each_line(std::string_view text, Fn&& fn) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t nl = text.find('\n', start);
        fn(strip(text.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start)));
        if (nl == std::string_view::npos) break;
        start = nl + 1;
    }
}

std::string directory_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string resolve(std::string_view name, const std::string& dir) {
    if (name.starts_with("~/")) {
        const char* home = std::getenv("HOME");
        return std::string(home ? home : "") + std::string(name.substr(1));
    }
    if (name.starts_with('/') || dir.empty()) return std::string(name);
    return dir + "/" + std::string(name);
}

// The lines ngspice numbers: no comments or blank lines, continuations joined, and a .param line
// split into one per assignment (counted by its '=' signs, which can only overcount).
std::size_t logical_lines(std::string_view text) {
    std::size_t n = 0;
    bool param = false;
    auto assignments = [](std::string_view line) {
        return static_cast<std::size_t>(std::count(line.begin(), line.end(), '='));
    };
    for_each_line(text, [&](std::string_view line) {
        if (line.empty() || line.front() == '*') return;
        if (line.front() == '+') {
            if (param) n += assignments(line);
            return;
        }
        param = starts_with_ci(line, ".param");
        n += param ? std::max<std::size_t>(1, assignments(line)) : 1;
    });
    return n;
}

struct Scanner {
    DeckFiles out;
    std::set<std::string> seen;
    std::map<std::string, std::size_t> lines_of;
    // A file reached again by another spelling ("parts/../top.lib") is the same file: by inode.
    std::set<std::pair<std::uint64_t, std::uint64_t>> scanned;

    // `dir` is empty at the top level: ngspice then resolves against the working directory.
    void scan(std::string_view text, const std::string& dir, bool top_level) {
        for_each_line(text, [&](std::string_view line) {
            if (!line.starts_with('.')) return;
            std::string_view rest = line;
            std::string_view keyword = next_word(rest);
            if (equals_ignore_ascii_case(keyword, ".control")) out.has_control = true;
            const bool include = starts_with_ci(keyword, ".inc");
            const bool library = equals_ignore_ascii_case(keyword, ".lib");
            if (!include && !library) return;
            std::string_view name = next_word(rest);
            if (name.empty()) return;
            // Inside a library file a one-word .lib opens a section; elsewhere it names a file.
            if (library && !top_level && next_word(rest).empty()) return;
            visit(resolve(name, dir), include);
        });
    }

    void visit(const std::string& path, bool include) {
        if (!seen.insert(path).second) {
            if (include) out.lines += lines_of[path];  // an include is read again every time
            return;
        }
        FileStamp stamp = stamp_file(path);
        if (stamp.exists && !scanned.emplace(stamp.device, stamp.inode).second) return;
        out.files.push_back(stamp);
        if (!stamp.exists) return;
        std::string text = read_file(path);
        out.lines += lines_of[path] = logical_lines(text);
        scan(text, directory_of(path), false);
    }
};

}  // namespace

FileStamp stamp_file(const std::string& path) {
    FileStamp s;
    s.path = path;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return s;
    s.exists = true;
    s.device = st.st_dev;
    s.inode = st.st_ino;
    s.size = static_cast<std::uint64_t>(st.st_size);
    s.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    if (now - s.mtime_ns < kRecentNs) s.content_hash = std::hash<std::string>{}(read_file(path));
    return s;
}

bool stamps_unchanged(const std::vector<FileStamp>& stamps) {
    for (const FileStamp& then : stamps) {
        FileStamp now = stamp_file(then.path);
        if (!same_metadata(now, then)) return false;
        if (then.content_hash &&
            (now.content_hash ? *now.content_hash : std::hash<std::string>{}(read_file(then.path))) != *then.content_hash)
            return false;
    }
    return true;
}

DeckFiles deck_files(std::string_view netlist) {
    Scanner scanner;
    scanner.out.lines = logical_lines(netlist);
    scanner.scan(netlist, "", true);
    return std::move(scanner.out);
}

bool has_control_block(std::string_view text) {
    bool found = false;
    for_each_line(text, [&](std::string_view line) {
        std::string_view rest = line;
        if (!found && equals_ignore_ascii_case(next_word(rest), ".control")) found = true;
    });
    return found;
}

std::optional<std::string> params_refusal(std::string_view netlist) {
    if (has_control_block(netlist)) return std::string(kControlWithParams);
    return std::nullopt;
}

}  // namespace tavlo
