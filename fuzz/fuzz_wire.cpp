// Arbitrary bytes as a reader's answer, judged as the library judges one: the input's
// first eight bytes are the size of the file asked about (past 2^62: a stream), the
// ninth what was asked, the rest the answer's document. Whatever a taken-over reader
// sends is refused with an error, or is an outcome that holds together.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "require.hpp"

#include "formats/record_check.hpp"
#include "sandbox/wire.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace media::detail;
    if (size < 9) {
        return 0;
    }
    std::uint64_t stated = 0;
    std::memcpy(&stated, data, sizeof stated);
    const std::optional<std::int64_t> file_size =
        stated >> 62U != 0 ? std::nullopt : std::optional<std::int64_t>(stated);
    ReadRequest request;
    request.kind = static_cast<ReadRequest::Kind>(data[8] % 2);  // info or picture
    request.id = 7;
    request.picture_max = std::size_t{1} << 20U;
    const std::string_view document(reinterpret_cast<const char*>(data) + 9, size - 9);
    if (document.size() > answer_limit(request, file_size)) {
        return 0;  // refused by its length, before it is read
    }
    Answer answer;
    try {
        answer = decode_answer(document);
    } catch (const media::media_error& e) {
        require(*e.what() != '\0', "an error says what went wrong");
        return 0;
    }
    ReadOutcome& outcome = answer.outcome;
    if (answer.id != request.id || !answer_problem(request, file_size, outcome).empty()) {
        return 0;
    }
    require(outcome.message.size() <= max_failure_text, "a message within its bound");
    if (outcome.kind == ReadOutcome::Kind::picture) {
        require(
            !outcome.picture.empty() && outcome.picture.size() <= request.picture_max &&
                (!file_size || outcome.picture.size() <= static_cast<std::uint64_t>(*file_size)),
            "a picture its file can hold");
    }
    if (outcome.kind != ReadOutcome::Kind::info) {
        return 0;
    }
    const media::MediaInfo& info = outcome.info;
    require(std::isfinite(info.duration_secs) && info.duration_secs >= 0, "a finite duration");
    require(info.channels >= 1 && info.channels <= 255 && info.sample_rate > 0, "channels, a rate");
    require(!info.exact ||
                (info.samples && (!file_size || static_cast<std::uint64_t>(*info.samples) / 8192 <=
                                                    static_cast<std::uint64_t>(*file_size))),
            "an exact length the bytes can hold");
    std::size_t values = 0;
    std::size_t text = info.codec.size();
    for (const auto& [name, list] : info.tags) {
        values += list.size();
        text += name.size();
        for (const auto& value : list) {
            text += value.size();
        }
    }
    require(values <= media::max_tag_count, "tag values within the limit");
    require(text <= max_record_text(file_size), "text its file can hold");
    require(info.pictures.size() <= media::max_pictures, "pictures within the limit");
    media::MediaInfo again = info;
    require(record_problem(again, file_size).empty(), "a record judged sound stays sound");
    return 0;
}
