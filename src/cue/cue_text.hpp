#pragma once
// A CUE sheet's bytes as UTF-8, in whatever encoding the tool that wrote it used.

#include <string>       // std::string
#include <string_view>  // std::string_view

namespace music_library::detail {

struct CueText {
    std::string text;      // UTF-8
    std::string encoding;  // what it took: "UTF-8", "UTF-8 (BOM)", "UTF-16LE", "windows-1251", ...
};

// By a byte order mark, else as UTF-8 where the bytes are valid UTF-8, else as
// ICU's charset detector tells among the encodings that rippers write (Windows-1251,
// -1252, Shift_JIS, GBK); Windows-1252 where it tells none of them. Throws
// media_error for bytes that no encoding makes text of.
CueText cue_text(std::string_view bytes);

// Whether `bytes` are well-formed UTF-8.
bool valid_utf8(std::string_view bytes);

}  // namespace music_library::detail
