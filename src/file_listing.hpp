#pragma once
// Internal: not installed. Which files a scan of a folder takes.

#include <filesystem>  // std::filesystem::path
#include <string>      // std::string
#include <vector>      // std::vector

#include <musiccore/library.hpp>  // ScanFailure

namespace music_library::detail {

// The extension in lower case (ASCII), with its dot.
std::string lower_extension(const std::filesystem::path& file);

struct Listing {
    std::vector<std::filesystem::path> files;  // sorted
    std::vector<ScanFailure> failures;         // folders that could not be listed
};

// Every regular file under `root` named ".opus", ".ogg", ".oga", ".flac" or ".mp3"
// (in any letter case), without following directory links, so that no loop can
// trap it. Throws std::filesystem::filesystem_error when `root` is not a directory
// or cannot be looked at.
Listing list_files(const std::filesystem::path& root);

}  // namespace music_library::detail
