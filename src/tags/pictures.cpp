#include "tags/pictures.hpp"

#include <array>     // std::array
#include <cstdint>   // std::uint32_t
#include <iterator>  // std::size
#include <utility>   // std::move

namespace media {

const char* picture_type_name(int type)
{
    static constexpr const char* names[] = {
        "other",
        "file icon",
        "other file icon",
        "front cover",
        "back cover",
        "leaflet page",
        "media",
        "lead artist",
        "artist",
        "conductor",
        "band",
        "composer",
        "lyricist",
        "recording location",
        "during recording",
        "during performance",
        "video capture",
        "bright coloured fish",
        "illustration",
        "band logotype",
        "publisher logotype",
    };
    return type >= 0 && static_cast<std::size_t>(type) < std::size(names) ? names[type] : names[0];
}

namespace detail {

namespace {

// The capture of this thread's read, if it wants one; captures nest, innermost first.
PictureCapture*& current_capture()
{
    // The readers' interface stays as it is: only read_picture sets this.
    thread_local PictureCapture* current = nullptr;  // NOLINT(*-avoid-non-const-global-variables)
    return current;
}

int sextet(char c)
{
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

std::size_t decoded_size(std::string_view base64)
{
    while (!base64.empty() && base64.back() == '=') {
        base64.remove_suffix(1);
    }
    constexpr std::size_t tail[] = {0, 0, 1, 2};  // bytes of a last, short group
    return base64.size() / 4 * 3 + tail[base64.size() % 4];
}

// Takes the picture block's fields in turn, each checked against what is left, from
// `read` (`count` bytes from an offset, what there is of them) over `size` bytes.
class BlockFields {
public:
    using Read = std::function<std::string(std::size_t, std::size_t)>;

    BlockFields(Read read, std::size_t size) : read_(std::move(read)), size_(size) {}

    std::optional<std::uint32_t> number()
    {
        const std::string bytes = take(4);
        if (bytes.size() != 4) {
            return std::nullopt;
        }
        std::uint32_t value = 0;
        for (const char c : bytes) {
            value = value << 8U | static_cast<unsigned char>(c);
        }
        return value;
    }

    // `length` bytes, or none if fewer are left; past `limit` skipped, as empty.
    std::optional<std::string> text(std::uint32_t length, std::size_t limit)
    {
        if (length > left()) {
            return std::nullopt;
        }
        if (length > limit) {
            at_ += length;
            return std::string();
        }
        std::string bytes = take(length);
        return bytes.size() == length ? std::optional(std::move(bytes)) : std::nullopt;
    }

    std::size_t at() const { return at_; }
    std::size_t left() const { return size_ - at_; }

private:
    std::string take(std::size_t count)
    {
        std::string bytes = read_(at_, count);
        at_ += bytes.size();
        return bytes;
    }

    Read read_;
    std::size_t size_;
    std::size_t at_ = 0;
};

std::optional<PictureBlock> picture_of(BlockFields& fields)
{
    PictureBlock block;
    const auto type = fields.number();
    const auto mime_length = type ? fields.number() : std::nullopt;
    const auto mime = mime_length ? fields.text(*mime_length, max_tag_value) : std::nullopt;
    const auto description_length = mime ? fields.number() : std::nullopt;
    const auto description =
        description_length ? fields.text(*description_length, max_tag_value) : std::nullopt;
    // width, height, colour depth, colours used, data length
    std::array<std::optional<std::uint32_t>, 5> numbers{};
    for (auto& number : numbers) {
        number = description ? fields.number() : std::nullopt;
        if (!number) {
            return std::nullopt;
        }
    }
    const std::uint32_t data_length = *numbers[4];
    if (data_length > fields.left()) {
        return std::nullopt;
    }
    block.picture = stated_picture(*type, *mime, *description, *numbers[0], *numbers[1]);
    block.picture.size = data_length;
    block.data_at = fields.at();
    return block;
}

}  // namespace

PictureCapture::PictureCapture(std::size_t index, std::size_t max_bytes)
    : index_(index), max_bytes_(max_bytes), outer_(current_capture())
{
    current_capture() = this;
}

PictureCapture::~PictureCapture()
{
    current_capture() = outer_;
}

void PictureCapture::offer(std::size_t size, const std::function<std::string()>& load)
{
    PictureCapture* capture = current_capture();
    if (capture != nullptr && capture->offered_++ == capture->index_ &&
        size <= capture->max_bytes_) {
        capture->bytes_ = load();
    }
}

Picture stated_picture(std::uint32_t type, std::string mime_type, std::string description,
                       std::uint32_t width, std::uint32_t height)
{
    constexpr std::uint32_t last_type = 20;  // the publisher's logotype
    Picture picture;
    picture.type = type <= last_type ? static_cast<int>(type) : 0;
    picture.mime_type = std::move(mime_type);
    picture.description = std::move(description);
    if (width > 0 && height > 0 && width <= INT32_MAX && height <= INT32_MAX) {
        picture.width = static_cast<int>(width);
        picture.height = static_cast<int>(height);
    }
    return picture;
}

const char* sniffed_mime_type(std::string_view head)
{
    static constexpr struct {
        std::string_view magic;
        const char* type;
    } known[] = {
        {"\xFF\xD8\xFF", "image/jpeg"},
        {"\x89PNG\r\n\x1A\n", "image/png"},
        {"GIF8", "image/gif"},
        {"BM", "image/bmp"},
    };
    for (const auto& image : known) {
        if (head.substr(0, image.magic.size()) == image.magic) {
            return image.type;
        }
    }
    if (head.size() >= 12 && head.substr(0, 4) == "RIFF" && head.substr(8, 4) == "WEBP") {
        return "image/webp";
    }
    return "";
}

std::string base64_decoded(std::string_view base64, std::size_t from, std::size_t count)
{
    std::string bytes;
    const std::size_t end = std::min(decoded_size(base64), from + std::min(count, base64.size()));
    for (std::size_t group = from / 3; group * 3 < end; ++group) {
        std::uint32_t bits = 0;
        for (std::size_t i = group * 4; i < group * 4 + 4; ++i) {
            const int value = i < base64.size() ? sextet(base64[i]) : 0;
            if (value < 0 && i < base64.size() && base64[i] != '=') {
                return bytes;  // not base64 from here on
            }
            bits = bits << 6U | static_cast<std::uint32_t>(value < 0 ? 0 : value);
        }
        for (std::size_t i = 0; i < 3; ++i) {
            const std::size_t byte = group * 3 + i;
            if (byte >= from && byte < end) {
                bytes += static_cast<char>((bits >> (16 - 8 * i)) & 0xFFU);
            }
        }
    }
    return bytes;
}

std::optional<PictureBlock> picture_block(std::string_view base64)
{
    BlockFields fields([base64](std::size_t from,
                                std::size_t count) { return base64_decoded(base64, from, count); },
                       decoded_size(base64));
    return picture_of(fields);
}

std::optional<PictureBlock>
picture_block(const std::function<std::string(std::size_t, std::size_t)>& read, std::size_t size)
{
    BlockFields fields(read, size);
    return picture_of(fields);
}

}  // namespace detail

}  // namespace media
