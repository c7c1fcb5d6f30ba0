#include "cue/cue_text.hpp"

#include <memory>  // std::unique_ptr

#include <unicode/ucnv.h>
#include <unicode/ucsdet.h>

#include <musiccore/media.hpp>

namespace music_library::detail {

namespace {

struct DetectorClose {
    void operator()(UCharsetDetector* detector) const { ucsdet_close(detector); }
};

// The encoding that ICU finds likeliest of those taken, if any.
std::string detected(std::string_view bytes)
{
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<UCharsetDetector, DetectorClose> detector(ucsdet_open(&status));
    if (U_FAILURE(status) != 0) {
        return {};
    }
    ucsdet_setText(detector.get(), bytes.data(), static_cast<int32_t>(bytes.size()), &status);
    int32_t count = 0;
    const UCharsetMatch** matches = ucsdet_detectAll(detector.get(), &count, &status);
    for (int32_t i = 0; U_SUCCESS(status) != 0 && i < count; ++i) {
        std::string name = ucsdet_getName(matches[i], &status);
        if (name == "windows-1251" || name == "windows-1252" || name == "Shift_JIS" ||
            name == "GB18030") {
            return name;
        }
        if (name == "ISO-8859-1") {
            return "windows-1252";  // its superset, as Windows tools write it
        }
    }
    return {};
}

std::string converted(std::string_view bytes, const char* from)
{
    UErrorCode status = U_ZERO_ERROR;
    // UTF-8 takes at most three bytes for what any of these takes one or two for.
    std::string text(bytes.size() * 3 + 4, '\0');
    const int32_t size = ucnv_convert("UTF-8", from, text.data(), static_cast<int32_t>(text.size()),
                                      bytes.data(), static_cast<int32_t>(bytes.size()), &status);
    if (U_FAILURE(status) != 0) {
        throw media::media_error(std::string("CUE: not a text in ") + from);
    }
    text.resize(static_cast<std::size_t>(size));
    return text;
}

bool starts(std::string_view bytes, std::string_view mark)
{
    return bytes.substr(0, mark.size()) == mark;
}

}  // namespace

namespace {

// The bytes of a sequence that begins with `lead`; 0 for a byte that begins none.
std::size_t sequence_length(unsigned char lead)
{
    if (lead < 0x80) {
        return 1;
    }
    if (lead < 0xC2) {
        return 0;  // a continuation byte, or an overlong two-byte form
    }
    return lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
}

// Whether a lead byte and the byte after it begin no overlong form, surrogate or
// code point past U+10FFFF.
bool well_begun(unsigned char lead, unsigned char second)
{
    return !((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
             (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F));
}

}  // namespace

bool valid_utf8(std::string_view bytes)
{
    for (std::size_t at = 0; at < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[at]);
        const std::size_t length = sequence_length(lead);
        if (length == 0 || at + length > bytes.size()) {
            return false;
        }
        for (std::size_t i = 1; i < length; ++i) {
            if ((static_cast<unsigned char>(bytes[at + i]) & 0xC0U) != 0x80U) {
                return false;
            }
        }
        if (length > 1 && !well_begun(lead, static_cast<unsigned char>(bytes[at + 1]))) {
            return false;
        }
        at += length;
    }
    return true;
}

CueText cue_text(std::string_view bytes)
{
    // A mark of UTF-8 before bytes that are none is no mark: the rest is told as
    // any other text is.
    if (starts(bytes, "\xEF\xBB\xBF") && valid_utf8(bytes.substr(3))) {
        return {std::string(bytes.substr(3)), "UTF-8 (BOM)"};
    }
    if (starts(bytes, "\xEF\xBB\xBF")) {
        bytes.remove_prefix(3);
    }
    if (starts(bytes, "\xFF\xFE")) {
        return {converted(bytes.substr(2), "UTF-16LE"), "UTF-16LE"};
    }
    if (starts(bytes, "\xFE\xFF")) {
        return {converted(bytes.substr(2), "UTF-16BE"), "UTF-16BE"};
    }
    if (valid_utf8(bytes)) {
        return {std::string(bytes), "UTF-8"};
    }
    std::string encoding = detected(bytes);
    if (encoding.empty()) {
        encoding = "windows-1252";
    }
    return {converted(bytes, encoding.c_str()), encoding};
}

}  // namespace music_library::detail
