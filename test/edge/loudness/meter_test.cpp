// The meter against libebur128 on the same samples, and against the published values
// of the broadcast test signals.
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include <ebur128.h>
#include <gtest/gtest.h>

#include <musiccore/loudness.hpp>

#include "loudness/gating.hpp"
#include "loudness/loudness_meter.hpp"

namespace {

using media::detail::ChannelOrder;
using media::detail::LoudnessMeter;
using media::detail::PcmLayout;

constexpr double pi = 3.14159265358979323846;

// Interleaved frames.
struct Signal {
    PcmLayout layout;
    std::vector<float> samples;
};

// A piece of `seconds` of a sine of `peak_db` dBFS in every channel but those
// `silent`, at `phase` radians.
void add_sine(Signal& signal, double frequency, double peak_db, double seconds, double phase = 0,
              const std::vector<int>& silent = {})
{
    const auto frames = static_cast<std::size_t>(std::llround(seconds * signal.layout.sample_rate));
    const double amplitude = std::pow(10.0, peak_db / 20.0);
    const double step = 2 * pi * frequency / static_cast<double>(signal.layout.sample_rate);
    for (std::size_t i = 0; i < frames; ++i) {
        const auto value =
            static_cast<float>(amplitude * std::sin(step * static_cast<double>(i) + phase));
        for (int channel = 0; channel < signal.layout.channels; ++channel) {
            const bool quiet = std::find(silent.begin(), silent.end(), channel) != silent.end();
            signal.samples.push_back(quiet ? 0.0F : value);
        }
    }
}

// Noise whose level changes each second, so that gates and percentiles have work.
Signal varying_noise(PcmLayout layout, int seconds, unsigned seed)
{
    Signal signal{layout, {}};
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(0.0F, 1.0F);
    std::uniform_real_distribution<double> level(-50.0, -10.0);
    for (int second = 0; second < seconds; ++second) {
        const auto gain = static_cast<float>(std::pow(10.0, level(random) / 20.0));
        for (long i = 0; i < layout.sample_rate * layout.channels; ++i) {
            signal.samples.push_back(std::clamp(gain * noise(random), -1.0F, 1.0F));
        }
    }
    return signal;
}

media::Loudness ours(const Signal& signal, bool true_peak = true)
{
    LoudnessMeter meter(true_peak);
    meter.start(signal.layout);
    // In uneven pieces, as decoders give them.
    const auto channels = static_cast<std::size_t>(signal.layout.channels);
    const std::size_t frames = signal.samples.size() / channels;
    for (std::size_t at = 0, piece = 1; at < frames; piece = piece * 7 % 5003 + 1) {
        const std::size_t now = std::min(piece, frames - at);
        meter.interleaved(signal.samples.data() + at * channels, now);
        at += now;
    }
    return meter.result();
}

struct Ebur128Deleter {
    void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
};
using Judge = std::unique_ptr<ebur128_state, Ebur128Deleter>;

Judge judge(const Signal& signal)
{
    Judge state(ebur128_init(static_cast<unsigned>(signal.layout.channels),
                             static_cast<unsigned long>(signal.layout.sample_rate),
                             EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_SAMPLE_PEAK |
                                 EBUR128_MODE_TRUE_PEAK));
    if (signal.layout.channels == 1) {
        ebur128_set_channel(state.get(), 0, EBUR128_DUAL_MONO);
    }
    if (signal.layout.channels == 6 && signal.layout.order == ChannelOrder::vorbis) {
        const int map[] = {EBUR128_LEFT,          EBUR128_CENTER,         EBUR128_RIGHT,
                           EBUR128_LEFT_SURROUND, EBUR128_RIGHT_SURROUND, EBUR128_UNUSED};
        for (unsigned i = 0; i < 6; ++i) {
            ebur128_set_channel(state.get(), i, map[i]);
        }
    }
    ebur128_add_frames_float(state.get(), signal.samples.data(),
                             signal.samples.size() /
                                 static_cast<std::size_t>(signal.layout.channels));
    return state;
}

double max_over_channels(ebur128_state* state, int channels,
                         int (*peak)(ebur128_state*, unsigned, double*))
{
    double most = 0;
    for (int channel = 0; channel < channels; ++channel) {
        double value = 0;
        peak(state, static_cast<unsigned>(channel), &value);
        most = std::max(most, value);
    }
    return most;
}

struct JudgedCase {
    const char* name;
    Signal signal;
    // libebur128 takes a 3 s window each second, this meter ten a second: on a level
    // that jumps each second their ranges part by an LU or two, and are not compared.
    bool compare_range = true;
};

std::vector<JudgedCase> judged_cases()
{
    std::vector<JudgedCase> cases;
    const auto sine = [](PcmLayout layout, double level, double seconds) {
        Signal signal{layout, {}};
        add_sine(signal, 997, level, seconds);
        return signal;
    };
    cases.push_back({"stereo 44.1 kHz", sine({2, 44100, ChannelOrder::wave}, -20, 12)});
    cases.push_back({"mono, as dual mono", sine({1, 48000, ChannelOrder::wave}, -20, 12)});
    cases.push_back({"96 kHz", sine({2, 96000, ChannelOrder::wave}, -12, 8)});
    cases.push_back({"192 kHz", sine({2, 192000, ChannelOrder::wave}, -12, 5)});
    cases.push_back({"8 kHz", sine({1, 8000, ChannelOrder::wave}, -12, 8)});
    cases.push_back({"22.05 kHz", sine({2, 22050, ChannelOrder::wave}, -12, 8)});
    cases.push_back(
        {"noise, varying", varying_noise({2, 44100, ChannelOrder::wave}, 40, 7), false});
    cases.push_back(
        {"5.1, WAV order", varying_noise({6, 48000, ChannelOrder::wave}, 12, 8), false});
    cases.push_back(
        {"5.1, Vorbis order", varying_noise({6, 48000, ChannelOrder::vorbis}, 12, 9), false});
    return cases;
}

TEST(loudness_meter, agrees_with_libebur128)
{
    for (const JudgedCase& each : judged_cases()) {
        SCOPED_TRACE(each.name);
        const media::Loudness got = ours(each.signal);
        const Judge state = judge(each.signal);
        double integrated = 0;
        ASSERT_EQ(ebur128_loudness_global(state.get(), &integrated), EBUR128_SUCCESS);
        ASSERT_TRUE(got.integrated_lufs);
        EXPECT_NEAR(*got.integrated_lufs, integrated, 0.01);
        const int channels = each.signal.layout.channels;
        EXPECT_NEAR(got.sample_peak, max_over_channels(state.get(), channels, ebur128_sample_peak),
                    1e-6);
        const double true_peak = max_over_channels(state.get(), channels, ebur128_true_peak);
        ASSERT_TRUE(got.true_peak);
        // Two interpolators of their own design: a few hundredths of a dB apart here.
        EXPECT_NEAR(20 * std::log10(*got.true_peak), 20 * std::log10(true_peak), 0.05);
        double range = 0;
        ASSERT_EQ(ebur128_loudness_range(state.get(), &range), EBUR128_SUCCESS);
        ASSERT_TRUE(got.range_lu);
        if (each.compare_range) {
            EXPECT_NEAR(*got.range_lu, range, 0.05);
        }
        EXPECT_EQ(got.frames, static_cast<std::int64_t>(each.signal.samples.size()) / channels);
    }
}

// The broadcast tests' level steps, in memory: integrated loudness and range.
TEST(loudness_meter, gates_as_the_broadcast_tests_have_it)
{
    struct Step {
        double level, seconds;
    };
    const struct {
        std::vector<Step> steps;
        double lufs, range;
    } cases[] = {
        {{{-36, 10}, {-23, 60}, {-36, 10}}, -23.0, -1},
        {{{-72, 10}, {-36, 10}, {-23, 60}, {-36, 10}, {-72, 10}}, -23.0, -1},
        {{{-26, 20.1}, {-20, 20.1}, {-26, 20.1}}, -23.0, -1},
        {{{-20, 20}, {-30, 20}}, -1, 10},
        {{{-20, 20}, {-15, 20}}, -1, 5},
        {{{-40, 20}, {-20, 20}}, -1, 20},
        {{{-50, 20}, {-35, 20}, {-20, 20}, {-35, 20}, {-50, 20}}, -1, 15},
    };
    for (const auto& each : cases) {
        Signal signal{{2, 48000, ChannelOrder::wave}, {}};
        for (const Step& step : each.steps) {
            add_sine(signal, 1000, step.level, step.seconds);
        }
        SCOPED_TRACE(each.steps.size());
        const media::Loudness got = ours(signal, false);
        if (each.range < 0) {
            ASSERT_TRUE(got.integrated_lufs);
            EXPECT_NEAR(*got.integrated_lufs, each.lufs, 0.1);
        } else {
            ASSERT_TRUE(got.range_lu);
            EXPECT_NEAR(*got.range_lu, each.range, 1.0);
        }
        EXPECT_FALSE(got.true_peak);
    }
}

// A sine at a quarter of the rate, 45 degrees off its samples, peaks halfway between
// two: 3 dB above its largest sample.
TEST(loudness_meter, finds_the_peak_between_samples)
{
    for (const long rate : {44100L, 48000L, 88200L}) {
        Signal signal{{2, rate, ChannelOrder::wave}, {}};
        add_sine(signal, static_cast<double>(rate) / 4, -6, 2, pi / 4);
        // Faded in: a sine that starts at full level rings past its peak in any
        // interpolator.
        const auto fade = static_cast<std::size_t>(rate / 10);
        for (std::size_t i = 0; i < fade * 2; ++i) {
            signal.samples[i] *= static_cast<float>(i / 2) / static_cast<float>(fade);
        }
        const media::Loudness got = ours(signal);
        ASSERT_TRUE(got.true_peak);
        const double over = 20 * std::log10(*got.true_peak / got.sample_peak);
        EXPECT_NEAR(over, 3.01, 0.05) << rate;
        EXPECT_NEAR(20 * std::log10(*got.true_peak), -6.0, 0.05) << rate;
    }
}

TEST(loudness_meter, finds_no_loudness_in_silence)
{
    Signal silence{{2, 44100, ChannelOrder::wave}, std::vector<float>(44100 * 2 * 5, 0.0F)};
    const media::Loudness got = ours(silence);
    EXPECT_FALSE(got.integrated_lufs);
    EXPECT_FALSE(got.range_lu);
    EXPECT_EQ(got.sample_peak, 0.0);
    EXPECT_TRUE(got.momentary_bins.empty());
    EXPECT_FALSE(media::replaygain_gain_db(got));
    EXPECT_FALSE(media::peak_db(got.sample_peak));
    // Too short for a block is no loudness either.
    Signal blip{{1, 48000, ChannelOrder::wave}, {}};
    add_sine(blip, 1000, -10, 0.3);
    EXPECT_FALSE(ours(blip).integrated_lufs);
}

// An album's loudness gates its tracks' blocks together: a track 25 dB below the
// others falls under the relative gate, where a mean of track values would not.
TEST(loudness_meter, gates_an_album_as_one_programme)
{
    std::vector<Signal> tracks(3, Signal{{2, 44100, ChannelOrder::wave}, {}});
    add_sine(tracks[0], 1000, -20, 20);
    add_sine(tracks[1], 440, -18, 15);
    add_sine(tracks[2], 1000, -45, 20);
    std::vector<media::Loudness> measured;
    std::vector<Judge> judged;
    std::vector<ebur128_state*> states;
    for (const Signal& track : tracks) {
        measured.push_back(ours(track));
        judged.push_back(judge(track));
        states.push_back(judged.back().get());
    }
    double album = 0;
    ASSERT_EQ(ebur128_loudness_global_multiple(states.data(), states.size(), &album),
              EBUR128_SUCCESS);
    const media::Loudness got = media::album_loudness(measured);
    ASSERT_TRUE(got.integrated_lufs);
    EXPECT_NEAR(*got.integrated_lufs, album, 0.01);
    double mean = 0;
    for (const media::Loudness& track : measured) {
        mean += *track.integrated_lufs / 3;
    }
    EXPECT_GT(std::abs(*got.integrated_lufs - mean), 5.0);
    EXPECT_DOUBLE_EQ(got.sample_peak, measured[1].sample_peak);
    EXPECT_EQ(got.frames, measured[0].frames + measured[1].frames + measured[2].frames);
    // Bins from elsewhere (an index) that no meter could give are refused.
    std::vector<media::Loudness> forged(1);
    forged[0].momentary_bins.push_back({20000, 1, 1.0});
    EXPECT_THROW(media::album_loudness(forged), media::media_error);
}

TEST(loudness_meter, spells_gains_and_peaks_as_tags_do)
{
    EXPECT_EQ(media::replaygain_gain_text(-6.3472), "-6.35 dB");
    EXPECT_EQ(media::replaygain_gain_text(4.0), "4.00 dB");
    EXPECT_EQ(media::replaygain_peak_text(0.3989471), "0.398947");
    media::Loudness loudness;
    loudness.integrated_lufs = -11.65;
    loudness.sample_peak = 0.5;
    EXPECT_NEAR(*media::replaygain_gain_db(loudness), -6.35, 1e-9);
    EXPECT_EQ(media::replaygain_peak(loudness), 0.5);
    loudness.true_peak = 0.6;
    EXPECT_EQ(media::replaygain_peak(loudness), 0.6);
    EXPECT_NEAR(*media::peak_db(0.5), -6.0206, 1e-4);
}

TEST(loudness_meter, refuses_what_it_cannot_filter)
{
    LoudnessMeter meter(true);
    EXPECT_THROW(meter.result(), media::media_error);
    EXPECT_THROW(meter.start({2, 4000, ChannelOrder::wave}), media::media_error);
    EXPECT_THROW(meter.start({0, 44100, ChannelOrder::wave}), media::media_error);
    const float frame[2] = {0.5F, 0.5F};
    EXPECT_THROW(meter.interleaved(frame, 1), media::media_error);
}

}  // namespace

