#include "tags/tag_collector.hpp"

#include <algorithm>  // std::find

namespace media::detail {

std::string ascii_upper(std::string_view text)
{
    std::string upper(text);
    for (char& c : upper) {
        c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return upper;
}

void TagCollector::add(std::string_view name, std::string_view value)
{
    std::string key = ascii_upper(name);
    if (value.size() > max_tag_value) {
        if (std::find(dropped_.begin(), dropped_.end(), key) == dropped_.end()) {
            dropped_.push_back(std::move(key));
        }
        return;
    }
    tags_[std::move(key)].emplace_back(value);
}

void TagCollector::add_comment(std::string_view comment)
{
    const auto equals = comment.find('=');
    if (equals != std::string_view::npos) {
        add(comment.substr(0, equals), comment.substr(equals + 1));
    }
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

void TagCollector::add_missing(const TagCollector& other)
{
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

void TagCollector::move_into(MediaInfo& info)
{
    info.tags = std::move(tags_);
    info.dropped_tags = std::move(dropped_);
}

}  // namespace media::detail
