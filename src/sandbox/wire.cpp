#include "sandbox/wire.hpp"

#include <algorithm>  // std::min

#include <nlohmann/json.hpp>

#include "formats/info_extension.hpp"
#include "formats/record_check.hpp"
#include "loudness/gating.hpp"
#include "loudness/measure.hpp"
#include "sandbox/message_reader.hpp"

namespace media::detail {

namespace {

using Json = nlohmann::json;

// Arrays of fields by their place, not objects by name: a scan sends an answer a
// file, and names would cost more than the values to write and to look up.
Json info_json(const MediaInfo& info)
{
    Json tags = Json::array();
    for (const auto& [name, values] : info.tags) {
        tags.push_back(name);
        tags.push_back(values);
    }
    Json pictures = Json::array();
    for (const Picture& picture : info.pictures) {
        pictures.push_back(
            Json::array({picture.type, picture.mime_type, picture.description,
                         picture.width ? Json(*picture.width) : Json(nullptr),
                         picture.height ? Json(*picture.height) : Json(nullptr), picture.size}));
    }
    // No duration: the receiver works it out from the samples.
    Json record = Json::array({info.codec, info.channels, info.sample_rate,
                               info.samples ? Json(*info.samples) : Json(nullptr), info.exact,
                               info.bitrate ? Json(*info.bitrate) : Json(nullptr), std::move(tags),
                               info.dropped_tags, std::move(pictures)});
    // What the record's extension holds, where it holds anything.
    if (const InfoExtension* extension = info_extension(info);
        extension != nullptr && !extension->flac_cue_sheet.empty()) {
        const std::string& block = extension->flac_cue_sheet;
        record.push_back(Json::binary(std::vector<std::uint8_t>(block.begin(), block.end())));
    }
    return record;
}

Json bins_json(const std::vector<LoudnessBin>& bins)
{
    Json flat = Json::array();
    for (const LoudnessBin& bin : bins) {
        flat.push_back(bin.bin);
        flat.push_back(bin.blocks);
        flat.push_back(bin.energy);
    }
    return flat;
}

// Integrated loudness and range go unsaid: the receiver works them out from the bins.
Json loudness_json(const Loudness& loudness)
{
    return Json::array({loudness.channels, loudness.sample_rate, loudness.frames,
                        loudness.sample_peak,
                        loudness.true_peak ? Json(*loudness.true_peak) : Json(nullptr),
                        bins_json(loudness.momentary_bins), bins_json(loudness.short_term_bins)});
}

std::string as_bytes(const Json& document)
{
    // Written straight into the text that is sent: no vector to copy from.
    std::string packed;
    packed.reserve(512);
    Json::to_msgpack(document, packed);
    return packed;
}

// A greeting: {"h": why the reader is not sandboxed, or ""}, and nothing else.
class HelloReader : public MessageSax {
public:
    explicit HelloReader(std::string& refusal) : refusal_(refusal) {}

    bool null() override { return fail("a null"); }
    bool boolean(bool /*value*/) override { return fail("a truth value"); }
    bool number_integer(number_integer_t /*value*/) override { return fail("an integer"); }
    bool number_unsigned(number_unsigned_t /*value*/) override { return fail("an integer"); }
    bool number_float(number_float_t /*value*/, const string_t& /*text*/) override
    {
        return fail("a fraction");
    }
    bool binary(binary_t& /*value*/) override { return fail("bytes"); }
    bool start_array(std::size_t /*size*/) override { return fail("a list"); }
    bool end_array() override { return fail("a list"); }
    bool start_object(std::size_t /*size*/) override
    {
        return state_ == State::start ? advance(State::key) : fail("an object where none goes");
    }
    bool key(string_t& value) override
    {
        return state_ == State::key && value == "h" ? advance(State::refusal)
                                                    : fail("a key where none goes");
    }
    bool string(string_t& value) override
    {
        if (state_ != State::refusal) {
            return fail("a text where none goes");
        }
        refusal_ = std::move(value);
        return advance(State::end);
    }
    bool end_object() override
    {
        return state_ == State::end ? advance(State::done) : fail("a greeting cut short");
    }

private:
    enum class State { start, key, refusal, end, done };

    bool advance(State next)
    {
        state_ = next;
        return true;
    }

