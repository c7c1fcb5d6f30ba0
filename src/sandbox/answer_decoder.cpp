// A reader's answer, read straight from its MessagePack into the record, value by
// value as nlohmann's parser meets them: no document is built first, and each value is
// held to the place it takes (its type, an integer's range, how many there may be)
// before it costs memory.
#include <array>     // std::array
#include <limits>    // std::numeric_limits
#include <optional>  // std::optional
#include <utility>   // std::exchange

#include <nlohmann/json.hpp>

#include "formats/info_extension.hpp"
#include "loudness/gating.hpp"
#include "loudness/measure.hpp"
#include "sandbox/message_reader.hpp"
#include "sandbox/wire.hpp"

namespace media::detail {

namespace {

using Json = nlohmann::json;

// Where a value is in an answer: [id, kind, message, payload]; an info payload is
// [codec, channels, rate, samples, exact, bitrate, [name, [value...], ...],
// [dropped name...], [[type, mime type, description, width, height, size]...]]; a
// loudness payload is as wire.hpp has it.
enum class Field {
    id,
    kind,
    message,
    in_ogg,
    picture_bytes,
    codec,
    channels,
    rate,
    samples,
    exact,
    bitrate,
    tag_name,
    tag_value,
    dropped,
    picture_type,
    picture_mime,
    picture_description,
    picture_width,
    picture_height,
    picture_size,
    cue_sheet_block,
    loudness_channels,
    loudness_rate,
    loudness_frames,
    sample_peak,
    true_peak,
    bin_index,
    bin_blocks,
    bin_energy,
    none,  // no value may stand here
};

// The arrays an answer holds, by what they are.
enum class List {
    answer,
    info,
    tags,
    values,
    dropped,
    pictures,
    picture,
    loudness_parts,
    loudness,
    momentary_bins,
    short_term_bins,
    none
};

constexpr std::size_t max_depth = 4;
constexpr std::array<Field, 6> info_fields{Field::codec,   Field::channels, Field::rate,
                                           Field::samples, Field::exact,    Field::bitrate};
constexpr std::array<Field, 6> picture_fields{Field::picture_type,        Field::picture_mime,
                                              Field::picture_description, Field::picture_width,
                                              Field::picture_height,      Field::picture_size};
constexpr std::array<Field, 5> loudness_fields{Field::loudness_channels, Field::loudness_rate,
                                               Field::loudness_frames, Field::sample_peak,
                                               Field::true_peak};
constexpr std::array<Field, 3> bin_fields{Field::bin_index, Field::bin_blocks, Field::bin_energy};

class AnswerReader : public MessageSax {
public:
    explicit AnswerReader(Answer& answer) : answer_(answer), info_(answer.outcome.info) {}

    bool null() override
    {
        const Field field = here();
        if (field != Field::samples && field != Field::bitrate && field != Field::picture_width &&
            field != Field::picture_height && field != Field::true_peak) {
            return fail("a null where a value goes");
        }
        return next();
    }

    bool boolean(bool value) override
    {
        const Field field = here();
        if (field == Field::exact) {
            info_.exact = value;
        } else if (field == Field::in_ogg) {
            answer_.outcome.in_ogg = value;
        } else {
            return fail("a truth value where none goes");
        }
        return next();
    }

    bool number_integer(number_integer_t value) override { return integer(value, value < 0); }
    bool number_unsigned(number_unsigned_t value) override { return integer(value, false); }

    bool number_float(number_float_t value, const string_t& /*text*/) override
    {
        switch (here()) {
        case Field::sample_peak:
            loudness_->sample_peak = value;
            break;
        case Field::true_peak:
            loudness_->true_peak = value;
            break;
        case Field::bin_energy:
            bins().back().energy = value;
            break;
        default:
            return fail("a fraction where an integer goes");
        }
        return next();
    }

    bool string(string_t& value) override
    {
        switch (here()) {
        case Field::message:
            answer_.outcome.message = std::move(value);
            break;
        case Field::codec:
            info_.codec = std::move(value);
            break;
        case Field::tag_name:
            values_ = &info_.tags[std::move(value)];
            break;
        case Field::tag_value:
            if (++tag_values_ > max_tag_count) {
                return fail("more values than a record holds");
            }
            values_->push_back(std::move(value));
            break;
        case Field::dropped:
            if (info_.dropped_tags.size() >= max_tag_count) {
                return fail("more values than a record holds");
            }
            info_.dropped_tags.push_back(std::move(value));
            break;
        case Field::picture_mime:
            info_.pictures.back().mime_type = std::move(value);
            break;
        case Field::picture_description:
            info_.pictures.back().description = std::move(value);
            break;
        default:
            return fail("a text where none goes");
        }
        return next();
    }

