#include "formats/wavpack/wavpack_reader.hpp"

#include <algorithm>    // std::max
#include <cmath>        // std::lround
#include <memory>       // std::unique_ptr
#include <optional>     // std::optional
#include <string>       // std::to_string
#include <string_view>  // std::string_view
#include <vector>       // std::vector

#include <cstring>  // memrchr, a GNU extension; std::memcpy

#include <wavpack/wavpack.h>

#include "formats/reader.hpp"
#include "io/byte_order.hpp"
#include "tags/ape_tags.hpp"
#include "tags/tag_collector.hpp"

namespace media::detail {

namespace {

constexpr const char* format = "WavPack";

struct ContextCloser {
    void operator()(WavpackContext* context) const { WavpackCloseFile(context); }
};
using ScopedContext = std::unique_ptr<WavpackContext, ContextCloser>;

// libwavpack reads through these, and may give one byte back.
struct Reading {
    FileSource& source;
    int pushed = -1;  // a byte given back, not yet read again
    // libwavpack keeps a pointer to its table of callbacks: here, as long as the read.
    WavpackStreamReader64 callbacks{};
};

Reading& of(void* id)
{
    return *static_cast<Reading*>(id);
}

// As fread: all that is asked for, short only at the end or on a failure.
int32_t read_bytes(void* id, void* data, int32_t count)
{
    Reading& reading = of(id);
    auto* bytes = static_cast<unsigned char*>(data);
    int32_t given = 0;
    if (count > 0 && reading.pushed >= 0) {
        bytes[given++] = static_cast<unsigned char>(reading.pushed);
        reading.pushed = -1;
    }
    while (given < count) {
        const long got =
            reading.source.read(bytes + given, static_cast<std::size_t>(count - given));
        if (got <= 0) {
            break;
        }
        given += static_cast<int32_t>(got);
    }
    return given;
}

int32_t write_bytes(void* /*id*/, void* /*data*/, int32_t /*count*/)
{
    return 0;  // never written
}

int64_t get_pos(void* id)
{
    const Reading& reading = of(id);
    return reading.source.tell() - (reading.pushed >= 0 ? 1 : 0);
}

int set_pos_abs(void* id, int64_t position)
{
    Reading& reading = of(id);
    reading.pushed = -1;
    return reading.source.seek(position, SEEK_SET) ? 0 : -1;
}

int set_pos_rel(void* id, int64_t delta, int mode)
{
    Reading& reading = of(id);
    if (reading.pushed >= 0 && mode == SEEK_CUR) {
        --delta;
    }
    reading.pushed = -1;
    return reading.source.seek(delta, mode) ? 0 : -1;
}

int push_back_byte(void* id, int byte)
{
    of(id).pushed = byte;
    return byte;
}

int64_t get_length(void* id)
{
    const FileSource& source = of(id).source;
    return source.seekable() ? source.size() : 0;
}

int can_seek(void* id)
{
    return of(id).source.seekable() ? 1 : 0;
}

int truncate_here(void* /*id*/)
{
    return -1;
}

int close_file(void* /*id*/)
{
    return 0;  // the source is closed by its owner
}

constexpr std::size_t tail_read = std::size_t{8} << 10U;

// Where the last "wvpk" before `end` in `bytes` is, if any.
std::optional<std::size_t> last_magic(std::string_view bytes, std::size_t end)
{
    while (end >= 4) {
        const void* w = memrchr(bytes.data(), 'w', end - 3);
        if (w == nullptr) {
            return std::nullopt;
        }
        const auto at = static_cast<std::size_t>(static_cast<const char*>(w) - bytes.data());
        if (bytes.compare(at, 4, "wvpk") == 0) {
            return at;
        }
        end = at + 3;
    }
    return std::nullopt;
}

// A block's header: where it is, the bytes it takes, its first sample and its count.
struct Block {
    std::size_t at = 0;
    std::uint64_t size = 0;  // the header's and the data's
    std::uint64_t first = 0;
    std::uint64_t count = 0;
};

std::optional<Block> block_at(std::string_view bytes, std::size_t at)
{
    constexpr std::size_t header = 32;
    if (at + header > bytes.size()) {
        return std::nullopt;
    }
    return Block{at, little_endian(bytes, at + 4, 4) + 8,
                 little_endian(bytes, at + 10, 1) << 32U | little_endian(bytes, at + 16, 4),
                 little_endian(bytes, at + 20, 4)};
}

// The block of audio that ends the bytes up to `end`: the last one whole, with
// samples; none where none is.
std::optional<Block> last_whole_block(std::string_view bytes, std::size_t end)
{
    for (auto at = last_magic(bytes, end); at; at = last_magic(bytes, *at + 3)) {
        const auto block = block_at(bytes, *at);
        if (block && block->count > 0 && *at + block->size <= bytes.size()) {
            return block;  // one cut short is passed over: what is before it plays
        }
    }
    return std::nullopt;
}

// Whether a block ends where `block` begins and leads to it (the samples before it, or
// the same ones in another channel pair's block): it is then a block of the file's,
// not bytes that look like one.
bool follows_a_block(std::string_view bytes, const Block& block)
{
    for (auto at = last_magic(bytes, block.at); at; at = last_magic(bytes, *at + 3)) {
        const auto before = block_at(bytes, *at);
        if (before && *at + before->size == block.at) {
            return block.first == before->first + before->count || block.first == before->first;
        }
    }
    return false;
}

// Whether `block` ends the audio exactly where `end` is, with the version of a block
// that libwavpack reads, and ends the samples the first block stated: a block of the
// file's, that bytes of audio could look like only by a chance of about 2^-60.
bool ends_as_stated(std::string_view bytes, const Block& block, std::size_t end,
                    std::optional<std::uint64_t> stated)
{
    const std::uint64_t version = little_endian(bytes, block.at + 8, 2);
    return stated && block.at + block.size == end && version >= 0x402 && version <= 0x410 &&
           block.first + block.count == *stated;
}

// Where the audio ends, by the last whole block before `audio_end` that the blocks
// before it lead to, or that ends the samples `stated` (by the first block): its first
// sample's index and its count. The last block is most often short, no larger than
// the first (`first_block` bytes, 0 where not known, which has the file's header as
// well), and seldom much larger; no block is past 1 MiB. None when that cannot be
// told.
std::optional<std::uint64_t> last_block_end(FileSource& source, std::int64_t audio_end,
                                            std::optional<std::uint64_t> stated,
                                            std::size_t first_block)
{
    if (audio_end <= 0) {
        return std::nullopt;
    }
    constexpr std::int64_t most = (std::int64_t{1} << 20U) + 32;
    const auto first = static_cast<std::int64_t>(first_block);
    const std::int64_t like_the_first = std::min<std::int64_t>(first + 64, most);
    const std::int64_t twice_the_first = std::min<std::int64_t>(2 * first + 64, most);
    std::int64_t reached = 0;
    for (const std::int64_t reach : {static_cast<std::int64_t>(tail_read), like_the_first,
                                     twice_the_first, std::int64_t{128} << 10U, most}) {
        if (reach <= reached) {
            continue;
        }
        reached = reach;
        const std::int64_t from = std::max<std::int64_t>(0, audio_end - reach);
        const std::string_view tail = source.peek(from, static_cast<std::size_t>(audio_end - from));
        if (const auto block = last_whole_block(tail, tail.size())) {
            // A last block that agrees with the first needs no block before it to vouch
            // for it: the one before is often larger than the window at the end.
            if (ends_as_stated(tail, *block, tail.size(), stated) ||
                follows_a_block(tail, *block) || (from == 0 && !last_magic(tail, block->at))) {
                return block->first + block->count;
            }
        }
        if (from == 0 || tail.empty()) {
            break;
        }
    }
    return std::nullopt;
}

// What the first block of an ordinary file states, read here: its channels, rate and
// length, as libwavpack reads them.
struct Stated {
    int channels = 0;
    long rate = 0;
    std::int64_t samples = -1;  // -1: not stated
    std::size_t block = 0;      // the first block's bytes
};

// Whether a sub-block's id is one of the audio's: ID_WV_, ID_WVC_ or ID_WVX_BITSTREAM.
bool audio_id(unsigned id)
{
    const unsigned kind = id & 0x3FU;
    return kind >= 0x0A && kind <= 0x0C;
}

// The sub-blocks of a first block's metadata that say its rate and channels, as far
// as `head` holds them: false for a count of channels libwavpack reads otherwise.
// `whole`: whether `head` held all of them, up to the audio or the block's end.
bool take_metadata(std::string_view head, std::size_t block, Stated& stated, bool& whole)
{
    constexpr std::size_t header = 32;
    whole = head.size() >= block;
    for (std::size_t at = header; at + 2 <= std::min(block, head.size());) {
        const unsigned id = static_cast<unsigned char>(head[at]);
        const bool large = (id & 0x80U) != 0;
        whole = whole || audio_id(id);
        if (large && at + 4 > head.size()) {
            break;
        }
        const std::size_t words =
            large ? little_endian(head, at + 1, 3) : static_cast<unsigned char>(head[at + 1]);
        const std::size_t data = at + (large ? 4 : 2);
        const std::size_t size = words * 2 - ((id & 0x40U) != 0 && words > 0 ? 1 : 0);
        if (data + size > head.size()) {
            break;  // the audio's bytes, or more than was read
        }
        if ((id & 0x3FU) == 0x27 && size >= 3) {  // ID_SAMPLE_RATE
            const auto high = size >= 4 ? (little_endian(head, data + 3, 1) & 0x7FU) << 24U : 0;
            stated.rate = static_cast<long>(little_endian(head, data, 3) | high);
        } else if ((id & 0x3FU) == 0x0D && size >= 1) {  // ID_CHANNEL_INFO
            stated.channels = static_cast<unsigned char>(head[data]);
            if (size >= 6) {  // 12 bits of the count in the wide form: not this reader's
                return false;
            }
        }
        at = data + words * 2;
    }
    return true;
}

// The rate a block's flags index, or that its ID_SAMPLE_RATE sub-block states; and its
// channels, by ID_CHANNEL_INFO or else its mono flag. None for a first block that is
// not plainly one (no samples, a version libwavpack reads otherwise, metadata that does
// not hold together), which libwavpack is then left to read.
std::optional<Stated> first_block(FileSource& source)
{
    constexpr long rates[] = {6000,  8000,  9600,  11025, 12000, 16000, 22050, 24000,
                              32000, 44100, 48000, 64000, 88200, 96000, 192000};
    constexpr std::size_t header = 32;
    // Its header and metadata are mostly in the first few hundred bytes.
    std::string head(source.peek(0, 2048));
    if (head.size() < header || head.compare(0, 4, "wvpk") != 0) {
        return std::nullopt;
    }
    const auto version = little_endian(head, 8, 2);
    const auto flags = little_endian(head, 24, 4);
    const std::size_t block = static_cast<std::size_t>(little_endian(head, 4, 4)) + 8;
    const bool initial = (flags & 0x800U) != 0;
    // A first block cut short is libwavpack's to refuse.
    if (static_cast<std::int64_t>(block) > source.size() || version < 0x402 || version > 0x410 ||
        little_endian(head, 20, 4) == 0 || !initial || little_endian(head, 16, 4) != 0 ||
        head[10] != '\0') {
        return std::nullopt;
    }
    Stated stated;
    stated.block = block;
    const auto low = little_endian(head, 12, 4);
    const auto high = little_endian(head, 11, 1);
    stated.samples =
        low == 0xFFFFFFFFU ? -1 : static_cast<std::int64_t>(low + (high << 32U) - high);
    const auto rate_index = (flags >> 23U) & 15U;
    stated.rate = rate_index < std::size(rates) ? rates[rate_index] : 0;
    stated.channels = (flags & 4U) != 0 ? 1 : 2;
    bool whole = false;
    if (!take_metadata(head, block, stated, whole)) {
        return std::nullopt;
    }
    if (!whole) {  // a large header of the file it was made of: more of it
        head = source.peek(0, 4096);
        if (!take_metadata(head, block, stated, whole)) {
            return std::nullopt;
        }
    }
    if (stated.rate <= 0 || stated.channels <= 0 || stated.samples < 0) {
        return std::nullopt;
    }
    return stated;
}

// The tags, and the length that the first block states held to the last block:
// where they differ, the last block's end is the better guess.
MediaInfo with_length(FileSource& source, MediaInfo info, std::int64_t samples,
                      std::size_t first_block)
{
    // The tags and the last block, from one read of the file's end where they fit: a
    // last block as large as the first, and a small tag.
    const std::size_t reach = std::max(tail_read, first_block + 64 + 1024);
    source.peek(std::max<std::int64_t>(0, source.size() - static_cast<std::int64_t>(reach)), reach);
    TagCollector tags;
    std::int64_t audio_end = 0;
    if (const char* why = read_ape_tags(source, tags, audio_end)) {
        throw media_error(std::string(format) + ": " + why);
    }
    if (!source.failure().empty()) {
        throw read_failure(format, source, "");
    }
    const auto end =
        source.seekable()
            ? last_block_end(source, audio_end,
                             samples >= 0 ? std::optional<std::uint64_t>(samples) : std::nullopt,
                             first_block)
            : std::nullopt;
    if (samples >= 0 || end) {
        const bool agree = end && samples >= 0 && *end == static_cast<std::uint64_t>(samples);
        info.samples = agree || !end ? samples : static_cast<std::int64_t>(*end);
        // A stream has neither a last block to look at nor a size: taken at its word.
        info.exact = !source.seekable() ||
                     (agree && static_cast<std::uint64_t>(*info.samples) <=
                                   static_cast<std::uint64_t>(source.size()) * max_samples_a_byte);
        info.duration_secs =
            static_cast<double>(*info.samples) / static_cast<double>(info.sample_rate);
    }
    // The file's bytes over the time its first block states, as libwavpack has it.
    const double stated_secs = static_cast<double>(samples) / static_cast<double>(info.sample_rate);
    if (samples >= 0 && source.seekable() && stated_secs >= 0.1 && source.size() > 0) {
        info.bitrate = std::lround(8.0 * static_cast<double>(source.size()) / stated_secs);
    }
    tags.move_into(info);
    return info;
}

// libwavpack's context of the file that `reading` reads, which outlives it.
ScopedContext open_context(Reading& reading, int flags)
{
    reading.callbacks = {read_bytes,     write_bytes, get_pos,  set_pos_abs,   set_pos_rel,
                         push_back_byte, get_length,  can_seek, truncate_here, close_file};
    char error[81] = {};  // libwavpack writes at most 80 characters
    ScopedContext context(
        WavpackOpenFileInputEx64(&reading.callbacks, &reading, nullptr, error, flags, 0));
    if (!context) {
        throw read_failure(format, reading.source, error);
    }
    return context;
}

}  // namespace

MediaInfo read_wavpack(FileSource& source, const Probe& /*probe*/)
{
    // DSD in WavPack: a bit stream at megahertz rates, no PCM this library reads.
    constexpr std::uint64_t dsd_flag = 0x80000000U;
    const std::string_view first = source.peek(0, 32);
    if (first.size() == 32 && (little_endian(first, 24, 4) & dsd_flag) != 0) {
        throw unsupported_format("DSD WavPack", false);
    }
    MediaInfo info;
    info.codec = "wavpack";
    const std::optional<Stated> stated = source.seekable() ? first_block(source) : std::nullopt;
    if (stated) {
        info.channels = stated->channels;
        info.sample_rate = stated->rate;
        return with_length(source, std::move(info), stated->samples, stated->block);
    }
    Reading reading{source};
    const ScopedContext context = open_context(reading, OPEN_NO_CHECKSUM);
    WavpackContext* wpc = context.get();
    info.channels = WavpackGetNumChannels(wpc);
    info.sample_rate = static_cast<long>(WavpackGetSampleRate(wpc));
    if (info.channels <= 0 || info.sample_rate <= 0) {
        throw media_error("WavPack: no channels or rate");
    }
    return with_length(source, std::move(info), WavpackGetNumSamples64(wpc), 0);
}

void decode_wavpack(FileSource& source, const Probe& /*probe*/, FrameSink& sink)
{
    Reading reading{source};
    // Normalised: float samples come as floats of full scale 1.0. The blocks' checksums
    // are checked, so that a damaged block fails the decode rather than being measured.
    const ScopedContext context = open_context(reading, OPEN_NORMALIZE);
    WavpackContext* wpc = context.get();
    const int channels = WavpackGetNumChannels(wpc);
    const auto rate = static_cast<long>(WavpackGetSampleRate(wpc));
    const int bytes = WavpackGetBytesPerSample(wpc);
    const bool floats = (WavpackGetMode(wpc) & MODE_FLOAT) != 0;
    if (channels <= 0 || rate <= 0 || bytes < 1 || bytes > 4) {
        throw media_error("WavPack: no channels, rate or sample size");
    }
    sink.start({channels, rate, ChannelOrder::wave});
    constexpr std::uint32_t most = 4096;
    std::vector<std::int32_t> samples(std::size_t{most} * static_cast<std::size_t>(channels));
    std::vector<float> converted(floats ? samples.size() : 0);
    std::int64_t decoded = 0;
    for (;;) {
        const std::uint32_t got = WavpackUnpackSamples(wpc, samples.data(), most);
        if (WavpackGetNumErrors(wpc) > 0 || !source.failure().empty()) {
            throw read_failure(format, source,
                               "decoding failed after sample " + std::to_string(decoded) +
                                   ": a block's checksum is wrong");
        }
        if (got == 0) {
            break;
        }
        if (floats) {
            const std::size_t count = std::size_t{got} * static_cast<std::size_t>(channels);
            std::memcpy(converted.data(), samples.data(), count * sizeof(float));
            sink.interleaved(converted.data(), got);
        } else {
            sink_integers(sink, samples.data(), got, channels, bytes * 8);
        }
        decoded += got;
    }
}

}  // namespace media::detail
