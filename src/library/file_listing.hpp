#pragma once
// Which files a scan of a folder takes.

#include <cstdint>        // std::int64_t
#include <filesystem>     // std::filesystem::path
#include <string>         // std::string
#include <tuple>          // std::tie
#include <unordered_map>  // std::unordered_map
#include <vector>         // std::vector

#include <musiccore/library.hpp>  // ScanFailure

namespace music_library::detail {

// The extension in lower case (ASCII), with its dot.
std::string lower_extension(const std::filesystem::path& file);
// Whether `a` comes before `b` as std::filesystem::path compares them: element by
// element, which for normal paths is their text with "/" below every other byte.
bool path_order(const std::string& a, const std::string& b);
// ".opus", ".ogg", ".oga", ".flac" or ".mp3".
bool is_audio_extension(const std::string& extension);

// What tells a file's state apart: a file whose any of these differ was changed.
struct FileState {
    std::int64_t device = 0, inode = 0, size = 0, mtime_ns = 0, ctime_ns = 0;

    bool operator==(const FileState& other) const
    {
        return std::tie(device, inode, size, mtime_ns, ctime_ns) ==
               std::tie(other.device, other.inode, other.size, other.mtime_ns, other.ctime_ns);
    }
};

struct Listing {
    std::vector<std::string> files;     // sorted as paths compare
    std::vector<FileState> states;      // of each file, when listed
    std::vector<ScanFailure> failures;  // folders that could not be listed
    // The file name of each folder's cover image (cover.jpg, folder.jpg, front.png,
    // ...), by the folder's path, for the folders that have one.
    std::unordered_map<std::string, std::string> covers;
};

// The folder cover of `file` in `listing`: the name of the image beside it, or empty.
const std::string& folder_cover(const Listing& listing, const std::string& file);

// Every regular file under `root` with an audio extension (in any letter case), and
// links to such files, without following directory links, so that no loop can trap
// it; listed by `jobs` threads, sorted by path if asked. Throws
// std::filesystem::filesystem_error when `root` is not a directory.
Listing list_files(const std::filesystem::path& root, unsigned jobs, bool sorted);

}  // namespace music_library::detail
