// Prints how long each Ogg Opus file given plays, as a clock text.
#include <chrono>
#include <cmath>
#include <iostream>

#include <musiccore/formathelper.hpp>
#include <musiccore/track.hpp>
#include <musiccore/utils.hpp>

int main(int argc, char** argv)
{
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        try {
            const Track track{std::filesystem::path(argv[i])};
            const std::chrono::seconds length(std::llround(track.duration_secs));
            char line[] = "{}: {}\n";
            fmt::format_helper(std::cout, line, argv[i], utils::format_timestamp(length));
        } catch (const opus_utils::opus_error& e) {
            std::cerr << argv[i] << ": " << e.what() << '\n';
            status = 1;
        }
    }
    return status;
}
