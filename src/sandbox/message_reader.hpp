#pragma once
// A message read value by value, as nlohmann's parser meets them, by a reader that
// keeps each where it goes and says what is wrong where one does not fit.

#include <cstddef>      // std::size_t
#include <string>       // std::string
#include <string_view>  // std::string_view

#include <nlohmann/json.hpp>

#include <musiccore/media.hpp>

namespace media::detail {

// What every message's reader shares: nlohmann's callbacks, which it overrides, and
// the first problem it met, which ends the parse.
class MessageSax : public nlohmann::json_sax<nlohmann::json> {
public:
    const char* problem() const { return problem_; }

    // Out of line (in wire.cpp), so that the class's vtable is emitted once.
    bool parse_error(std::size_t position, const std::string& last_token,
                     const nlohmann::detail::exception& error) override;

protected:
    bool fail(const char* why)
    {
        problem_ = problem_ != nullptr ? problem_ : why;
        return false;
    }

private:
    const char* problem_ = nullptr;
};

// Reads `document` into what `Reader` fills; media_error for one that is no such
// message, with the reader's problem(), or else `missing`.
template <typename Message, typename Reader>
Message read_message(std::string_view document, const char* missing)
{
    Message message;
    Reader reader(message);
    if (!nlohmann::json::sax_parse(document.begin(), document.end(), &reader,
                                   nlohmann::json::input_format_t::msgpack) ||
        reader.problem() != nullptr) {
        throw media_error(std::string("a malformed message: ") +
                          (reader.problem() != nullptr ? reader.problem() : missing));
    }
    return message;
}

}  // namespace media::detail
