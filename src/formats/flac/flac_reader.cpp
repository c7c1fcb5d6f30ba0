#include "formats/flac/flac_reader.hpp"

#include <algorithm>    // std::max
#include <cmath>        // std::lround
#include <cstdint>      // std::uint64_t
#include <exception>    // std::exception_ptr
#include <memory>       // std::unique_ptr
#include <optional>     // std::optional
#include <string_view>  // std::string_view
#include <tuple>        // std::tie
#include <utility>      // std::pair
#include <vector>       // std::vector

#include <FLAC/stream_decoder.h>

#include "formats/decoder.hpp"
#include "formats/flac/flac_frames.hpp"
#include "formats/info_extension.hpp"
#include "formats/ogg/ogg_headers.hpp"
#include "formats/ogg/ogg_screen.hpp"
#include "formats/reader.hpp"
#include "io/byte_order.hpp"
#include "tags/ape_tags.hpp"
#include "tags/pictures.hpp"
#include "tags/tag_collector.hpp"

namespace media::detail {

namespace {

struct DecoderDeleter {
    void operator()(FLAC__StreamDecoder* decoder) const { FLAC__stream_decoder_delete(decoder); }
};
using ScopedDecoder = std::unique_ptr<FLAC__StreamDecoder, DecoderDeleter>;

// What the callbacks gather.
struct Decoding {
    explicit Decoding(FileSource& from) : source(from) {}

