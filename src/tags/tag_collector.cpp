#include "tags/tag_collector.hpp"

#include <algorithm>  // std::find, std::min, std::all_of
#include <optional>   // std::optional
#include <vector>     // std::vector

#include "io/byte_order.hpp"

#include "tags/pictures.hpp"

namespace media::detail {

std::string ascii_upper(std::string_view text)
{
    std::string upper(text);
    for (char& c : upper) {
        c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return upper;
}

namespace {

// The budget of this thread's read, if any; budgets nest, innermost first.
TagBudget*& current_budget()
{
    thread_local TagBudget* current = nullptr;  // NOLINT(*-avoid-non-const-global-variables)
    return current;
}

}  // namespace

TagBudget::TagBudget() : outer_(current_budget())
{
    current_budget() = this;
}

TagBudget::~TagBudget()
{
    current_budget() = outer_;
}

const char* TagBudget::exceeded() const
{
    if (values_ > max_tag_count) {
        return "more than 10000 tags";
    }
    return bytes_ > max_tag_bytes ? "tags over the 16 MiB limit" : nullptr;
}

bool TagBudget::take(std::size_t bytes)
{
    TagBudget* budget = current_budget();
    if (budget == nullptr) {
        return true;
    }
    // Saturating: a count past its bound stays past it.
    budget->values_ += budget->values_ <= max_tag_count ? 1 : 0;
    budget->bytes_ += budget->bytes_ <= max_tag_bytes ? bytes : 0;
    return budget->exceeded() == nullptr;
}

void TagCollector::add(std::string_view name, std::string_view value)
{
    if (!TagBudget::take(name.size() + std::min(value.size(), max_tag_value))) {
        return;
    }
    std::string key = ascii_upper(name);
    if (value.size() > max_tag_value) {
        if (std::find(dropped_.begin(), dropped_.end(), key) == dropped_.end()) {
            dropped_.push_back(std::move(key));
        }
        return;
    }
    tags_[std::move(key)].emplace_back(value);
}

void TagCollector::drop(std::string name)
{
    if (std::find(dropped_.begin(), dropped_.end(), name) == dropped_.end()) {
        dropped_.push_back(std::move(name));
    }
}

void TagCollector::add_comment(std::string_view comment)
{
    const auto equals = comment.find('=');
    if (equals != std::string_view::npos &&
        ascii_upper(comment.substr(0, equals)) == "METADATA_BLOCK_PICTURE") {
        const std::string_view base64 = comment.substr(equals + 1);
        if (auto block = picture_block(base64)) {
            const std::size_t at = block->data_at;
            const std::size_t size = block->picture.size;
            add_picture(std::move(block->picture),
                        [base64, at, size] { return base64_decoded(base64, at, size); });
        }
    } else if (equals != std::string_view::npos) {
        add(comment.substr(0, equals), comment.substr(equals + 1));
    }
}

bool TagCollector::add_comments(std::string_view structure)
{
    std::vector<std::string_view> comments;
    const auto length_at = [&structure](std::size_t at) -> std::optional<std::size_t> {
        if (at > structure.size() || structure.size() - at < 4) {
            return std::nullopt;
        }
        return static_cast<std::size_t>(little_endian(structure, at, 4));
    };
    const auto vendor = length_at(0);
    if (!vendor || *vendor > structure.size() - 4) {
        return false;
    }
    std::size_t at = 4 + *vendor;
    const auto count = length_at(at);
    // Each comment takes 4 bytes at least: a count past that is a lie.
    if (!count || *count > (structure.size() - at - 4) / 4) {
        return false;
    }
    at += 4;
    for (std::size_t i = 0; i < *count; ++i) {
        const auto length = length_at(at);
        if (!length || *length > structure.size() - at - 4) {
            return false;
        }
        comments.push_back(structure.substr(at + 4, *length));
        at += 4 + *length;
    }
    for (const std::string_view comment : comments) {
        add_comment(comment);
    }
    return true;
}

void TagCollector::add_numbered(std::string_view name, std::string_view total,
                                std::string_view value)
{
    const auto slash = value.find('/');
    add(name, value.substr(0, slash));
    if (slash != std::string_view::npos && slash + 1 < value.size()) {
        add(total, value.substr(slash + 1));
    }
}

void TagCollector::add_picture(Picture picture, std::string_view bytes)
{
    picture.size = bytes.size();
    add_picture(std::move(picture), [bytes] { return std::string(bytes); });
}

void TagCollector::add_picture(Picture picture, const std::function<std::string()>& load)
{
    if (picture.size == 0 || pictures_.size() >= max_pictures) {
        return;  // no picture at all; or past those a record lists
    }
    if (picture.description.size() > max_tag_value) {
        picture.description.clear();
    }
    PictureCapture::offer(static_cast<std::size_t>(picture.size), load);
    pictures_.push_back(std::move(picture));
}

void TagCollector::add_missing(const TagCollector& other)
{
    const std::size_t room = max_pictures - std::min(max_pictures, pictures_.size());
    pictures_.insert(pictures_.end(), other.pictures_.begin(),
                     other.pictures_.begin() +
                         static_cast<std::ptrdiff_t>(std::min(room, other.pictures_.size())));
    for (const auto& [name, values] : other.tags_) {
        if (tags_.count(name) == 0 &&
            std::find(dropped_.begin(), dropped_.end(), name) == dropped_.end()) {
            tags_[name] = values;
        }
    }
    for (const std::string& name : other.dropped_) {
        if (tags_.count(name) == 0 &&
            std::find(dropped_.begin(), dropped_.end(), name) == dropped_.end()) {
            dropped_.push_back(name);
        }
    }
}

void TagCollector::add_day_and_month(std::string_view day_and_month)
{
    day_and_month_ = day_and_month;
}

namespace {

bool digits(std::string_view text, std::size_t count)
{
    return text.size() == count &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

void TagCollector::move_into(MediaInfo& info)
{
    const auto date = tags_.find("DATE");
    if (date != tags_.end() && date->second.size() == 1 && digits(date->second[0], 4) &&
        digits(day_and_month_, 4)) {
        const std::string_view day = std::string_view(day_and_month_).substr(0, 2);
        const std::string_view month = std::string_view(day_and_month_).substr(2, 2);
        if (month >= "01" && month <= "12" && day >= "01" && day <= "31") {
            date->second[0] += "-" + std::string(month) + "-" + std::string(day);
        }
    }
    info.tags = std::move(tags_);
    info.dropped_tags = std::move(dropped_);
    info.pictures = std::move(pictures_);
}

}  // namespace media::detail
