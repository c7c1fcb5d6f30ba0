#include "tags/tag_collector.hpp"

#include <algorithm>  // std::find, std::min

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

void TagCollector::move_into(MediaInfo& info)
{
    info.tags = std::move(tags_);
    info.dropped_tags = std::move(dropped_);
    info.pictures = std::move(pictures_);
}

}  // namespace media::detail