    bool binary(binary_t& value) override
    {
        const Field field = here();
        if (field == Field::cue_sheet_block && !value.empty() &&
            value.size() <= max_cue_sheet_block) {
            set_flac_cue_sheet(info_, std::string(value.begin(), value.end()));
            return next();
        }
        if (field != Field::picture_bytes) {
            return fail("bytes where none go");
        }
        answer_.outcome.picture.assign(value.begin(), value.end());
        return next();
    }

    bool start_object(std::size_t /*size*/) override { return fail("an object"); }
    bool key(string_t& /*value*/) override { return fail("an object"); }
    bool end_object() override { return fail("an object"); }

    bool start_array(std::size_t /*size*/) override
    {
        const List list = opened();
        if (list == List::none || depth_ == max_depth) {
            return fail("a list where none goes");
        }
        if (list == List::picture) {
            if (info_.pictures.size() >= max_pictures) {
                return fail("more pictures than a record holds");
            }
            info_.pictures.emplace_back();
        }
        if (list == List::loudness) {
            auto& parts = answer_.outcome.loudness;
            if (parts.size() >= max_ranges) {
                return fail("more loudnesses than ranges are asked");
            }
            loudness_ = &parts.emplace_back();
        }
        ++depth_;
        lists_[depth_] = list;
        counts_[depth_] = 0;
        return true;
    }

    bool end_array() override
    {
        const std::size_t count = counts_[depth_];
        const List list = lists_[depth_];
        const bool whole =
            (list == List::answer && count == (kind_ == ReadOutcome::Kind::failed ||
                                                       kind_ == ReadOutcome::Kind::out_of_memory
                                                   ? 3U
                                                   : 4U)) ||
            (list == List::info &&
             (count == info_fields.size() + 3 || count == info_fields.size() + 4)) ||
            (list == List::picture && count == picture_fields.size()) ||
            (list == List::loudness && count == loudness_fields.size() + 2) ||
            list == List::loudness_parts ||
            ((list == List::momentary_bins || list == List::short_term_bins) &&
             count % bin_fields.size() == 0) ||
            (list == List::tags && count % 2 == 0) || list == List::values ||
            list == List::dropped || list == List::pictures;
        if (!whole) {
            return fail("a list cut short");
        }
        --depth_;
        return depth_ == 0 || next();
    }

private:
    // What the value about to come stands for, by the list it is in and its place.
    Field here() const
    {
        const std::size_t at = depth_ == 0 ? 0 : counts_[depth_];
        switch (depth_ == 0 ? List::none : lists_[depth_]) {
        case List::answer:
            return answer_field(at);
        case List::info:
            if (at == info_fields.size() + 3) {
                return Field::cue_sheet_block;
            }
            return at < info_fields.size() ? info_fields[at] : Field::none;
        case List::tags:
            return at % 2 == 0 ? Field::tag_name : Field::none;
        case List::values:
            return Field::tag_value;
        case List::dropped:
            return Field::dropped;
        case List::picture:
            return at < picture_fields.size() ? picture_fields[at] : Field::none;
        case List::loudness:
            return at < loudness_fields.size() ? loudness_fields[at] : Field::none;
        case List::momentary_bins:
        case List::short_term_bins:
            return bin_fields[at % bin_fields.size()];
        default:
            return Field::none;
        }
    }

    // The bins of the list being read.
    std::vector<LoudnessBin>& bins()
    {
        return lists_[depth_] == List::momentary_bins ? loudness_->momentary_bins
                                                      : loudness_->short_term_bins;
    }

    Field answer_field(std::size_t at) const
    {
        constexpr std::array<Field, 3> first{Field::id, Field::kind, Field::message};
        if (at < first.size()) {
            return first[at];
        }
        if (at == 3 && kind_ == ReadOutcome::Kind::unsupported) {
            return Field::in_ogg;
        }
        return at == 3 && kind_ == ReadOutcome::Kind::picture ? Field::picture_bytes : Field::none;
    }

