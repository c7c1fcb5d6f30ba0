#include "formats/mp4/mp4_decoder.hpp"

#include <algorithm>  // std::min
#include <cstdint>    // std::uint64_t
#include <cstring>    // std::memcpy
#include <memory>     // std::unique_ptr
#include <string>     // std::string
#include <vector>     // std::vector

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include "formats/mp4/mp4_boxes.hpp"
#include "formats/mp4/mp4_layout.hpp"
#include "formats/mp4/mp4_reader.hpp"
#include "formats/mp4/mp4_samples.hpp"
#include "formats/mp4/mp4_tags.hpp"
#include "formats/mp4/mp4_track.hpp"
#include "formats/reader.hpp"

namespace media::detail {

namespace {

constexpr const char* format = "MP4";

struct ContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using Context = std::unique_ptr<AVCodecContext, ContextFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;

std::string av_text(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

Context open_decoder(const SoundTrack& track)
{
    const AVCodec* codec =
        avcodec_find_decoder(track.codec == "aac" ? AV_CODEC_ID_AAC : AV_CODEC_ID_ALAC);
    Context context(codec != nullptr ? avcodec_alloc_context3(codec) : nullptr);
    if (!context) {
        throw media_error("MP4: no decoder of " + track.codec);
    }
    // One thread: the reader processes are the parallelism, and may start no thread.
    context->thread_count = 1;
    context->sample_rate = static_cast<int>(track.sample_rate);
    av_channel_layout_default(&context->ch_layout, track.channels);
    const std::size_t size = track.config.size();
    context->extradata =
        static_cast<std::uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (context->extradata == nullptr) {
        throw std::bad_alloc();
    }
    std::memcpy(context->extradata, track.config.data(), size);
    context->extradata_size = static_cast<int>(size);
    if (const int error = avcodec_open2(context.get(), codec, nullptr); error < 0) {
        throw media_error("MP4: " + track.codec + ": " + av_text(error));
    }
    return context;
}

// A decoded frame's samples, planar floats whatever libavcodec gave.
class Converter {
public:
    const float* const* planar(const AVFrame& frame)
    {
        const int channels = frame.ch_layout.nb_channels;
        const auto count = static_cast<std::size_t>(frame.nb_samples);
        heads_.assign(static_cast<std::size_t>(channels), nullptr);
        const auto format = static_cast<AVSampleFormat>(frame.format);
        if (format == AV_SAMPLE_FMT_FLTP) {
            for (int c = 0; c < channels; ++c) {
                heads_[static_cast<std::size_t>(c)] =
                    reinterpret_cast<const float*>(frame.extended_data[c]);
            }
            return heads_.data();
        }
        floats_.resize(count * static_cast<std::size_t>(channels));
        for (int c = 0; c < channels; ++c) {
            float* out = floats_.data() + static_cast<std::size_t>(c) * count;
            convert(frame, format, c, out, count);
            heads_[static_cast<std::size_t>(c)] = out;
        }
        return heads_.data();
    }

private:
    static void convert(const AVFrame& frame, AVSampleFormat format, int channel, float* out,
                        std::size_t count)
    {
        const int channels = frame.ch_layout.nb_channels;
        const bool planar = av_sample_fmt_is_planar(format) != 0;
        const std::uint8_t* data = frame.extended_data[planar ? channel : 0];
        const std::size_t stride = planar ? 1 : static_cast<std::size_t>(channels);
        const std::size_t first = planar ? 0 : static_cast<std::size_t>(channel);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t at = first + i * stride;
            switch (av_get_packed_sample_fmt(format)) {
            case AV_SAMPLE_FMT_S16:
                out[i] =
                    static_cast<float>(reinterpret_cast<const std::int16_t*>(data)[at]) / 32768.0F;
                break;
            case AV_SAMPLE_FMT_S32:
                out[i] = static_cast<float>(reinterpret_cast<const std::int32_t*>(data)[at]) /
                         2147483648.0F;
                break;
            case AV_SAMPLE_FMT_FLT:
                out[i] = reinterpret_cast<const float*>(data)[at];
                break;
            default:
                throw media_error("MP4: decoded samples of a format not taken");
            }
        }
    }

    std::vector<const float*> heads_;
    std::vector<float> floats_;
};

// The frames past the first `skip`, `count` of them at most, to the sink.
class Trim {
public:
    Trim(FrameSink& sink, std::uint64_t skip, std::uint64_t count)
        : sink_(sink), skip_(skip), left_(count)
    {
    }

    void take(const float* const* channels, int channel_count, std::size_t frames)
    {
        const auto skipped = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, frames));
        skip_ -= skipped;
        const std::size_t kept =
            static_cast<std::size_t>(std::min<std::uint64_t>(left_, frames - skipped));
        left_ -= kept;
        if (kept == 0) {
            return;
        }
        moved_.resize(static_cast<std::size_t>(channel_count));
        for (int c = 0; c < channel_count; ++c) {
            moved_[static_cast<std::size_t>(c)] = channels[c] + skipped;
        }
        sink_.planar(moved_.data(), kept);
    }

private:
    FrameSink& sink_;
    std::uint64_t skip_;
    std::uint64_t left_;
    std::vector<const float*> moved_;
};

}  // namespace

void decode_mp4(FileSource& source, const Probe& probe, FrameSink& sink)
{
    // The reader's count first: what plays, and where it starts.
    const MediaInfo info = read_mp4(source, probe);
    BoxFile file(source);
    const Layout layout = file_layout(file);
    if (!layout.moov || layout.fragmented) {
        throw media_error("MP4: a fragmented file is not decoded for loudness");
    }
    const SoundTrack track = first_sound_track(file, *layout.moov);
    if (!track.tables || !info.samples) {
        throw media_error("MP4: the sound track's samples cannot be found");
    }
    const std::uint64_t skip = playing_start(file, *layout.moov, track);
    Context context = open_decoder(track);
    const Frame frame(av_frame_alloc());
    const Packet packet(av_packet_alloc());
    if (!frame || !packet) {
        throw std::bad_alloc();
    }
    sink.start({track.channels, track.sample_rate, ChannelOrder::wave});
    Trim trim(sink, skip, static_cast<std::uint64_t>(*info.samples));
    Converter converter;
    std::uint64_t decoded = 0;
    const auto fail = [&](int error) {
        return read_failure(format, source,
                            "decoding failed after sample " + std::to_string(decoded) + ": " +
                                av_text(error));
    };
    const auto drain = [&] {
        for (;;) {
            const int got = avcodec_receive_frame(context.get(), frame.get());
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) {
                return;
            }
            if (got < 0) {
                throw fail(got);
            }
            if (frame->ch_layout.nb_channels != track.channels) {
                throw media_error("MP4: a frame of another channel count than the track's");
            }
            trim.take(converter.planar(*frame), track.channels,
                      static_cast<std::size_t>(frame->nb_samples));
            decoded += static_cast<std::uint64_t>(frame->nb_samples);
            av_frame_unref(frame.get());
        }
    };
    SampleWalk samples(file, *track.tables, track.sample_count);
    std::string bytes;
    while (samples.next(bytes)) {
        if (av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) {
            throw std::bad_alloc();
        }
        std::memcpy(packet->data, bytes.data(), bytes.size());
        const int sent = avcodec_send_packet(context.get(), packet.get());
        av_packet_unref(packet.get());
        if (sent < 0) {
            throw fail(sent);
        }
        drain();
    }
    if (!source.failure().empty()) {
        throw read_failure(format, source, "");
    }
    avcodec_send_packet(context.get(), nullptr);
    drain();
}

}  // namespace media::detail
