#pragma once
// The one judge of a file's record, wherever it was read: a record that a reader
// process sends is held to what this process's own reader could have made of the file.

#include <cstdint>   // std::int64_t
#include <optional>  // std::optional
#include <string>    // std::string

#include <musiccore/media.hpp>

namespace media::detail {

// Sets `info.duration_secs` from its samples and rate, and says what in it no read of a
// file of `size` bytes (none: a stream, whose size is unknown) can give: a codec of
// none of this library's readers, channels past 1 to 255, a rate not above 0, samples
// below 0 or an exact length past what the bytes can hold, more text or tag values
// than the bytes hold or the limits allow, a picture past its file or of no known type.
// Empty when it holds together.
std::string record_problem(MediaInfo& info, std::optional<std::int64_t> size);

// The most text a record of a file of `size` bytes holds (tag names and values,
// dropped names, the codec, pictures' types and descriptions): what the bytes hold as
// UTF-8 at most, as a tag's numbers spelt out ("(17)": "Rock"), and a little more;
// never past max_tag_bytes.
std::size_t max_record_text(std::optional<std::int64_t> size);

}  // namespace media::detail