namespace {

// The loudness that tags state, as the tools that write them spell it, and what no
// tool writes.
TEST(stated_loudness, reads_the_tags_that_tools_write)
{
    const struct {
        media::Tags tags;
        std::optional<double> track_gain, track_peak, album_gain;
    } rows[] = {
        {{{"REPLAYGAIN_TRACK_GAIN", {"-6.35 dB"}}, {"REPLAYGAIN_TRACK_PEAK", {"0.398947"}}},
         -6.35,
         0.398947,
         std::nullopt},
        {{{"REPLAYGAIN_TRACK_GAIN", {" +1.20 DB "}}, {"REPLAYGAIN_ALBUM_GAIN", {"2"}}},
         1.2,
         std::nullopt,
         2.0},
        {{{"REPLAYGAIN_TRACK_GAIN", {"loud"}}, {"REPLAYGAIN_TRACK_PEAK", {"-0.5"}}},
         std::nullopt,
         std::nullopt,
         std::nullopt},
        {{{"REPLAYGAIN_TRACK_GAIN", {"nan dB"}}, {"REPLAYGAIN_ALBUM_GAIN", {"-200 dB"}}},
         std::nullopt,
         std::nullopt,
         std::nullopt},
        {{{"REPLAYGAIN_TRACK_GAIN", {"-6.35 dBFS"}}}, std::nullopt, std::nullopt, std::nullopt},
        // Opus: Q7.8 to -23 LUFS, 5 dB below ReplayGain's reference.
        {{{"R128_TRACK_GAIN", {"-1280"}}, {"R128_ALBUM_GAIN", {"256"}}}, 0.0, std::nullopt, 6.0},
        {{{"R128_TRACK_GAIN", {"40000"}}, {"R128_ALBUM_GAIN", {"12.5"}}},
         std::nullopt,
         std::nullopt,
         std::nullopt},
        {{{"R128_TRACK_GAIN", {"0"}}, {"REPLAYGAIN_TRACK_GAIN", {"-1 dB"}}},
         -1.0,
         std::nullopt,
         std::nullopt},
    };
    for (const auto& row : rows) {
        const media::StatedLoudness stated = media::stated_loudness(row.tags);
        SCOPED_TRACE(row.tags.begin()->second.front());
        EXPECT_EQ(stated.track_gain_db.has_value(), row.track_gain.has_value());
        if (stated.track_gain_db && row.track_gain) {
            EXPECT_NEAR(*stated.track_gain_db, *row.track_gain, 1e-9);
        }
        EXPECT_EQ(stated.track_peak, row.track_peak);
        EXPECT_EQ(stated.album_gain_db, row.album_gain);
    }
    EXPECT_FALSE(media::stated_loudness({}).album_peak);
}

}  // namespace

