#include "file_listing.hpp"

#include <algorithm>     // std::sort
#include <system_error>  // std::error_code, std::errc

namespace music_library::detail {

namespace fs = std::filesystem;

std::string lower_extension(const fs::path& file)
{
    std::string extension = file.extension().string();
    for (char& c : extension) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return extension;
}

namespace {

bool may_be_audio(const fs::path& file)
{
    const std::string extension = lower_extension(file);
    return extension == ".opus" || extension == ".ogg" || extension == ".oga" ||
           extension == ".flac" || extension == ".mp3";
}

}  // namespace

Listing list_files(const fs::path& root)
{
    if (!fs::is_directory(root)) {  // throws when it cannot look
        const bool exists = fs::exists(fs::symlink_status(root));
        throw fs::filesystem_error(
            "cannot scan", root,
            std::make_error_code(exists ? std::errc::not_a_directory
                                        : std::errc::no_such_file_or_directory));
    }
    Listing listing;
    std::vector<fs::path> pending{root};
    while (!pending.empty()) {
        const fs::path directory = std::move(pending.back());
        pending.pop_back();
        std::error_code error;
        for (fs::directory_iterator it(directory, error), end; !error && it != end;
             it.increment(error)) {
            std::error_code ignored;  // an entry gone meanwhile is simply not there
            if (!it->is_symlink(ignored) && it->is_directory(ignored)) {
                pending.push_back(it->path());
            } else if (may_be_audio(it->path()) && it->is_regular_file(ignored)) {
                listing.files.push_back(it->path());
            }
        }
        if (error) {
            listing.failures.push_back({directory, "cannot list the folder: " + error.message()});
        }
    }
    std::sort(listing.files.begin(), listing.files.end());
    return listing;
}

}  // namespace music_library::detail
