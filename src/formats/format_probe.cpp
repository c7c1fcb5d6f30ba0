#include "formats/format_probe.hpp"

#include <algorithm>    // std::min
#include <cstddef>      // std::size_t
#include <cstring>      // std::strerror
#include <optional>     // std::optional
#include <string_view>  // std::string_view

#include "formats/format_table.hpp"
#include "formats/mpeg/mpeg_frames.hpp"

namespace media::detail {

namespace {

using namespace std::string_view_literals;

constexpr std::size_t ogg_page_start = 27 + 255 + 16;  // header, segments, packet start
constexpr std::size_t id3_header = 10;
// How far past an ID3v2 tag the first frame may be: as far as mpg123 looks.
constexpr std::size_t resync_limit = 1024;

unsigned byte(std::string_view bytes, std::size_t at)
{
    return static_cast<unsigned char>(bytes[at]);
}

bool begins(std::string_view bytes, std::string_view magic, std::size_t at = 0)
{
    return bytes.size() >= at + magic.size() && bytes.substr(at, magic.size()) == magic;
}

// An MPEG audio frame header: the sync, and a version, layer and sample rate that
// exist.
bool mpeg_frame(std::string_view b, std::size_t at = 0)
{
    return b.size() >= at + 4 && byte(b, at) == 0xFF && (byte(b, at + 1) & 0xE0U) == 0xE0U &&
           ((byte(b, at + 1) >> 3U) & 3U) != 1 && ((byte(b, at + 1) >> 1U) & 3U) != 0 &&
           (byte(b, at + 2) >> 4U) != 15 && ((byte(b, at + 2) >> 2U) & 3U) != 3;
}

// Formats this library does not read, by the magic they begin with.
std::string other_format(std::string_view b)
{
    const struct {
        std::string_view magic;
        std::size_t at;
        const char* name;
    } known[] = {
        {"\x30\x26\xB2\x75\x8E\x66\xCF\x11"sv, 0, "ASF (WMA)"},
        {"MAC ", 0, "Monkey's Audio"},
        {"MPCK", 0, "Musepack"},
        {"MP+", 0, "Musepack"},
        {"TTA1", 0, "True Audio"},
        {"#!AMR", 0, "AMR"},
        {"\x1A\x45\xDF\xA3", 0, "Matroska or WebM"},
        {"caff", 0, "Core Audio"},
        {"DSD ", 0, "DSF"},
        {"FRM8", 0, "DSDIFF"},
        {".snd", 0, "Sun audio"},
        {"MThd", 0, "MIDI"},
    };
    for (const auto& format : known) {
        if (begins(b, format.magic, format.at)) {
            return format.name;
        }
    }
    if (b.size() >= 2 && byte(b, 0) == 0xFF && (byte(b, 1) & 0xF6U) == 0xF0U) {
        return "AAC (ADTS)";
    }
    return b.empty() ? "empty file" : "unknown content";
}

// MPEG audio after bytes that are none (a broken download's start, another
// program's header): the first of three frames in a row, each where the one before
// ends, within the first 64 KiB, as a reader that resyncs finds it. One or two frame
// headers alone are too easily bytes of anything.
std::optional<std::int64_t> frames_after_junk(FileSource& source)
{
    constexpr std::size_t reach = std::size_t{64} << 10U;
    constexpr int in_a_row = 3;
    const std::string_view bytes = source.peek(0, reach + 3 * max_frame_bytes);
    for (std::size_t at = 0; at < std::min(reach, bytes.size()); ++at) {
        std::size_t next = at;
        int found = 0;
        while (found < in_a_row && mpeg_frame(bytes, next)) {
            const auto header = frame_header(bytes.substr(next));
            const std::size_t size = header ? frame_bytes(*header) : 0;
            if (size == 0) {
                break;
            }
            next += size;
            ++found;
        }
        if (found == in_a_row) {
            return static_cast<std::int64_t>(at);
        }
    }
    return std::nullopt;
}

// The codec of the Ogg stream whose first page is at `at`: none past the page's end.
struct OggStream {
    std::optional<Probe> codec;
    std::int64_t next = 0;  // the page after it
    bool first = false;     // a stream's first page (BOS)
};

OggStream ogg_page(FileSource& source, std::int64_t at)
{
    const struct {
        std::string_view magic;
        Format format;
        const char* name;
    } codecs[] = {
        {"OpusHead", Format::ogg_opus, "Ogg Opus"},
        {"\x01vorbis", Format::ogg_vorbis, "Ogg Vorbis"},
        {"\x7F"
         "FLAC",
         Format::ogg_flac, "Ogg FLAC"},
        {"\x80theora", Format::other, "Ogg Theora"},
        {"Speex   ", Format::other, "Ogg Speex"},
        {"fishead\0"sv, Format::other, "Ogg Skeleton"},
        {"CELT    ", Format::other, "Ogg CELT"},
        {"PCM     ", Format::other, "Ogg PCM"},
        {"\x80kate", Format::other, "Ogg Kate"},
    };
    const std::string page(source.peek(at, ogg_page_start));
    OggStream stream;
    if (page.size() < 27 || !begins(page, "OggS")) {
        return stream;
    }
    const std::size_t segments = byte(page, 26);
    const std::size_t body = 27 + segments;
    std::size_t body_size = 0;
    for (std::size_t i = 27; i < std::min(body, page.size()); ++i) {
        body_size += byte(page, i);
    }
    stream.first = (byte(page, 5) & 0x02U) != 0;
    stream.next = at + static_cast<std::int64_t>(body + body_size);
    const std::string_view packet = std::string_view(page).substr(std::min(body, page.size()));
    for (const auto& codec : codecs) {
        if (begins(packet, codec.magic)) {
            stream.codec = Probe{codec.format, codec.name, true, 0};
            break;
        }
    }
    return stream;
}

// An Ogg file's first stream of a codec read here; its first stream's, if none is.
// The streams that play together (a film's picture and sound) all begin on the
// first pages.
Probe ogg(FileSource& source)
{
    constexpr int first_pages = 16;
    const OggStream first = ogg_page(source, 0);
    std::int64_t at = first.next;
    for (int page = 1; page < first_pages && first.first && source.seekable(); ++page) {
        const OggStream next = ogg_page(source, at);
        if (!next.first) {
            break;
        }
        if (next.codec && next.codec->format != Format::other) {
            return *next.codec;
        }
        at = next.next;
    }
    return first.codec ? *first.codec
                       : Probe{Format::other, "Ogg stream of an unknown codec", true, 0};
}

// Past one or more ID3v2 tags: FLAC, or MPEG audio within mpg123's reach.
Probe after_id3(FileSource& source, std::string_view first)
{
    std::int64_t at = 0;
    std::string_view header = first;
    while (begins(header, "ID3") && header.size() >= id3_header) {
        // Seven bits a byte ("synchsafe"), then the footer if the flags say so.
        const std::int64_t size = (byte(header, 6) & 0x7FU) << 21U |
                                  (byte(header, 7) & 0x7FU) << 14U |
                                  (byte(header, 8) & 0x7FU) << 7U | (byte(header, 9) & 0x7FU);
        at += static_cast<std::int64_t>(id3_header) + size +
              ((byte(header, 5) & 0x10U) != 0 ? static_cast<std::int64_t>(id3_header) : 0);
        if (!source.seekable()) {  // a stream cannot be looked into that far
            return {Format::mpeg_audio, "MPEG audio", false, at};
        }
        header = source.peek(at, resync_limit);
    }
    if (begins(header, "fLaC")) {
        return {Format::flac, "FLAC", false, at};
    }
    for (std::size_t i = 0; i + 4 <= header.size(); ++i) {
        if (mpeg_frame(header, i)) {
            return {Format::mpeg_audio, "MPEG audio", false, at + static_cast<std::int64_t>(i)};
        }
    }
    // What else some writers put behind an ID3v2 tag: True Audio, Monkey's Audio.
    const std::string other = other_format(header);
    const bool named = other != "unknown content" && other != "empty file";
    return {Format::other, named ? other : "ID3v2 tag without MPEG audio", false, 0};
}

}  // namespace

std::optional<Probe> probe_ogg(FileSource& source, std::string_view first)
{
    return begins(first, "OggS") ? std::optional<Probe>(ogg(source)) : std::nullopt;
}

std::optional<Probe> probe_flac(FileSource& /*source*/, std::string_view first)
{
    return begins(first, "fLaC") ? std::optional<Probe>({Format::flac, "FLAC", false, 0})
                                 : std::nullopt;
}

std::optional<Probe> probe_mpeg(FileSource& source, std::string_view first)
{
    if (begins(first, "ID3")) {
        return after_id3(source, first);
    }
    if (mpeg_frame(first)) {
        return Probe{Format::mpeg_audio, "MPEG audio", false, 0};
    }
    if (other_format(first) != "unknown content") {
        return std::nullopt;  // a format this library does not read, by its magic
    }
    if (const auto start = frames_after_junk(source)) {
        return Probe{Format::mpeg_audio, "MPEG audio", false, *start};
    }
    return std::nullopt;
}

std::optional<Probe> probe_wav(FileSource& /*source*/, std::string_view first)
{
    for (const char* const riff : {"RIFF", "RF64", "BW64"}) {
        if (begins(first, riff) && begins(first, "WAVE", 8)) {
            return Probe{Format::wav, std::string(riff) + " WAVE", false, 0};
        }
    }
    return std::nullopt;
}

std::optional<Probe> probe_aiff(FileSource& /*source*/, std::string_view first)
{
    const bool aiff =
        begins(first, "FORM") && (begins(first, "AIFF", 8) || begins(first, "AIFC", 8));
    return aiff ? std::optional<Probe>({Format::aiff, "AIFF", false, 0}) : std::nullopt;
}

std::optional<Probe> probe_mp4(FileSource& /*source*/, std::string_view first)
{
    return begins(first, "ftyp", 4) ? std::optional<Probe>({Format::mp4, "MP4", false, 0})
                                    : std::nullopt;
}

std::optional<Probe> probe_wavpack(FileSource& /*source*/, std::string_view first)
{
    return begins(first, "wvpk") ? std::optional<Probe>({Format::wavpack, "WavPack", false, 0})
                                 : std::nullopt;
}

Probe probe(FileSource& source)
{
    const std::string_view first = source.peek(0, 64);
    // Copied: a row's probe may peek further, which moves what `first` views.
    const std::string head(first);
    for (const FormatRow& row : format_rows()) {
        if (auto found = row.probe(source, head)) {
            return *found;
        }
    }
    return {Format::other, other_format(head), false, 0};
}

Probe probe_opened(FileSource& source)
{
    if (!source.is_open()) {
        throw media_error("cannot open: " + source.failure());
    }
    Probe found = probe(source);
    if (!source.failure().empty()) {
        throw media_error(source.failure());
    }
    if (source.read_errno() != 0) {
        throw media_error(std::string("cannot read: ") + std::strerror(source.read_errno()));
    }
    return found;
}

}  // namespace media::detail