    std::string& refusal_;
    State state_ = State::start;
};

}  // namespace

bool MessageSax::parse_error(std::size_t /*position*/, const std::string& /*last_token*/,
                             const nlohmann::detail::exception& /*error*/)
{
    return fail("no MessagePack");
}

std::string framed(const std::string& document)
{
    std::string frame;
    frame.reserve(4 + document.size());
    const auto size = static_cast<std::uint32_t>(document.size());
    for (std::size_t i = 0; i < 4; ++i) {
        frame += static_cast<char>(size >> (8 * i) & 0xFFU);
    }
    frame += document;
    return frame;
}

std::uint32_t frame_length(std::string_view header)
{
    std::uint32_t size = 0;
    for (std::size_t i = 0; i < 4 && i < header.size(); ++i) {
        size |= static_cast<std::uint32_t>(static_cast<unsigned char>(header[i])) << (8 * i);
    }
    return size;
}

std::string encode_hello(const std::string& refusal)
{
    return as_bytes({{"h", refusal}});
}

std::string decode_hello(std::string_view document)
{
    return read_message<std::string, HelloReader>(document, "no greeting");
}

std::string encode(const ReadRequest& request)
{
    Json ranges = Json::array();
    for (const SampleRange& range : request.ranges) {
        ranges.push_back(range.start);
        ranges.push_back(range.samples);
    }
    return as_bytes(
        Json::array({static_cast<int>(request.kind), request.id, request.work.count(),
                     request.picture, request.picture_max, request.true_peak, std::move(ranges)}));
}

std::string encode(const Answer& answer)
{
    const ReadOutcome& outcome = answer.outcome;
    Json document = Json::array({answer.id, static_cast<int>(outcome.kind), outcome.message});
    if (outcome.kind == ReadOutcome::Kind::info) {
        document.push_back(info_json(outcome.info));
    } else if (outcome.kind == ReadOutcome::Kind::unsupported) {
        document.push_back(outcome.in_ogg);
    } else if (outcome.kind == ReadOutcome::Kind::loudness) {
        Json parts = Json::array();
        for (const Loudness& part : outcome.loudness) {
            parts.push_back(loudness_json(part));
        }
        document.push_back(std::move(parts));
    } else if (outcome.kind == ReadOutcome::Kind::picture) {
        document.push_back(Json::binary(
            std::vector<std::uint8_t>(outcome.picture.begin(), outcome.picture.end())));
    }
    return as_bytes(document);
}

std::uint32_t answer_limit(const ReadRequest& request, std::optional<std::int64_t> size)
{
    // What MessagePack spends around a value: a string's or number's header, at most
    // nine bytes; a picture's six fields.
    constexpr std::uint64_t per_value = 9;
    constexpr std::uint64_t per_picture = 64;
    constexpr std::uint64_t fixed = 1024 + max_failure_text;
    const std::uint64_t bytes = size ? static_cast<std::uint64_t>(std::max<std::int64_t>(*size, 0))
                                     : std::uint64_t{max_tag_bytes};
    const std::uint64_t values = std::min<std::uint64_t>(max_tag_count, bytes + 16);
    const std::uint64_t pictures = std::min<std::uint64_t>(max_pictures, bytes);
    std::uint64_t limit = fixed + max_record_text(size) + 2 * values * per_value +
                          pictures * per_picture +
                          std::min<std::uint64_t>(max_cue_sheet_block, bytes);
    if (request.kind == ReadRequest::Kind::picture) {
        limit += std::min<std::uint64_t>(request.picture_max, bytes);
    }
    if (request.kind == ReadRequest::Kind::loudness) {
        constexpr std::uint64_t bin_values = 6;  // two histograms, three values a bin
        const std::uint64_t parts = std::max<std::size_t>(request.ranges.size(), 1);
        limit += parts * bin_values * per_value * static_cast<std::uint64_t>(bin_count);
    }
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(limit, 0xFFFFFFFFU));
}

namespace {

// Why `parts` are no answer to the loudness that `request` asks; empty when they are.
std::string loudness_answer_problem(const ReadRequest& request, std::optional<std::int64_t> size,
                                    std::vector<Loudness>& parts)
{
    if (request.kind != ReadRequest::Kind::loudness) {
        return "a loudness where none was asked for";
    }
    if (parts.size() != std::max<std::size_t>(request.ranges.size(), 1)) {
        return std::to_string(parts.size()) + " loudnesses for " +
               std::to_string(std::max<std::size_t>(request.ranges.size(), 1)) + " asked";
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        Loudness& part = parts[i];
        if (part.true_peak.has_value() != request.true_peak) {
            return "a true peak where none was asked for, or none where one was";
        }
        // A range's frames are the range's.
        if (!request.ranges.empty() && part.frames != request.ranges[i].samples) {
            return "a loudness of " + std::to_string(part.frames) + " frames for a range of " +
                   std::to_string(request.ranges[i].samples);
        }
        std::string problem = loudness_problem(part, size);
        if (!problem.empty()) {
            return problem;
        }
    }
    return {};
}

}  // namespace

std::string answer_problem(const ReadRequest& request, std::optional<std::int64_t> size,
                           ReadOutcome& outcome)
{
    using Kind = ReadOutcome::Kind;
    if (outcome.message.size() > max_failure_text) {
        return "a message of " + std::to_string(outcome.message.size()) + " bytes";
    }
    const bool asked_picture = request.kind == ReadRequest::Kind::picture;
    switch (outcome.kind) {
    case Kind::info:
        if (request.kind != ReadRequest::Kind::info) {
            return "a record where none was asked for";
        }
        return record_problem(outcome.info, size);
    case Kind::loudness:
        return loudness_answer_problem(request, size, outcome.loudness);
    case Kind::picture:
        if (!asked_picture) {
            return "a picture where none was asked for";
        }
        if (outcome.picture.empty() || outcome.picture.size() > request.picture_max ||
            (size && outcome.picture.size() > static_cast<std::uint64_t>(*size))) {
            return "a picture of " + std::to_string(outcome.picture.size()) + " bytes";
        }
        return {};
    case Kind::unsupported:
        return outcome.message.empty() ? "an unnamed format" : std::string();
    case Kind::failed:
    case Kind::out_of_memory:
        return {};
    }
    return "no such outcome";
}

}  // namespace media::detail
