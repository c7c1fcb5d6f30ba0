// Prints how long each Ogg Opus file given plays, as a clock text, with its artist
// and title; for a folder, every such file under it.
#include <chrono>
#include <cmath>
#include <filesystem>
#include <iostream>

#include <musiccore/formathelper.hpp>
#include <musiccore/library.hpp>
#include <musiccore/track.hpp>
#include <musiccore/utils.hpp>

namespace {

void print(const Track& track)
{
    const std::chrono::seconds length(std::llround(track.duration_secs));
    char line[] = "{}: {} ({} - {})\n";  // written into: the formatter cuts it in place
    fmt::format_helper(std::cout, line, track.path.string(), utils::format_timestamp(length),
                       track.artist, track.title);
}

}  // namespace

int main(int argc, char** argv)
{
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        try {
            if (!std::filesystem::is_directory(argv[i])) {
                print(load_track(argv[i]));
                continue;
            }
            const auto found = music_library::scan(argv[i]);
            for (const auto& track : found.tracks) {
                print(track);
            }
            for (const auto& failure : found.failures) {
                std::cerr << failure.path.string() << ": " << failure.message << '\n';
                status = 1;
            }
        } catch (const std::exception& e) {  // opus_utils::opus_error among them
            std::cerr << argv[i] << ": " << e.what() << '\n';
            status = 1;
        }
    }
    return status;
}