namespace {

// Float samples that are no numbers, or far past full scale, are no measure.
TEST(loudness_meter, refuses_samples_that_are_no_numbers)
{
    for (const float bad : {std::nanf(""), std::numeric_limits<float>::infinity(), 5000.0F}) {
        Signal signal{{2, 48000, ChannelOrder::wave}, {}};
        add_sine(signal, 1000, -20, 1);
        signal.samples[1000] = bad;
        EXPECT_THROW(ours(signal), media::media_error) << bad;
    }
}

}  // namespace

namespace {

using media::detail::BlockHistogram;

// The energy of a block of `lufs`.
double energy_of(double lufs)
{
    return std::pow(10.0, (lufs + 0.691) / 10.0);
}

// The relative gate, exactly: a block just under it is out, and the mean it is taken
// from counts every block once.
TEST(block_histogram, gates_to_the_block)
{
    BlockHistogram histogram;
    histogram.add(energy_of(-20.0));
    histogram.add(energy_of(-33.0));  // the gate: 10 LU under the mean of both, -32.8
    ASSERT_TRUE(histogram.integrated());
    EXPECT_NEAR(*histogram.integrated(), -20.0, 1e-6);
    histogram.add(energy_of(-75.0));  // under the absolute gate: not even counted
    EXPECT_NEAR(*histogram.integrated(), -20.0, 1e-6);
    std::uint64_t blocks = 0;
    for (const media::LoudnessBin& bin : histogram.bins()) {
        blocks += bin.blocks;
    }
    EXPECT_EQ(blocks, 2U);
}

// Blocks at the top of the scale and past it land in the top bin, however the
// rounding falls; bins that no meter makes are refused by name.
TEST(block_histogram, keeps_every_bin_in_range)
{
    BlockHistogram histogram;
    const double top = energy_of(30.0);
    for (const double energy :
         {std::nextafter(top, 0.0), top, std::nextafter(top, 1e300), energy_of(45.0)}) {
        histogram.add(energy);
    }
    const auto bins = histogram.bins();
    std::uint64_t blocks = 0;
    for (const media::LoudnessBin& bin : bins) {
        blocks += bin.blocks;
        EXPECT_LT(bin.bin, media::detail::bin_count);
    }
    EXPECT_EQ(blocks, 4U);
    EXPECT_EQ(bins.back().bin, media::detail::bin_count - 1);
    for (const std::int32_t bad : {-1, media::detail::bin_count}) {
        try {
            histogram.add(std::vector<media::LoudnessBin>{{bad, 1, 1.0}});
            ADD_FAILURE() << bad;
        } catch (const media::media_error& e) {
            EXPECT_STREQ(e.what(), "loudness: a block histogram's bin out of range");
        }
    }
}

}  // namespace
