#include "report.hpp"

#include <algorithm>  // std::max
#include <array>      // std::array
#include <charconv>   // std::to_chars
#include <chrono>     // std::chrono::seconds
#include <cmath>      // std::llround
#include <string>     // std::string
#include <vector>     // std::vector

#include <nlohmann/json.hpp>

#include <musiccore/utils.hpp>

#include "text.hpp"

namespace cli {

namespace {

using music_library::ScannedTrack;

// The widest a table's text column gets; JSON has the whole text.
constexpr std::size_t max_column = 40;
// The longest text `info` shows of a tag.
constexpr std::size_t max_value = 200;
// The tags that have CSV columns of their own, after the three that the track has.
constexpr std::array<const char*, 5> csv_tags{"ALBUMARTIST", "TRACKNUMBER", "DISCNUMBER", "DATE",
                                              "GENRE"};

std::string clock_text(double secs)
{
    return utils::format_timestamp(std::chrono::seconds(std::llround(secs)));
}

// The shortest text that reads back as the same number.
template <typename Number>
std::string exact_text(Number value)
{
    std::array<char, 32> text{};
    return {text.data(), std::to_chars(text.data(), text.data() + text.size(), value).ptr};
}

// "~" before a length that is only an estimate, "?" for one not known.
std::string table_duration(const ScannedTrack& t)
{
    if (!t.media.samples) {
        return "?";
    }
    return (t.media.exact ? "" : "~") + clock_text(t.duration_secs);
}

void print_failures(const music_library::ScanResult& result, std::ostream& err)
{
    for (const auto& failure : result.failures) {
        err << printable(failure.path.string()) << ": " << printable(failure.message) << '\n';
    }
}

void print_summary(const music_library::ScanResult& result,
                   const music_library::IndexChanges* changes, std::ostream& err)
{
    double total = 0;
    for (const auto& track : result.tracks) {
        total += track.duration_secs;
    }
    err << result.tracks.size() << " tracks, " << clock_text(total) << " in all, "
        << result.failures.size() << " failed, " << result.skipped << " skipped";
    if (changes != nullptr) {
        err << "; " << changes->added << " added, " << changes->changed << " changed, "
            << changes->removed << " removed, " << changes->kept << " kept";
    }
    err << '\n';
}

void print_table(const music_library::ScanResult& result, std::ostream& out)
{
    using Row = std::vector<std::string>;
    std::vector<Row> rows{{"DURATION", "ARTIST", "ALBUM", "TITLE", "PATH"}};
    for (const auto& t : result.tracks) {
        rows.push_back({table_duration(t), printable(t.artist, max_column),
                        printable(t.album, max_column), printable(t.title, max_column),
                        printable(t.path.string())});
    }
    std::vector<std::size_t> widths(rows.front().size());
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths.at(i) = std::max(widths.at(i), columns(row.at(i)));
        }
    }
    for (const auto& row : rows) {  // the path last, unpadded
        for (std::size_t i = 0; i + 1 < row.size(); ++i) {
            out << row.at(i) << std::string(widths.at(i) - columns(row.at(i)) + 2, ' ');
        }
        out << row.back() << '\n';
    }
}

using Json = nlohmann::ordered_json;

// A text under `key`; when its bytes are not UTF-8 (which the dump replaces), also
// under key + "_bytes", one character per byte, so that nothing is lost.
void put_text(Json& object, const std::string& key, const std::string& text)
{
    object[key] = text;
    if (!is_utf8(text)) {
        object[key + "_bytes"] = bytes_as_characters(text);
    }
}

Json tags_json(const media::Tags& tags, bool as_bytes)
{
    Json object = Json::object();
    for (const auto& [name, values] : tags) {
        Json& list = object[as_bytes ? bytes_as_characters(name) : name] = Json::array();
        for (const auto& value : values) {
            list.push_back(as_bytes ? bytes_as_characters(value) : value);
        }
    }
    return object;
}

Json track_json(const ScannedTrack& t)
{
    const media::MediaInfo& m = t.media;
    Json track = Json::object();
    put_text(track, "path", t.path.string());
    put_text(track, "artist", t.artist);
    put_text(track, "album", t.album);
    put_text(track, "title", t.title);
    track["duration_secs"] = t.duration_secs;
    track["duration"] = clock_text(t.duration_secs);
    track["codec"] = m.codec;
    track["channels"] = m.channels;
    track["sample_rate"] = m.sample_rate;
    track["samples"] = m.samples ? Json(*m.samples) : Json(nullptr);
    track["exact"] = m.exact;
    track["bitrate"] = m.bitrate ? Json(*m.bitrate) : Json(nullptr);
    track["tags"] = tags_json(m.tags, false);
    const bool tags_utf8 = std::all_of(m.tags.begin(), m.tags.end(), [](const auto& tag) {
        return is_utf8(tag.first) && std::all_of(tag.second.begin(), tag.second.end(), is_utf8);
    });
    if (!tags_utf8) {
        track["tags_bytes"] = tags_json(m.tags, true);
    }
    track["dropped_tags"] = m.dropped_tags;
    return track;
}

