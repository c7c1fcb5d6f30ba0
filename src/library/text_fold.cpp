#include "library/text_fold.hpp"

#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>
#include <unicode/unistr.h>

namespace music_library::detail {

namespace {

const icu::Normalizer2* case_fold()
{
    static const icu::Normalizer2* const fold = [] {
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2* instance = icu::Normalizer2::getNFKCCasefoldInstance(status);
        return U_SUCCESS(status) != 0 ? instance : nullptr;
    }();
    return fold;
}

void fold_function(sqlite3_context* context, int /*count*/, sqlite3_value** values)
{
    const auto* text = sqlite3_value_text(values[0]);
    if (text == nullptr) {
        sqlite3_result_null(context);
        return;
    }
    const auto size = static_cast<std::size_t>(sqlite3_value_bytes(values[0]));
    try {
        const std::string result = folded({reinterpret_cast<const char*>(text), size});
        sqlite3_result_text64(context, result.data(), result.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    } catch (const std::bad_alloc&) {
        sqlite3_result_error_nomem(context);
    }
}

}  // namespace

std::string folded(std::string_view text)
{
    const icu::Normalizer2* fold = case_fold();
    if (fold == nullptr) {  // ICU without its data: ASCII, as before it
        std::string lower(text);
        for (char& c : lower) {
            c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        }
        return lower;
    }
    const icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString result = fold->normalize(unicode, status);
    std::string bytes;
    (U_SUCCESS(status) != 0 ? result : unicode).toUTF8String(bytes);
    return bytes;
}

void add_fold_function(Database& db)
{
    db.check(sqlite3_create_function_v2(db.get(), "musiccore_fold", 1,
                                        SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, fold_function,
                                        nullptr, nullptr, nullptr));
}

}  // namespace music_library::detail
