#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "loudness/gating.hpp"
#include "loudness/loudness_meter.hpp"
#include "loudness/measure.hpp"
#include "sandbox/wire.hpp"

namespace {

using media::detail::Answer;
using media::detail::ReadOutcome;
using media::detail::ReadRequest;
using Json = nlohmann::json;

std::string packed(const Json& document)
{
    const std::vector<std::uint8_t> bytes = Json::to_msgpack(document);
    return {bytes.begin(), bytes.end()};
}

std::string decoded(const Json& document)
{
    try {
        const Answer answer = media::detail::decode_answer(packed(document));
        return "id " + std::to_string(answer.id);
    } catch (const media::media_error& e) {
        return e.what();
    }
}

// What goes over the wire comes back as it went: a record with tags and pictures, a
// picture's bytes.
TEST(wire, answers_read_back_as_sent)
{
    Answer sent{42, {}};
    sent.outcome.kind = ReadOutcome::Kind::info;
    media::MediaInfo& info = sent.outcome.info;
    info.codec = "flac";
    info.channels = 2;
    info.sample_rate = 44100;
    info.samples = 100000;
    info.exact = true;
    info.bitrate = 900000;
    info.tags = {{"ARTIST", {"Ann", "Bob"}}, {"TITLE", {std::string("a\0b", 3)}}};
    info.dropped_tags = {"LYRICS"};
    info.pictures.push_back({3, "image/png", "Front", 8, std::nullopt, 120});
    const Answer got = media::detail::decode_answer(media::detail::encode(sent));
    EXPECT_EQ(got.id, 42U);
    EXPECT_EQ(got.outcome.info.tags, info.tags);
    EXPECT_EQ(got.outcome.info.dropped_tags, info.dropped_tags);
    EXPECT_EQ(got.outcome.info.samples, info.samples);
    EXPECT_EQ(got.outcome.info.bitrate, info.bitrate);
    ASSERT_EQ(got.outcome.info.pictures.size(), 1U);
    EXPECT_EQ(got.outcome.info.pictures[0].width, 8);
    EXPECT_EQ(got.outcome.info.pictures[0].height, std::nullopt);

    Answer picture{7, {}};
    picture.outcome.kind = ReadOutcome::Kind::picture;
    picture.outcome.picture = std::string("\x89PNG\0\xFF", 6);
    EXPECT_EQ(media::detail::decode_answer(media::detail::encode(picture)).outcome.picture,
              picture.outcome.picture);
}

// A document that is not an answer is refused, whatever type or size a field takes:
// never cast (a float or a too large integer as an int is undefined behaviour).
TEST(wire, what_is_no_answer_is_refused)
{
    const Json record = Json::array(
        {"pcm", 1, 8000, 10, false, nullptr, Json::array(), Json::array(), Json::array()});
    const auto with = [&record](std::size_t field, Json value) {
        Json changed = record;
        changed[field] = std::move(value);
        return Json::array({1, 0, "", changed});
    };
    const std::string malformed = "a malformed message: ";
    const struct {
        Json document;
        std::string outcome;
    } rows[] = {
        {Json::array({1, 0, "", record}), "id 1"},
        {with(1, 1e300), malformed + "a fraction where an integer goes"},  // channels
        {with(1, std::int64_t{1} << 40U), malformed + "an integer out of range"},
        {with(3, -1.5), malformed + "a fraction where an integer goes"},  // samples
        {with(2, "8000"), malformed + "a text where none goes"},          // a rate as text
        {with(0, 5), malformed + "an integer where none goes"},           // the codec
        {with(4, nullptr), malformed + "a null where a value goes"},      // exact
        {Json::array({-1, 0, "", record}), malformed + "an integer out of range"},  // an id
        {Json::array({1, 9, ""}), malformed + "an integer out of range"},           // a kind
        {Json::array({1, 4, "", "bytes"}), malformed + "a text where none goes"},   // a picture
        {Json::array({1, 0, "", Json::array({Json::array({Json::array({Json::array()})})})}),
         malformed + "a list where none goes"},  // deeper than any answer
        {Json::array({1, 1, "", record}), malformed + "a list where none goes"},  // no record
        {Json::array({1, 0, "", record, 5}), malformed + "an integer where none goes"},
        {Json::array({1}), malformed + "a list cut short"},
        {Json::array(), malformed + "a list cut short"},
        {Json::object({{"id", 1}}), malformed + "an object"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(decoded(row.document), row.outcome) << row.document.dump();
    }
    EXPECT_EQ(decoded(Json::array()).substr(0, 19), "a malformed message");
    // More values than a record holds fail as they come, not once all are kept.
    Json many = record;
    many[6] = Json::array({"NAME", Json::array()});
    many[6][1] = Json::array();
    for (std::size_t i = 0; i <= media::max_tag_count; ++i) {
        many[6][1].push_back("");
    }
    EXPECT_EQ(decoded(Json::array({1, 0, "", many})),
              malformed + "more values than a record holds");
}

// A request comes back as it went; one of another shape is refused, with what is wrong.
TEST(wire, requests_read_back_as_sent)
{
    ReadRequest sent;
    sent.kind = ReadRequest::Kind::picture;
    sent.id = 0xFEDCBA9876543210U;
    sent.work = std::chrono::milliseconds(-1);
    sent.picture = 3;
    sent.picture_max = std::size_t{1} << 40U;
    sent.true_peak = true;
    sent.ranges = {{0, 10}, {-5, 1}};
    const ReadRequest got = media::detail::decode_request(media::detail::encode(sent));
    EXPECT_EQ(got.kind, sent.kind);
    EXPECT_EQ(got.id, sent.id);
    EXPECT_EQ(got.work, sent.work);
    EXPECT_EQ(got.picture, sent.picture);
    EXPECT_EQ(got.picture_max, sent.picture_max);
    EXPECT_TRUE(got.true_peak);
    ASSERT_EQ(got.ranges.size(), 2U);
    EXPECT_EQ(got.ranges[1].start, -5);
    EXPECT_EQ(got.ranges[1].samples, 1);

    const auto refusal = [](const Json& document) {
        try {
            media::detail::decode_request(packed(document));
            return std::string("taken");
        } catch (const media::media_error& e) {
            return std::string(e.what());
        }
    };
    const std::string malformed = "a malformed message: ";
    const Json no_ranges = Json::array();
    const std::vector<std::pair<Json, std::string>> rows = {
        {Json::array({0, 1, 2, 3, 4, false, no_ranges}), "taken"},
        {Json::array({3, 1, 2, 3, 4, false, Json::array({-1, 2})}), "taken"},
        {Json::array({4, 1, 2, 3, 4, false, no_ranges}), malformed + "no such request"},
        {Json::array({-1, 1, 2, 3, 4, false, no_ranges}), malformed + "an integer out of range"},
        {Json::array({0, 1, 2, -3, 4, false, no_ranges}), malformed + "an integer out of range"},
        {Json::array({0, 1, std::uint64_t{1} << 63U, 3, 4, false, no_ranges}),
         malformed + "an integer out of range"},
        {Json::array({0, 1, 2, 3, 4, 5, no_ranges}), malformed + "an integer where none goes"},
        {Json::array({0, 1, 2, 3, false, false, no_ranges}),
         malformed + "a truth value where none goes"},
        {Json::array({0, 1, 2, 3, 4, false}), malformed + "a list cut short"},
        {Json::array({0, 1, 2, 3, 4, false, no_ranges, 7}),
         malformed + "an integer where none goes"},
        {Json::array({0, 1, 2, 3, 4, false, Json::array({1})}), malformed + "ranges"},
        {Json::array({0, 1, 2, 3, 4, false, Json::array({std::uint64_t{1} << 63U, 1})}),
         malformed + "ranges"},
        {Json::array({0, 1, 2, 3, 4, false, Json::array({Json::array()})}),
         malformed + "a list where none goes"},
        {Json::array({0, Json::array(), 2, 3, 4, false, no_ranges}),
         malformed + "a list where none goes"},
        {Json::array({0, 1, 2.5, 3, 4, false, no_ranges}), malformed + "a fraction"},
        {Json::array({0, 1, "2", 3, 4, false, no_ranges}), malformed + "a text"},
        {Json::array({0, 1, nullptr, 3, 4, false, no_ranges}), malformed + "a null"},
        {Json::object({{"kind", 0}}), malformed + "an object"},
        {Json(5), malformed + "an integer where none goes"},
    };
    for (const auto& [document, outcome] : rows) {
        EXPECT_EQ(refusal(document), outcome) << document.dump();
    }
    EXPECT_EQ(refusal(Json::array()), malformed + "a list cut short");
    // As many ranges as a loudness may ask, and no more.
    Json ranges = Json::array();
    for (std::size_t i = 0; i < media::detail::max_ranges; ++i) {
        ranges.push_back(0);
        ranges.push_back(1);
    }
    EXPECT_EQ(refusal(Json::array({3, 1, 2, 3, 4, false, ranges})), "taken");
    ranges.push_back(0);
    EXPECT_EQ(refusal(Json::array({3, 1, 2, 3, 4, false, ranges})), malformed + "ranges");
}

// A greeting says why a reader is not sandboxed, or that it is, and nothing more.
TEST(wire, greetings_read_back_as_sent)
{
    for (const std::string refusal : {"", "no seccomp filter"}) {
        EXPECT_EQ(media::detail::decode_hello(media::detail::encode_hello(refusal)), refusal);
    }
    const auto greeting = [](const Json& document) {
        try {
            return "refusal \"" + media::detail::decode_hello(packed(document)) + "\"";
        } catch (const media::media_error& e) {
            return std::string(e.what());
        }
    };
    const std::string malformed = "a malformed message: ";
    const std::vector<std::pair<Json, std::string>> rows = {
        {Json::object({{"h", "why"}}), "refusal \"why\""},
        {Json::object(), malformed + "a greeting cut short"},
        {Json::object({{"x", "why"}}), malformed + "a key where none goes"},
        {Json::object({{"h", "why"}, {"i", ""}}), malformed + "a key where none goes"},
        {Json::object({{"h", 0}}), malformed + "an integer"},
        {Json::object({{"h", Json::object()}}), malformed + "an object where none goes"},
        {Json::array({"why"}), malformed + "a list"},
        {Json("why"), malformed + "a text where none goes"},
    };
    for (const auto& [document, outcome] : rows) {
        EXPECT_EQ(greeting(document), outcome) << document.dump();
    }
    std::string cut = packed(Json::object({{"h", "why"}}));
    cut.pop_back();
    EXPECT_THROW(media::detail::decode_hello(cut), media::media_error);
}

// An answer may say only what was asked, and a picture only what its file holds.
TEST(wire, answers_are_held_to_their_requests)
{
    ReadRequest info;
    ReadRequest picture;
    picture.kind = ReadRequest::Kind::picture;
    picture.picture_max = 100;
    const auto problem = [](const ReadRequest& request, ReadOutcome::Kind kind,
                            std::size_t picture_bytes) {
        ReadOutcome outcome;
        outcome.kind = kind;
        outcome.picture.assign(picture_bytes, 'x');
        outcome.info.codec = "pcm";
        outcome.info.channels = 1;
        outcome.info.sample_rate = 8000;
        return media::detail::answer_problem(request, 50, outcome);
    };
    EXPECT_EQ(problem(info, ReadOutcome::Kind::info, 0), "");
    EXPECT_EQ(problem(info, ReadOutcome::Kind::picture, 10), "a picture where none was asked for");
    EXPECT_EQ(problem(picture, ReadOutcome::Kind::info, 0), "a record where none was asked for");
    EXPECT_EQ(problem(picture, ReadOutcome::Kind::picture, 10), "");
    EXPECT_EQ(problem(picture, ReadOutcome::Kind::picture, 0), "a picture of 0 bytes");
    EXPECT_EQ(problem(picture, ReadOutcome::Kind::picture, 51),
              "a picture of 51 bytes");  // past the file
    picture.picture_max = 20;
    EXPECT_EQ(problem(picture, ReadOutcome::Kind::picture, 21),
              "a picture of 21 bytes");  // past the ask
    ReadOutcome long_failure;
    long_failure.message.assign(media::detail::max_failure_text + 1, 'x');
    EXPECT_EQ(media::detail::answer_problem(info, 50, long_failure), "a message of 4097 bytes");
    // An empty file's answer is a few KiB at most; a picture adds what the file can hold.
    EXPECT_LT(media::detail::answer_limit(info, 0), 16384U);
    EXPECT_EQ(media::detail::answer_limit(picture, 1000) - media::detail::answer_limit(info, 1000),
              20U);
    EXPECT_GT(media::detail::answer_limit(info, std::nullopt), media::max_tag_bytes);
}

}  // namespace

namespace {

// A loudness as the meter gives it, of two seconds of a sine.
media::Loudness measured_sine()
{
    media::detail::LoudnessMeter meter(true);
    meter.start({2, 48000, media::detail::ChannelOrder::wave});
    std::vector<float> samples(48000 * 2 * 4);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<float>(0.25 * std::sin(static_cast<double>(i / 2) * 0.13));
    }
    meter.interleaved(samples.data(), samples.size() / 2);
    return meter.result();
}

ReadRequest loudness_request(bool true_peak)
{
    ReadRequest request;
    request.kind = ReadRequest::Kind::loudness;
    request.true_peak = true_peak;
    return request;
}

// A reader's loudness is taken for its blocks, judged, and its loudness and range
// worked out here: what it says of them itself is never sent.
TEST(wire, loudness_answers_are_judged)
{
    const media::Loudness measured = measured_sine();
    ASSERT_TRUE(measured.integrated_lufs);
    Answer sent{9, {}};
    sent.outcome.kind = ReadOutcome::Kind::loudness;
    sent.outcome.loudness = {measured};
    sent.outcome.loudness[0].integrated_lufs = 12.0;  // a lie, which stays on this side
    Answer got = media::detail::decode_answer(media::detail::encode(sent));
    EXPECT_EQ(media::detail::answer_problem(loudness_request(true), 1 << 20, got.outcome), "");
    ASSERT_EQ(got.outcome.loudness.size(), 1U);
    media::Loudness& loudness = got.outcome.loudness[0];
    EXPECT_EQ(loudness.integrated_lufs, measured.integrated_lufs);
    EXPECT_EQ(loudness.range_lu, measured.range_lu);
    EXPECT_EQ(loudness.true_peak, measured.true_peak);
    EXPECT_EQ(loudness.frames, measured.frames);
    ASSERT_EQ(loudness.momentary_bins.size(), measured.momentary_bins.size());
    EXPECT_EQ(loudness.momentary_bins[0].energy, measured.momentary_bins[0].energy);

    const auto judged = [&measured](const std::function<void(media::Loudness&)>& change,
                                    bool true_peak = true, std::int64_t size = 1 << 20) {
        ReadOutcome outcome;
        outcome.kind = ReadOutcome::Kind::loudness;
        outcome.loudness = {measured};
        change(outcome.loudness[0]);
        return media::detail::answer_problem(loudness_request(true_peak), size, outcome);
    };
    const std::string histogram = "a block histogram out of order or range";
    EXPECT_EQ(judged([](media::Loudness&) {}, false),
              "a true peak where none was asked for, or none where one was");
    EXPECT_EQ(judged([](media::Loudness& l) { l.channels = 0; }),
              "a loudness of 0 channels at 48000 Hz");
    EXPECT_EQ(judged([](media::Loudness& l) { l.sample_rate = 4000; }),
              "a loudness of 2 channels at 4000 Hz");
    EXPECT_EQ(judged([](media::Loudness& l) { l.frames = -1; }), "a loudness of -1 frames");
    EXPECT_EQ(judged([](media::Loudness&) {}, true, 10), "a loudness of 192000 frames");
    EXPECT_EQ(judged([](media::Loudness& l) { l.sample_peak = std::nan(""); }),
              "a peak out of range");
    EXPECT_EQ(judged([](media::Loudness& l) { l.true_peak = -1; }), "a peak out of range");
    EXPECT_EQ(judged([](media::Loudness& l) { l.momentary_bins.push_back(l.momentary_bins[0]); }),
              histogram);
    EXPECT_EQ(judged([](media::Loudness& l) {
                  l.short_term_bins.push_back({20000, 1, 1.0});
              }),
              histogram);
    EXPECT_EQ(judged([](media::Loudness& l) { l.momentary_bins[0].blocks = 0; }), histogram);
    EXPECT_EQ(judged([](media::Loudness& l) { l.momentary_bins[0].energy *= 10; }),
              "a block histogram whose energy is not its bin's");
    EXPECT_EQ(judged([](media::Loudness& l) {
                  l.momentary_bins[0].blocks *= 1000;
                  l.momentary_bins[0].energy *= 1000;
              }),
              "more blocks than the samples make");
    ReadOutcome outcome;
    outcome.kind = ReadOutcome::Kind::loudness;
    outcome.loudness = {measured};
    EXPECT_EQ(media::detail::answer_problem(ReadRequest{}, 1 << 20, outcome),
              "a loudness where none was asked for");
    // Ranges asked: one for each, each of the range's frames.
    ReadRequest ranged = loudness_request(true);
    ranged.ranges = {{0, measured.frames}, {measured.frames, 5}};
    EXPECT_EQ(media::detail::answer_problem(ranged, 1 << 20, outcome), "1 loudnesses for 2 asked");
    outcome.loudness = {measured, measured};
    EXPECT_EQ(media::detail::answer_problem(ranged, 1 << 20, outcome),
              "a loudness of 192000 frames for a range of 5");
    ranged.ranges[1].samples = measured.frames;
    EXPECT_EQ(media::detail::answer_problem(ranged, 1 << 20, outcome), "");
    const ReadRequest back = media::detail::decode_request(media::detail::encode(ranged));
    ASSERT_EQ(back.ranges.size(), 2U);
    EXPECT_EQ(back.ranges[1].start, measured.frames);

    // Shapes no reader sends, refused as they come.
    const std::string malformed = "a malformed message: ";
    const Json bins = Json::array({10, 1, 0.5});
    const auto payload = [&bins](Json momentary) {
        return Json::array(
            {1, 5, "",
             Json::array({Json::array({2, 48000, 1000, 0.5, nullptr, momentary, bins})})});
    };
    EXPECT_EQ(decoded(payload(bins)), "id 1");
    EXPECT_EQ(decoded(payload(Json::array({10, 1}))), malformed + "a list cut short");
    EXPECT_EQ(decoded(payload(Json::array({10, 1, 2}))), malformed + "an integer where none goes");
    EXPECT_EQ(decoded(payload(Json::array({10, -1, 0.5}))), malformed + "an integer out of range");
    EXPECT_EQ(decoded(payload(Json::array({0.5, 1, 0.5}))),
              malformed + "a fraction where an integer goes");
    Json many = Json::array();
    for (int i = 0; i <= media::detail::bin_count; ++i) {
        many.push_back(i);
        many.push_back(1);
        many.push_back(0.5);
    }
    EXPECT_EQ(decoded(payload(many)), malformed + "more bins than a histogram holds");
    EXPECT_EQ(decoded(Json::array(
                  {1, 5, "", Json::array({Json::array({2, 48000, 1000, 0.5, nullptr, bins})})})),
              malformed + "a list cut short");
    EXPECT_GT(media::detail::answer_limit(loudness_request(true), 0),
              media::detail::answer_limit(ReadRequest{}, 0) + 500000);
}

}  // namespace
