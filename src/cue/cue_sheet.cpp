#include "cue/cue_sheet.hpp"

#include <algorithm>  // std::find_if, std::all_of, std::none_of
#include <cctype>     // std::toupper
#include <charconv>   // std::from_chars

namespace music_library::detail {

namespace {

// The words of a line: a quoted one may hold spaces (and no quote); an unquoted one
// ends at a space.
std::vector<std::string> words_of(std::string_view line)
{
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) {
            ++at;
        }
        if (at == line.size()) {
            break;
        }
        if (line[at] == '"') {
            const std::size_t end = line.find('"', at + 1);
            const std::size_t stop = end == std::string_view::npos ? line.size() : end;
            words.emplace_back(line.substr(at + 1, stop - at - 1));
            at = stop == line.size() ? stop : stop + 1;
        } else {
            std::size_t end = at;
            while (end < line.size() && line[end] != ' ' && line[end] != '\t') {
                ++end;
            }
            words.emplace_back(line.substr(at, end - at));
            at = end;
        }
    }
    return words;
}

std::string upper(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

class Parser {
public:
    CueSheet parse(std::string_view text)
    {
        if (text.size() > max_cue_bytes) {
            throw media::media_error("CUE: a sheet of " + std::to_string(text.size()) +
                                     " bytes, over 1 MiB");
        }
        while (!text.empty()) {
            ++line_;
            const std::size_t end = text.find('\n');
            std::string_view line = text.substr(0, end);
            text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
            if (line.size() > max_cue_line) {
                fail("a line of " + std::to_string(line.size()) + " bytes");
            }
            for (const char c : line) {
                const auto byte = static_cast<unsigned char>(c);
                if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
                    fail("a control character: not a text");
                }
            }
            take(words_of(line));
        }
        finish_track();
        if (sheet_.tracks.empty()) {
            throw media::media_error("CUE: no audio track");
        }
        return std::move(sheet_);
    }

private:
    [[noreturn]] void fail(const std::string& why) const
    {
        throw media::media_error("CUE: line " + std::to_string(line_) + ": " + why);
    }

    // mm:ss:ff, in frames.
    std::int64_t time_of(const std::string& text) const
    {
        std::int64_t parts[3] = {};
        std::size_t at = 0;
        for (std::size_t part = 0; part < 3; ++part) {
            const std::size_t end = part < 2 ? text.find(':', at) : text.size();
            if (end == std::string::npos || !digits(text.substr(at, end - at), 3, parts[part])) {
                fail("'" + text + "' is no time mm:ss:ff");
            }
            at = end + 1;
        }
        if (parts[1] >= 60 || parts[2] >= cue_frames_a_second) {
            fail("'" + text + "': seconds of 60 or more, or frames of 75 or more");
        }
        return (parts[0] * 60 + parts[1]) * cue_frames_a_second + parts[2];
    }

    // A number of 1 to `most` digits, and nothing else.
    static bool digits(std::string_view text, std::size_t most, std::int64_t& value)
    {
        if (text.empty() || text.size() > most ||
            !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return false;
        }
        std::from_chars(text.data(), text.data() + text.size(), value);
        return true;
    }

    bool in_track() const { return track_ != nullptr; }
    media::Tags& tags_here() { return in_track() ? track_->tags : sheet_.album; }

    void set(const char* name, const std::string& value) { tags_here()[name] = {value}; }

    void take(const std::vector<std::string>& words)
    {
        if (words.empty()) {
            return;
        }
        const std::string command = upper(words[0]);
        if (in_data_ && command != "FILE" && command != "TRACK") {
            return;
        }
        const auto argument = [&](std::size_t i) -> const std::string& {
            if (words.size() <= i) {
                fail(command + " without its value");
            }
            return words[i];
        };
        if (command == "FILE") {
            finish_track();
            in_data_ = false;
            sheet_.files.push_back({argument(1), words.size() > 2 ? upper(words[2]) : ""});
        } else if (command == "TRACK") {
            track(argument(1), upper(argument(2)));
        } else if (command == "INDEX") {
            index(argument(1), argument(2));
        } else if (command == "PREGAP" || command == "POSTGAP") {
            if (!in_track()) {
                fail(command + " outside a track");
            }
            (command == "PREGAP" ? track_->pregap : track_->postgap) = time_of(argument(1));
        } else {
            describe(command, words);
        }
    }

    // The lines that name and describe: the disc's before the first track, else the
    // track's. FLAGS, CDTEXTFILE, and what no tool here knows: left out.
    void describe(const std::string& command, const std::vector<std::string>& words)
    {
        if (words.size() < 2) {
            return;
        }
        const std::string& value = words[1];
        if (command == "TITLE") {
            set(in_track() ? "TITLE" : "ALBUM", value);
        } else if (command == "PERFORMER") {
            set(in_track() ? "ARTIST" : "ALBUMARTIST", value);
        } else if (command == "SONGWRITER") {
            set("SONGWRITER", value);
        } else if (command == "ISRC" && in_track()) {
            set("ISRC", value);
        } else if (command == "CATALOG" && !in_track()) {
            set("CATALOGNUMBER", value);
        } else if (command == "REM" && words.size() >= 3) {
            remark(upper(words[1]), words);
        }
    }

    void remark(const std::string& name, const std::vector<std::string>& words)
    {
        static const char* const kept[] = {"GENRE",      "DATE",     "DISCNUMBER",
                                           "TOTALDISCS", "COMPOSER", "COMMENT"};
        const bool replaygain = name.rfind("REPLAYGAIN_", 0) == 0 && name.size() < 64;
        if (std::find_if(std::begin(kept), std::end(kept),
                         [&name](const char* each) { return name == each; }) == std::end(kept) &&
            !replaygain) {
            return;
        }
        std::string value = words[2];
        for (std::size_t i = 3; i < words.size(); ++i) {
            value += ' ' + words[i];  // an unquoted value of several words
        }
        tags_here()[name] = {value};
    }

    void track(const std::string& number_text, const std::string& type)
    {
        finish_track();
        if (sheet_.files.empty()) {
            fail("TRACK before any FILE");
        }
        std::int64_t number = 0;
        if (!digits(number_text, 2, number) || number < 1) {
            fail("track number '" + number_text + "'");
        }
        in_data_ = type != "AUDIO";
        if (in_data_) {
            return;  // a data track: none of the music, nor are its lines
        }
        if (sheet_.tracks.size() >= static_cast<std::size_t>(max_cue_tracks)) {
            fail("more than 99 tracks");
        }
        if (!sheet_.tracks.empty() && number <= sheet_.tracks.back().number) {
            fail("track " + std::to_string(number) + " after track " +
                 std::to_string(sheet_.tracks.back().number));
        }
        current_ = CueTrack{};
        current_.number = static_cast<int>(number);
        current_.file = sheet_.files.size() - 1;
        track_ = &current_;
    }

    void index(const std::string& number_text, const std::string& time)
    {
        if (!in_track()) {
            fail("INDEX outside an audio track");
        }
        std::int64_t number = 0;
        if (!digits(number_text, 2, number)) {
            fail("index number '" + number_text + "'");
        }
        const std::int64_t frame = time_of(time);
        auto& indexes = track_->indexes;
        if (!indexes.empty() && (number <= indexes.back().number || frame < indexes.back().frame)) {
            fail("index " + std::to_string(number) + " out of order");
        }
        indexes.push_back({static_cast<int>(number), frame});
    }

    void finish_track()
    {
        if (!in_track()) {
            return;
        }
        const auto& indexes = track_->indexes;
        if (std::none_of(indexes.begin(), indexes.end(),
                         [](const CueIndex& index) { return index.number == 1; })) {
            fail("track " + std::to_string(track_->number) + " has no INDEX 01");
        }
        // A track's start follows the start of the one before in the same file.
        if (!sheet_.tracks.empty() && sheet_.tracks.back().file == track_->file &&
            track_->start() < sheet_.tracks.back().start()) {
            fail("track " + std::to_string(track_->number) + " starts before the one before");
        }
        sheet_.tracks.push_back(std::move(current_));
        track_ = nullptr;
    }

    CueSheet sheet_;
    CueTrack current_;
    CueTrack* track_ = nullptr;  // &current_ while in an audio track
    bool in_data_ = false;       // in a data track
    std::size_t line_ = 0;
};

}  // namespace

std::int64_t CueTrack::start() const
{
    for (const CueIndex& index : indexes) {
        if (index.number == 1) {
            return index.frame;
        }
    }
    return 0;
}

CueSheet parse_cue(std::string_view text)
{
    return Parser().parse(text);
}

std::int64_t cue_sample(std::int64_t frame, long sample_rate, bool& exact)
{
    const std::int64_t scaled = frame * sample_rate;
    exact = exact && scaled % cue_frames_a_second == 0;
    return scaled / cue_frames_a_second;
}

}  // namespace music_library::detail