    FileSource& source;
    TagCollector tags;
    std::optional<FLAC__StreamMetadata_StreamInfo> stream_info;
    std::optional<FLAC__StreamDecoderErrorStatus> error;  // the first, while opening
    bool opened = false;
    std::optional<std::uint64_t> first_sample;  // of the first frame decoded
    std::uint64_t end_sample = 0;               // past the latest frame decoded
    bool decoded = false;                       // a frame since this was cleared
    std::size_t comment_blocks = 0;
    // A decode for loudness: where the frames' samples go, and the first error
    // once the metadata is read, with the sample it came after.
    FrameSink* sink = nullptr;
    std::optional<std::pair<FLAC__StreamDecoderErrorStatus, std::uint64_t>> decode_error;
    std::vector<float> planar;
    std::vector<const float*> heads;
    std::exception_ptr failure;
};

// A frame's samples as floats, channel by channel, into the sink.
void give_samples(Decoding& decoding, const FLAC__Frame& frame, const FLAC__int32* const pcm[])
{
    const std::size_t channels = frame.header.channels;
    const std::size_t count = frame.header.blocksize;
    const unsigned bits = frame.header.bits_per_sample;
    if (bits < 4 || bits > 32 || channels == 0) {
        throw media_error("FLAC: a frame of " + std::to_string(bits) + "-bit samples");
    }
    const float scale = 1.0F / static_cast<float>(std::uint64_t{1} << (bits - 1));
    decoding.planar.resize(channels * count);
    decoding.heads.resize(channels);
    for (std::size_t channel = 0; channel < channels; ++channel) {
        float* out = decoding.planar.data() + channel * count;
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = static_cast<float>(pcm[channel][i]) * scale;
        }
        decoding.heads[channel] = out;
    }
    decoding.sink->planar(decoding.heads.data(), count);
}

Decoding& of(void* client)
{
    return *static_cast<Decoding*>(client);
}

FLAC__StreamDecoderReadStatus read(const FLAC__StreamDecoder* /*decoder*/, FLAC__byte data[],
                                   std::size_t* size, void* client)
{
    const long got = of(client).source.read(data, *size);
    *size = got > 0 ? static_cast<std::size_t>(got) : 0;
    if (got < 0) {
        return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
    }
    return got == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                    : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderSeekStatus seek(const FLAC__StreamDecoder* /*decoder*/, FLAC__uint64 offset,
                                   void* client)
{
    FileSource& source = of(client).source;
    if (!source.seekable()) {
        return FLAC__STREAM_DECODER_SEEK_STATUS_UNSUPPORTED;
    }
    return source.seek(static_cast<std::int64_t>(offset), SEEK_SET)
               ? FLAC__STREAM_DECODER_SEEK_STATUS_OK
               : FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
}

FLAC__StreamDecoderTellStatus tell(const FLAC__StreamDecoder* /*decoder*/, FLAC__uint64* offset,
                                   void* client)
{
    const FileSource& source = of(client).source;
    *offset = static_cast<FLAC__uint64>(source.tell());
    return source.seekable() ? FLAC__STREAM_DECODER_TELL_STATUS_OK
                             : FLAC__STREAM_DECODER_TELL_STATUS_UNSUPPORTED;
}

FLAC__StreamDecoderLengthStatus length(const FLAC__StreamDecoder* /*decoder*/, FLAC__uint64* size,
                                       void* client)
{
    const FileSource& source = of(client).source;
    *size = static_cast<FLAC__uint64>(source.size());
    return source.seekable() ? FLAC__STREAM_DECODER_LENGTH_STATUS_OK
                             : FLAC__STREAM_DECODER_LENGTH_STATUS_UNSUPPORTED;
}

FLAC__bool at_end(const FLAC__StreamDecoder* /*decoder*/, void* client)
{
    const FileSource& source = of(client).source;
    return static_cast<FLAC__bool>(source.seekable() && source.tell() >= source.size());
}

// libFLAC gives every frame's first sample, whether the frame header numbers frames
// or samples.
FLAC__StreamDecoderWriteStatus write(const FLAC__StreamDecoder* /*decoder*/,
                                     const FLAC__Frame* frame, const FLAC__int32* const pcm[],
                                     void* client)
{
    Decoding& decoding = of(client);
    if (decoding.sink != nullptr) {
        try {
            give_samples(decoding, *frame, pcm);
        } catch (...) {
            // Not through libFLAC's C frames: the decode stops, and says why.
            decoding.failure = std::current_exception();
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
    }
    const std::uint64_t first = frame->header.number.sample_number;
    if (!decoding.first_sample) {
        decoding.first_sample = first;
    }
    decoding.end_sample = first + frame->header.blocksize;
    decoding.decoded = true;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void metadata(const FLAC__StreamDecoder* /*decoder*/, const FLAC__StreamMetadata* block,
              void* client)
{
    Decoding& decoding = of(client);
    if (block->type == FLAC__METADATA_TYPE_STREAMINFO) {
        decoding.stream_info = block->data.stream_info;
    } else if (block->type == FLAC__METADATA_TYPE_VORBIS_COMMENT && decoding.comment_blocks++ > 0) {
        decoding.tags.drop("VORBIS_COMMENT");  // a second block: the first one counts
    } else if (block->type == FLAC__METADATA_TYPE_VORBIS_COMMENT) {
        const auto& comments = block->data.vorbis_comment;
        for (FLAC__uint32 i = 0; i < comments.num_comments; ++i) {
            decoding.tags.add_comment({reinterpret_cast<const char*>(comments.comments[i].entry),
                                       comments.comments[i].length});
        }
    } else if (block->type == FLAC__METADATA_TYPE_PICTURE) {
        const auto& stored = block->data.picture;
        decoding.tags.add_picture(
            stated_picture(stored.type, stored.mime_type,
                           reinterpret_cast<const char*>(stored.description), stored.width,
                           stored.height),
            std::string_view(reinterpret_cast<const char*>(stored.data), stored.data_length));
    }
}

void error(const FLAC__StreamDecoder* /*decoder*/, FLAC__StreamDecoderErrorStatus status,
           void* client)
{
    Decoding& decoding = of(client);
    if (!decoding.opened && !decoding.error) {
        decoding.error = status;
    }
    if (decoding.opened && !decoding.decode_error) {
        decoding.decode_error = {status, decoding.end_sample};
    }
}

// What the metadata blocks of a native FLAC file are, by their headers, looked at
// before libFLAC allocates for them: why they are too much to read, if they are;
// where the pictures are; where the frames begin.
struct NativeMetadata {
    const char* too_much = nullptr;
    using Block = std::pair<std::int64_t, std::size_t>;  // its body and size
    std::optional<Block> stream_info;                    // the first block, if it is one
    std::vector<Block> comments;
    std::vector<Block> pictures;
    std::optional<Block> cue_sheet;  // the first CUESHEET block
    std::int64_t audio_start = 0;
};

NativeMetadata native_metadata(FileSource& source, std::int64_t start)
{
    constexpr std::uint8_t comments_block = 4;
    constexpr std::uint8_t picture_block = 6;
    constexpr std::uint8_t cue_sheet_block = 5;
    NativeMetadata found;
    HeaderCost comments;
    std::int64_t at = start + 4;  // past "fLaC"
    for (std::size_t block = 0;; ++block) {
        if (block == max_flac_blocks) {
            found.too_much = "more than 1024 FLAC metadata blocks";
            return found;
        }
        const std::string header(source.peek(at, 12));  // the next peek reuses its memory
        if (header.size() < 4) {
            break;
        }
        const auto type = static_cast<std::uint8_t>(header[0] & 0x7F);
        const std::size_t size =
            static_cast<std::size_t>(static_cast<unsigned char>(header[1])) << 16U |
            static_cast<std::size_t>(static_cast<unsigned char>(header[2])) << 8U |
            static_cast<unsigned char>(header[3]);
        if (type == comments_block && header.size() >= 8) {
            comments.comment_bytes += size;
            const std::string_view counted =
                source.peek(at + 8 + static_cast<std::int64_t>(little_endian(header, 4, 4)), 4);
            comments.comments += counted.size() == 4 ? little_endian(counted, 0, 4) : 0;
        } else if (type == picture_block) {
            found.pictures.emplace_back(at + 4, size);
        } else if (type == cue_sheet_block && !found.cue_sheet) {
            found.cue_sheet.emplace(at + 4, size);
        }
        if (type == comments_block) {
            found.comments.emplace_back(at + 4, size);
        } else if (type == 0 && block == 0) {
            found.stream_info.emplace(at + 4, size);
        }
        at += 4 + static_cast<std::int64_t>(size);
        if ((header[0] & 0x80) != 0) {
            break;
        }
    }
    found.audio_start = at;
    if (comments.comment_bytes > max_tag_bytes) {
        found.too_much = "tags over the 16 MiB limit";
    } else if (comments.comments > max_tag_count) {
        found.too_much = "more than 10000 tags";
    }
    return found;
}

// The PICTURE blocks, read here rather than by libFLAC, which would hold each whole
// and fail the file for one that does not hold together: such a one is left out, and
// said to be.
void add_pictures(FileSource& source, const NativeMetadata& metadata, TagCollector& tags)
{
    for (const auto& [body, size] : metadata.pictures) {
        const auto read = [&source, body = body](std::size_t from, std::size_t count) {
            return std::string(source.peek(body + static_cast<std::int64_t>(from), count));
        };
        auto block = picture_block(read, size);
        if (!block) {
            tags.drop("METADATA_BLOCK_PICTURE");
            continue;
        }
        const std::int64_t data = body + static_cast<std::int64_t>(block->data_at);
        const auto bytes = static_cast<std::size_t>(block->picture.size);
        tags.add_picture(std::move(block->picture),
                         [&source, data, bytes] { return std::string(source.peek(data, bytes)); });
    }
}

// In Ogg, the frames' own numbers give the length that a STREAMINFO of 0 samples
// leaves unsaid: the first frame's first sample, and the end of the last frame, found by
// decoding from ever larger windows at the file's end.
std::optional<std::uint64_t> samples_from_frames(FLAC__StreamDecoder* decoder, Decoding& decoding)
{
    // Where the frames begin: what libFLAC has taken of the file, not what it read ahead.
    FLAC__uint64 metadata_end = 0;
    if (FLAC__stream_decoder_get_decode_position(decoder, &metadata_end) == 0 ||
        FLAC__stream_decoder_process_single(decoder) == 0) {
        return std::nullopt;
    }
    if (!decoding.first_sample) {
        return 0;  // no frame at all
    }
    const auto audio_start = static_cast<std::int64_t>(metadata_end);
    for (std::int64_t window = std::int64_t{256} * 1024;; window *= 4) {
        const std::int64_t from = std::max(audio_start, decoding.source.size() - window);
        if (FLAC__stream_decoder_flush(decoder) == 0 || !decoding.source.seek(from, SEEK_SET)) {
            return std::nullopt;
        }
        decoding.decoded = false;
        while (FLAC__stream_decoder_get_state(decoder) != FLAC__STREAM_DECODER_END_OF_STREAM) {
            if (FLAC__stream_decoder_process_single(decoder) == 0) {
                return std::nullopt;
            }
        }
        if (decoding.decoded || from == audio_start) {
            return decoding.end_sample - *decoding.first_sample;
        }
    }
}

// The length that native FLAC's frames show: the last frame, found from the end and
// checked by its CRC-16, and the first, whose number says where the stream begins.
// Exact when they agree with a STREAMINFO that states a length, or show the length
// that one of 0 samples leaves unsaid. A file cut short, or ending in something that
// is no frame, gives an estimate: what its frames hold at least.
std::pair<std::optional<std::uint64_t>, bool> native_samples(FileSource& source,
                                                             std::int64_t audio_start,
                                                             const FlacStream& stream,
                                                             std::uint64_t bound)
{
    TagCollector scratch;  // only where the tags at the end begin matters here
    std::int64_t audio_end = 0;
    read_ape_tags(source, scratch, audio_end);
    const auto first = flac_frame_header(source.peek(audio_start, 32), stream);
    const FlacEnd end = last_flac_frame(source, audio_start, audio_end, stream);
    // A total that the bytes cannot hold states nothing, as one of 0 does.
    const std::uint64_t stated = stream.total <= bound ? stream.total : 0;
    const std::uint64_t start =
        !first ? 0 : (first->variable ? first->number : first->number * stream.max_block);
    if (!first && !end.before_last_header) {  // no frame at all
        return {stated, stated == 0 && audio_end <= audio_start};
    }
    if (first && end.samples && *end.samples >= start) {
        const std::uint64_t counted = *end.samples - start;
        return {counted, end.to_the_end && (stated == 0 || stated == counted) && counted <= bound};
    }
    if (first && end.before_last_header && *end.before_last_header >= start) {
        return {*end.before_last_header - start, false};
    }
    return {stated > 0 ? std::optional(stated) : std::nullopt, false};
}

// The length of FLAC in Ogg, or read through a stream: STREAMINFO's, or, in a
// seekable file where it states none that the bytes can hold, the frames' numbers.
std::pair<std::optional<std::uint64_t>, bool>
stated_samples(FLAC__StreamDecoder* decoder, Decoding& decoding, std::uint64_t bound)
{
    const std::uint64_t stated = decoding.stream_info->total_samples;
    if (stated > 0 && (!decoding.source.seekable() || stated <= bound)) {
        return {stated, true};
    }
    if (!decoding.source.seekable()) {
        return {std::nullopt, true};
    }
    const auto samples = samples_from_frames(decoder, decoding);
    return {samples, !samples || *samples <= bound};
}

}  // namespace

// STREAMINFO's fields: the block sizes, the largest frame, the rate, channels, sample
// size and total; none for a block too short, or of no rate.
std::optional<FlacStream> stream_info(std::string_view body)
{
    if (body.size() < 34) {
        return std::nullopt;
    }
    const std::uint64_t packed = big_endian(body, 10, 8);
    constexpr std::uint64_t total_mask = (std::uint64_t{1} << 36U) - 1;
    FlacStream stream{static_cast<unsigned>(big_endian(body, 0, 2)),
                      static_cast<unsigned>(big_endian(body, 2, 2)),
                      static_cast<unsigned>(big_endian(body, 7, 3)),
                      static_cast<unsigned>(packed >> 44U),
                      static_cast<unsigned>((packed >> 41U) & 7U) + 1,
                      static_cast<unsigned>((packed >> 36U) & 31U) + 1,
                      packed & total_mask};
    return stream.rate > 0 ? std::optional(stream) : std::nullopt;
}

// Native FLAC, read here: the metadata blocks' headers walked, STREAMINFO, the
// comments and the pictures parsed, and the first and the last frame for the length.
MediaInfo read_native_flac(FileSource& source, const Probe& probe)
{
    const NativeMetadata native = native_metadata(source, probe.audio_start);
    if (native.too_much != nullptr) {
        throw media_error(std::string("FLAC: ") + native.too_much);
    }
    const auto block = [&source](const NativeMetadata::Block& where) {
        return std::string(source.peek(where.first, where.second));
    };
    const auto stream = native.stream_info ? stream_info(block(*native.stream_info)) : std::nullopt;
    if (!source.failure().empty() || !stream) {
        throw read_failure("FLAC", source, "no stream information");
    }
    TagCollector tags;
    for (std::size_t i = 0; i < native.comments.size(); ++i) {
        const std::string comments = block(native.comments[i]);
        // A second block, or one that does not hold together: the first one counts.
        if (i > 0 || comments.size() != native.comments[i].second || !tags.add_comments(comments)) {
            tags.drop("VORBIS_COMMENT");
        }
    }
    add_pictures(source, native, tags);
    MediaInfo info;
    info.codec = "flac";
    info.channels = static_cast<int>(stream->channels);
    info.sample_rate = static_cast<long>(stream->rate);
    const auto bound = static_cast<std::uint64_t>(source.size()) * max_samples_a_byte;
    const auto [samples, exact] = source.seekable()
                                      ? native_samples(source, native.audio_start, *stream, bound)
                                      : std::pair{std::optional(stream->total), true};
    if (!source.failure().empty()) {
        throw read_failure("FLAC", source, "");
    }
    if (samples && (*samples > 0 || source.seekable())) {
        info.samples = static_cast<std::int64_t>(*samples);
        info.exact = exact;
        info.duration_secs = static_cast<double>(*samples) / static_cast<double>(stream->rate);
    }
    // Bytes over time, as for the other formats: FLAC states none. A file that ends
    // inside its metadata has no audio to give a rate of.
    if (source.seekable() && info.duration_secs > 0 && native.audio_start < source.size()) {
        const auto audio = static_cast<double>(source.size() - native.audio_start);
        info.bitrate = std::lround(8.0 * audio / info.duration_secs);
    }
    // A CUESHEET block goes with the record, for what cuts the file into tracks.
    if (native.cue_sheet && native.cue_sheet->second <= max_cue_sheet_block) {
        std::string body(source.peek(native.cue_sheet->first, native.cue_sheet->second));
        if (body.size() == native.cue_sheet->second) {
            set_flac_cue_sheet(info, std::move(body));
        }
    }
    tags.move_into(info);
    return info;
}

MediaInfo read_flac(FileSource& source, const Probe& probe)
{
    if (probe.format != Format::ogg_flac) {
        return read_native_flac(source, probe);
    }
    const char* format = "Ogg FLAC";
    OggScreen screen;
    const ScreenInstalled screened(source, screen);
    const ScopedDecoder decoder(FLAC__stream_decoder_new());
    if (!decoder) {
        throw std::bad_alloc();
    }
    FLAC__stream_decoder_set_metadata_respond(decoder.get(), FLAC__METADATA_TYPE_VORBIS_COMMENT);
    FLAC__stream_decoder_set_metadata_respond(decoder.get(), FLAC__METADATA_TYPE_PICTURE);
    Decoding decoding(source);
    const FLAC__StreamDecoderInitStatus status = FLAC__stream_decoder_init_ogg_stream(
        decoder.get(), read, seek, tell, length, at_end, write, metadata, error, &decoding);
    if (status != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        throw read_failure(format, source, FLAC__StreamDecoderInitStatusString[status]);
    }
    const bool ok = FLAC__stream_decoder_process_until_end_of_metadata(decoder.get()) != 0;
    decoding.opened = true;
    if (!ok || !decoding.stream_info || decoding.stream_info->sample_rate == 0 ||
        !source.failure().empty()) {
        throw read_failure(format, source,
                           decoding.error ? FLAC__StreamDecoderErrorStatusString[*decoding.error]
                                          : "no stream information");
    }
    const FLAC__StreamMetadata_StreamInfo& stream = *decoding.stream_info;
    MediaInfo info;
    info.codec = "flac";
    info.channels = static_cast<int>(stream.channels);
    info.sample_rate = static_cast<long>(stream.sample_rate);
    const auto bound = static_cast<std::uint64_t>(source.size()) * max_samples_a_byte;
    const auto [samples, exact] = stated_samples(decoder.get(), decoding, bound);
    if (!source.failure().empty()) {
        throw read_failure(format, source, "");
    }
    if (samples) {
        info.samples = static_cast<std::int64_t>(*samples);
        info.exact = exact;
        info.duration_secs =
            static_cast<double>(*samples) / static_cast<double>(stream.sample_rate);
    }
    // Bytes over time, as for the other formats.
    if (source.seekable() && info.duration_secs > 0) {
        info.bitrate = std::lround(8.0 * static_cast<double>(source.size()) / info.duration_secs);
    }
    decoding.tags.move_into(info);
    return info;
}

void decode_flac(FileSource& source, const Probe& probe, FrameSink& sink)
{
    const bool in_ogg = probe.format == Format::ogg_flac;
    const char* format = in_ogg ? "Ogg FLAC" : "FLAC";
    OggScreen screen;
    std::optional<ScreenInstalled> screened;
    if (in_ogg) {
        screened.emplace(source, screen);
    }
    const ScopedDecoder decoder(FLAC__stream_decoder_new());
    if (!decoder) {
        throw std::bad_alloc();
    }
    Decoding decoding(source);
    const auto init =
        in_ogg ? FLAC__stream_decoder_init_ogg_stream : FLAC__stream_decoder_init_stream;
    const FLAC__StreamDecoderInitStatus status =
        init(decoder.get(), read, seek, tell, length, at_end, write, metadata, error, &decoding);
    if (status != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        throw read_failure(format, source, FLAC__StreamDecoderInitStatusString[status]);
    }
    if (FLAC__stream_decoder_process_until_end_of_metadata(decoder.get()) == 0 ||
        !decoding.stream_info) {
        throw read_failure(format, source, "no stream information");
    }
    decoding.opened = true;
    const FLAC__StreamMetadata_StreamInfo& stream = *decoding.stream_info;
    sink.start({static_cast<int>(stream.channels), static_cast<long>(stream.sample_rate),
                ChannelOrder::wave});
    decoding.sink = &sink;
    const bool ended = FLAC__stream_decoder_process_until_end_of_stream(decoder.get()) != 0;
    if (decoding.failure) {
        std::rethrow_exception(decoding.failure);
    }
    if (!source.failure().empty()) {
        throw read_failure(format, source, "");
    }
    if (decoding.decode_error) {
        throw media_error(std::string(format) + ": decoding failed after sample " +
                          std::to_string(decoding.decode_error->second) + ": " +
                          FLAC__StreamDecoderErrorStatusString[decoding.decode_error->first]);
    }
    if (!ended) {
        throw media_error(
            std::string(format) + ": decoding failed after sample " +
            std::to_string(decoding.end_sample) + ": " +
            FLAC__StreamDecoderStateString[FLAC__stream_decoder_get_state(decoder.get())]);
    }
}

}  // namespace media::detail