void print_json(const music_library::ScanResult& result, const music_library::IndexChanges* changes,
                std::ostream& out)
{
    Json document{{"version", json_version},
                  {"tracks", Json::array()},
                  {"failures", Json::array()},
                  {"skipped", result.skipped}};
    for (const auto& t : result.tracks) {
        document["tracks"].push_back(track_json(t));
    }
    for (const auto& f : result.failures) {
        Json failure = Json::object();
        put_text(failure, "path", f.path.string());
        put_text(failure, "message", f.message);
        document["failures"].push_back(std::move(failure));
    }
    if (changes != nullptr) {
        document["index"] = {{"added", changes->added},
                             {"changed", changes->changed},
                             {"removed", changes->removed},
                             {"kept", changes->kept}};
    }
    out << document.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

std::string tag_text(const ScannedTrack& t, const char* name)
{
    return media::joined(t.media.tags, name).value_or("");
}

void print_csv(const music_library::ScanResult& result, std::ostream& out)
{
    out << "path,artist,album,title,duration_secs,duration,codec,channels,sample_rate,samples,"
           "exact,bitrate,albumartist,tracknumber,discnumber,date,genre\r\n";
    for (const auto& t : result.tracks) {
        const media::MediaInfo& m = t.media;
        out << csv_field(t.path.string()) << ',' << csv_field(t.artist) << ',' << csv_field(t.album)
            << ',' << csv_field(t.title) << ',' << exact_text(t.duration_secs) << ','
            << clock_text(t.duration_secs) << ',' << m.codec << ',' << m.channels << ','
            << m.sample_rate << ',' << (m.samples ? exact_text(*m.samples) : "") << ','
            << (m.exact ? "true" : "false") << ',' << (m.bitrate ? exact_text(*m.bitrate) : "");
        for (const char* name : csv_tags) {
            out << ',' << csv_field(tag_text(t, name));
        }
        out << "\r\n";
    }
}

void print_length(const media::MediaInfo& m, std::ostream& out)
{
    out << "  duration  ";
    if (!m.samples) {
        out << "unknown\n";
        return;
    }
    out << (m.exact ? "" : "~") << exact_text(m.duration_secs) << " s ("
        << clock_text(m.duration_secs) << "), " << (m.exact ? "exact" : "estimated") << ": "
        << *m.samples << " samples at " << m.sample_rate << " Hz\n";
}

void print_blocks(const music_library::ScanResult& result, std::ostream& out)
{
    for (const auto& t : result.tracks) {
        const media::MediaInfo& m = t.media;
        out << printable(t.path.string()) << '\n';
        print_length(m, out);
        out << "  format    " << m.codec << ", " << m.channels
            << (m.channels == 1 ? " channel" : " channels");
        if (m.bitrate) {
            out << ", " << *m.bitrate / 1000 << " kb/s";
        }
        out << "\n  artist    " << printable(t.artist, max_value) << "\n  album     "
            << printable(t.album, max_value) << "\n  title     " << printable(t.title, max_value)
            << '\n';
        for (const auto& [name, values] : m.tags) {
            for (const auto& value : values) {
                out << "  tag       " << printable(name, max_value) << '='
                    << printable(value, max_value) << '\n';
            }
        }
        for (const auto& name : m.dropped_tags) {
            out << "  dropped   " << printable(name, max_value) << " (over 64 KiB)\n";
        }
    }
}

}  // namespace

void print_scan(const music_library::ScanResult& result, Format format, std::ostream& out,
                std::ostream& err, const music_library::IndexChanges* changes)
{
    if (format == Format::json) {
        print_json(result, changes, out);
        return;
    }
    if (format == Format::csv) {
        print_csv(result, out);
    } else {
        print_table(result, out);
    }
    print_failures(result, err);
    if (format == Format::text) {
        print_summary(result, changes, err);
    }
}

void print_info(const music_library::ScanResult& result, Format format, std::ostream& out,
                std::ostream& err)
{
    if (format != Format::text) {
        print_scan(result, format, out, err);
        return;
    }
    print_blocks(result, out);
    print_failures(result, err);
}

}  // namespace cli
