// A request, read straight from its MessagePack as nlohmann's parser meets the values:
// a reader decodes one for each file it reads, and a document built first would cost
// it more than the rest of its part in a scan.
#include <limits>  // std::numeric_limits

#include <nlohmann/json.hpp>

#include "loudness/measure.hpp"
#include "sandbox/message_reader.hpp"
#include "sandbox/wire.hpp"

namespace media::detail {

namespace {

using Json = nlohmann::json;

// [kind, id, work, picture, picture max, true peak, [start, samples, ...]]
constexpr std::size_t fields = 7;
constexpr std::size_t true_peak_at = 5;
constexpr std::size_t ranges_at = 6;

class RequestReader : public MessageSax {
public:
    explicit RequestReader(ReadRequest& request) : request_(request) {}

    bool null() override { return fail("a null"); }
    bool boolean(bool value) override
    {
        if (depth_ != 1 || at_ != true_peak_at) {
            return fail("a truth value where none goes");
        }
        request_.true_peak = value;
        return next();
    }
    bool number_integer(number_integer_t value) override
    {
        return value < 0 ? take(0, value) : take(static_cast<std::uint64_t>(value), 0);
    }
    bool number_unsigned(number_unsigned_t value) override { return take(value, 0); }
    bool number_float(number_float_t /*value*/, const string_t& /*text*/) override
    {
        return fail("a fraction");
    }
    bool string(string_t& /*value*/) override { return fail("a text"); }
    bool binary(binary_t& /*value*/) override { return fail("bytes"); }
    bool start_object(std::size_t /*size*/) override { return fail("an object"); }
    bool key(string_t& /*value*/) override { return fail("an object"); }
    bool end_object() override { return fail("an object"); }

    bool start_array(std::size_t /*size*/) override
    {
        if (depth_ == 0 ? started_ : depth_ != 1 || at_ != ranges_at) {
            return fail("a list where none goes");
        }
        started_ = true;
        ++depth_;
        return true;
    }

    bool end_array() override
    {
        if (depth_ == 2) {
            if (range_values_ % 2 != 0) {
                return fail("ranges");
            }
            --depth_;
            return next();
        }
        if (at_ != fields) {
            return fail("a list cut short");
        }
        --depth_;
        return true;
    }

private:
    // An integer: `magnitude` when at least 0, else `negative`.
    bool take(std::uint64_t magnitude, std::int64_t negative)
    {
        constexpr auto int64_max =
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
        const bool is_signed = negative < 0 || magnitude <= int64_max;
        const std::int64_t value = negative < 0 ? negative : static_cast<std::int64_t>(magnitude);
        if (depth_ == 2) {
            if (!is_signed || range_values_ == 2 * max_ranges) {
                return fail("ranges");
            }
            if (range_values_++ % 2 == 0) {
                request_.ranges.push_back({value, 0});
            } else {
                request_.ranges.back().samples = value;
            }
            return true;
        }
        if (depth_ != 1 || at_ >= true_peak_at) {
            return fail("an integer where none goes");
        }
        if (at_ == 2) {
            if (!is_signed) {
                return fail("an integer out of range");
            }
            request_.work = std::chrono::milliseconds(value);
            return next();
        }
        if (negative < 0) {
            return fail("an integer out of range");
        }
        if (at_ == 0) {
            if (magnitude > static_cast<std::uint64_t>(ReadRequest::Kind::loudness)) {
                return fail("no such request");
            }
            request_.kind = static_cast<ReadRequest::Kind>(magnitude);
        } else if (at_ == 1) {
            request_.id = magnitude;
        } else {
            if (static_cast<std::size_t>(magnitude) != magnitude) {
                return fail("an integer out of range");
            }
            (at_ == 3 ? request_.picture : request_.picture_max) =
                static_cast<std::size_t>(magnitude);
        }
        return next();
    }

    bool next()
    {
        ++at_;
        return true;
    }

    ReadRequest& request_;
    std::size_t depth_ = 0;
    std::size_t at_ = 0;  // the place of the next value in the request's list
    std::size_t range_values_ = 0;
    bool started_ = false;
};

}  // namespace

ReadRequest decode_request(std::string_view document)
{
    return read_message<ReadRequest, RequestReader>(document, "no request");
}

}  // namespace media::detail
