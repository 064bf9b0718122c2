#pragma once
// The files a netlist makes ngspice read, and whether any of them changed since a parse: a kept
// circuit is only as fresh as its include and library files.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavlo {

/// What identifies one version of a file; a missing file has exists false and zeros elsewhere.
struct FileStamp {
    std::string path;
    bool exists = false;
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t mtime_ns = 0;
    /// For a file modified moments before it was stamped: a hash of its content. The kernel
    /// stamps times from a coarse clock, so a second edit within a few milliseconds may leave
    /// size and time as they were.
    std::optional<std::size_t> content_hash;
};

/// The stamp of `path` as it is now.
FileStamp stamp_file(const std::string& path);

/// True when every file still has the stamp it had (and the content, where that was hashed).
bool stamps_unchanged(const std::vector<FileStamp>& stamps);

struct DeckFiles {
    /// Every file reached through `.include`/`.inc`/`.lib` lines, nested ones included, in the
    /// order first met; a file that does not exist is listed too (it may appear later).
    std::vector<FileStamp> files;
    /// Some file holds a `.control` line.
    bool has_control = false;
    /// Lines of the netlist and of what it reads as ngspice numbers them (a file as often as it is
    /// included, a library file once: its sections split it), never fewer.
    std::size_t lines = 0;
};

/// Follows the netlist's include and library lines as ngspice resolves them: absolute paths as
/// they are, `~/` from $HOME, a relative path from the working directory at the top level and
/// from the including file's directory below it. Every section of a library file is followed.
DeckFiles deck_files(std::string_view netlist);

/// True when the text has a line whose first word is `.control` (ASCII case ignored).
bool has_control_block(std::string_view text);

/// Why a request may not carry `params` for this netlist, or nothing when it may. The check a
/// caller can make before sending (the worker makes it too, and for included files).
std::optional<std::string> params_refusal(std::string_view netlist);

/// The refusal for a netlist whose `.control` block would run before the parameters are set.
extern const char* const kControlWithParams;

}  // namespace tavlo
