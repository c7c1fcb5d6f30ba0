// Arbitrary bytes as a CUE sheet: its text in whatever encoding, then its tracks;
// the sheet, or the library's own error. Never a crash, a hang or a leak.
#include <cstdint>
#include <string_view>

#include "cue/cue_sheet.hpp"
#include "cue/cue_text.hpp"
#include "require.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        const auto text = music_library::detail::cue_text(bytes);
        require(music_library::detail::valid_utf8(text.text), "a text in UTF-8");
        const auto sheet = music_library::detail::parse_cue(text.text);
        require(!sheet.tracks.empty() && sheet.tracks.size() <= 99, "1 to 99 tracks");
        for (const auto& track : sheet.tracks) {
            require(track.file < sheet.files.size(), "a track of one of the files");
            bool exact = true;
            require(music_library::detail::cue_sample(track.start(), 44100, exact) >= 0 && exact,
                    "a start at a CD's rate");
        }
    } catch (const media::media_error& e) {
        require(*e.what() != '\0', "an error says what went wrong");
    }
    return 0;
}
