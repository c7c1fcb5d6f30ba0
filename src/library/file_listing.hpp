#pragma once
// Which files a scan of a folder takes.

#include <cstdint>        // std::int64_t
#include <filesystem>     // std::filesystem::path
#include <string>         // std::string
#include <tuple>          // std::tie
#include <unordered_map>  // std::unordered_map
#include <vector>         // std::vector

#include <musiccore/library.hpp>  // ScanFailure

#include "io/opened_file.hpp"

namespace music_library::detail {

// The extension in lower case (ASCII), with its dot.
std::string lower_extension(const std::filesystem::path& file);
// Whether `a` comes before `b` as std::filesystem::path compares them: element by
// element, which for normal paths is their text with "/" below every other byte.
bool path_order(const std::string& a, const std::string& b);
// Whether a file of this extension (in lower case, with its dot) is one a scan reads.
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
    std::string root;                   // the folder listed
    std::vector<std::string> files;     // under it; sorted as paths compare, if asked
    std::vector<FileState> states;      // of each file, when listed
    std::vector<ScanFailure> failures;  // folders that could not be listed
    // The file name of each folder's cover image (cover.jpg, folder.jpg, front.png,
    // ...), by the folder's path, for the folders that have one.
    std::unordered_map<std::string, std::string> covers;
    // The folders that hold a .cue file (in any letter case), each with what tells
    // its sheets' state apart: their names and states, so that a sheet added, changed
    // or removed changes it.
    std::unordered_map<std::string, std::string> sheet_folders;
};

// Whether `file` of `listing` lies in a folder that holds a CUE sheet.
bool beside_a_sheet(const Listing& listing, const std::string& file);
// The state of the sheets beside `file` (see Listing::sheet_folders); empty where none.
const std::string& sheets_state(const Listing& listing, const std::string& file);

// The folder cover of `file` in `listing`: the name of the image beside it, or empty.
const std::string& folder_cover(const Listing& listing, const std::string& file);

// Every regular file under `root` with an audio extension (in any letter case), and
// links to such files, without following directory links, so that no loop can trap
// it; listed by `jobs` threads, sorted by path if asked. Throws
// std::filesystem::filesystem_error when `root` is not a directory.
Listing list_files(const std::filesystem::path& root, unsigned jobs, bool sorted);

// Opens the files of a listing as the walk found them, closing the window between the
// walk and the read: each folder from the root one name at a time, through no link;
// the file itself through a link only where it is one, as the walk takes them; and
// only the file listed ("the file was replaced after it was listed"), a regular one.
// One per thread: it keeps the latest folder open for the files after it.
class ListedOpener {
public:
    explicit ListedOpener(const Listing& listing) : listing_(listing) {}

    media::detail::OpenedFile open(std::size_t file);

private:
    const Listing& listing_;
    media::detail::UniqueFd root_;
    std::string folder_;  // whose descriptor folder_fd_ is
    media::detail::UniqueFd folder_fd_;
};

}  // namespace music_library::detail
