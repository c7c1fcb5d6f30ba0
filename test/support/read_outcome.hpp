#pragma once
// What a read of a file comes to, as a text a table of cases can hold: the record
// described by `describe`, or the failure's message ("(in Ogg)" after that of an Ogg
// stream of a codec not read here).

#include <string>

#include <musiccore/media.hpp>

namespace test_files {

template <typename Describe>
std::string read_outcome(const std::string& path, Describe describe,
                         const media::Limits& limits = {})
{
    try {
        return describe(media::read_info(path, limits));
    } catch (const media::unsupported_format& e) {
        return e.what() + std::string(e.in_ogg() ? " (in Ogg)" : "");
    } catch (const media::media_error& e) {
        return e.what();
    }
}

// The length read: "132300 exact", or -1 where it is unknown.
inline std::string length_of(const media::MediaInfo& info)
{
    return std::to_string(info.samples.value_or(-1)) + (info.exact ? " exact" : " estimate");
}

}  // namespace test_files
