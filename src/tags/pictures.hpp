#pragma once
// Pictures as the tag formats hold them, and the one read that wants a picture's
// bytes rather than its description.

#include <cstddef>      // std::size_t
#include <cstdint>      // std::uint32_t
#include <functional>   // std::function
#include <optional>     // std::optional
#include <string>       // std::string
#include <string_view>  // std::string_view

#include <musiccore/media.hpp>

namespace media::detail {

// While one lives, the reads on its thread keep the bytes of the picture listed at
// `index` if it is no larger than `max_bytes`. Readers list pictures in the order
// that they offer them here, so the count of offers is the index.
class PictureCapture {
public:
    PictureCapture(std::size_t index, std::size_t max_bytes);
    PictureCapture(const PictureCapture&) = delete;
    PictureCapture& operator=(const PictureCapture&) = delete;
    PictureCapture(PictureCapture&&) = delete;
    PictureCapture& operator=(PictureCapture&&) = delete;
    ~PictureCapture();

    // Called for each picture a reader lists, in order: `load` gives its `size`
    // bytes, and is called only for the one wanted.
    static void offer(std::size_t size, const std::function<std::string()>& load);

    std::optional<std::string>& bytes() { return bytes_; }

private:
    std::size_t index_;
    std::size_t max_bytes_;
    std::size_t offered_ = 0;
    std::optional<std::string> bytes_;
    PictureCapture* outer_;
};

// A picture as ID3 and FLAC state one: a type past those known is "other", and a
// width or height of 0 (or past an int) is none said.
Picture stated_picture(std::uint32_t type, std::string mime_type, std::string description,
                       std::uint32_t width = 0, std::uint32_t height = 0);

// "image/jpeg" and the like, by an image's first bytes; empty for none known.
const char* sniffed_mime_type(std::string_view head);

// The FLAC PICTURE structure that Vorbis comments carry in base64 under
// METADATA_BLOCK_PICTURE: its description, and where its data lies in the decoded
// bytes. None when it does not hold together.
struct PictureBlock {
    Picture picture;
    std::size_t data_at = 0;  // in the decoded bytes
};
std::optional<PictureBlock> picture_block(std::string_view base64);
// The same structure as FLAC's PICTURE block holds it, as `read` gives its bytes
// (`count` from an offset, what there is of them), `size` in all.
std::optional<PictureBlock>
picture_block(const std::function<std::string(std::size_t, std::size_t)>& read, std::size_t size);

// The decoded bytes of `base64` from `from`, `count` of them; what there is of them.
std::string base64_decoded(std::string_view base64, std::size_t from, std::size_t count);

}  // namespace media::detail