    // The list that an answer's payload is, by the answer's kind.
    List payload_list() const
    {
        switch (kind_) {
        case ReadOutcome::Kind::info:
            return List::info;
        case ReadOutcome::Kind::loudness:
            return List::loudness_parts;
        default:
            return List::none;
        }
    }

    // What a list about to open is, by its place.
    List opened()
    {
        if (depth_ == 0) {
            return std::exchange(started_, true) ? List::none : List::answer;
        }
        const std::size_t at = counts_[depth_];
        switch (lists_[depth_]) {
        case List::answer:
            return at == 3 ? payload_list() : List::none;
        case List::loudness_parts:
            return List::loudness;
        case List::loudness:
            return at == 5 ? List::momentary_bins : (at == 6 ? List::short_term_bins : List::none);
        case List::info:
            return at == 6 ? List::tags
                           : (at == 7 ? List::dropped : (at == 8 ? List::pictures : List::none));
        case List::tags:
            return at % 2 == 1 ? List::values : List::none;
        case List::pictures:
            return List::picture;
        default:
            return List::none;
        }
    }

    bool integer(std::uint64_t magnitude, bool negative)
    {
        const auto value = static_cast<std::int64_t>(magnitude);  // as it came, if negative
        const auto signed_field = [&](auto& target) {
            using Target = std::remove_reference_t<decltype(target)>;
            if (negative
                    ? value < std::numeric_limits<Target>::min()
                    : magnitude > static_cast<std::uint64_t>(std::numeric_limits<Target>::max())) {
                return false;
            }
            target = static_cast<Target>(negative ? value : static_cast<std::int64_t>(magnitude));
            return true;
        };
        bool fits = false;
        switch (here()) {
        case Field::id:
            fits = !negative;
            answer_.id = magnitude;
            break;
        case Field::kind:
            fits =
                !negative && magnitude <= static_cast<std::uint64_t>(ReadOutcome::Kind::loudness);
            kind_ = static_cast<ReadOutcome::Kind>(fits ? magnitude : 0);
            answer_.outcome.kind = kind_;
            break;
        case Field::channels:
            fits = signed_field(info_.channels);
            break;
        case Field::rate:
            fits = signed_field(info_.sample_rate);
            break;
        case Field::samples:
            fits = signed_field(info_.samples.emplace());
            break;
        case Field::bitrate:
            fits = signed_field(info_.bitrate.emplace());
            break;
        case Field::picture_type:
            fits = signed_field(info_.pictures.back().type);
            break;
        case Field::picture_width:
            fits = signed_field(info_.pictures.back().width.emplace());
            break;
        case Field::picture_height:
            fits = signed_field(info_.pictures.back().height.emplace());
            break;
        case Field::picture_size:
            fits = !negative;
            info_.pictures.back().size = magnitude;
            break;
        case Field::loudness_channels:
            fits = signed_field(loudness_->channels);
            break;
        case Field::loudness_rate:
            fits = signed_field(loudness_->sample_rate);
            break;
        case Field::loudness_frames:
            fits = signed_field(loudness_->frames);
            break;
        case Field::bin_index:
            if (bins().size() >= static_cast<std::size_t>(bin_count)) {
                return fail("more bins than a histogram holds");
            }
            bins().emplace_back();
            fits = signed_field(bins().back().bin);
            break;
        case Field::bin_blocks:
            fits = !negative;
            bins().back().blocks = magnitude;
            break;
        default:
            return fail("an integer where none goes");
        }
        return fits ? next() : fail("an integer out of range");
    }

    bool next()
    {
        ++counts_[depth_];
        return true;
    }

    Answer& answer_;
    MediaInfo& info_;
    Loudness* loudness_ = nullptr;  // the one being read
    ReadOutcome::Kind kind_ = ReadOutcome::Kind::failed;
    std::size_t depth_ = 0;
    std::array<List, max_depth + 1> lists_{};
    std::array<std::size_t, max_depth + 1> counts_{};
    bool started_ = false;
    std::vector<std::string>* values_ = nullptr;
    std::size_t tag_values_ = 0;
};

}  // namespace

Answer decode_answer(std::string_view document)
{
    return read_message<Answer, AnswerReader>(document, "no answer");
}

}  // namespace media::detail
