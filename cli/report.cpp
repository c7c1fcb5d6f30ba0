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

namespace cli {

namespace {

std::string clock_text(double secs)
{
    return utils::format_timestamp(std::chrono::seconds(std::llround(secs)));
}

// The shortest text that reads back as the same double.
std::string exact_text(double secs)
{
    std::array<char, 32> text{};
    return {text.data(), std::to_chars(text.data(), text.data() + text.size(), secs).ptr};
}

// For a terminal: a tag or file name may hold control characters, such as the
// escape that starts a terminal's commands. JSON escapes them itself.
std::string printable(std::string text)
{
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        c = byte < 0x20 || byte == 0x7f ? '?' : c;
    }
    return text;
}

void print_failures(const music_library::ScanResult& result, std::ostream& err)
{
    for (const auto& failure : result.failures) {
        err << printable(failure.path.string()) << ": " << failure.message << '\n';
    }
}

void print_summary(const music_library::ScanResult& result, std::ostream& err)
{
    double total = 0;
    for (const auto& track : result.tracks) {
        total += track.duration_secs;
    }
    err << result.tracks.size() << " tracks, " << clock_text(total) << " in all, "
        << result.failures.size() << " failed, " << result.skipped << " skipped\n";
}

// Characters as a terminal shows them: UTF-8 continuation bytes take no column.
std::size_t columns(const std::string& text)
{
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
    }));
}

void print_table(const music_library::ScanResult& result, std::ostream& out)
{
    using Row = std::vector<std::string>;
    std::vector<Row> rows{{"DURATION", "ARTIST", "ALBUM", "TITLE", "PATH"}};
    for (const auto& t : result.tracks) {
        rows.push_back({clock_text(t.duration_secs), printable(t.artist), printable(t.album),
                        printable(t.title), printable(t.path.string())});
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

void print_json(const music_library::ScanResult& result, std::ostream& out)
{
    using json = nlohmann::ordered_json;
    json document{
        {"tracks", json::array()}, {"failures", json::array()}, {"skipped", result.skipped}};
    for (const auto& t : result.tracks) {
        document["tracks"].push_back({{"path", t.path.string()},
                                      {"artist", t.artist},
                                      {"album", t.album},
                                      {"title", t.title},
                                      {"duration_secs", t.duration_secs},
                                      {"duration", clock_text(t.duration_secs)}});
    }
    for (const auto& f : result.failures) {
        document["failures"].push_back({{"path", f.path.string()}, {"message", f.message}});
    }
    // Tags and file names need not be UTF-8: replace what is not, never throw.
    out << document.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
}

// RFC 4180: quoted when it holds a quote, comma or line break; quotes doubled.
std::string csv_field(const std::string& text)
{
    if (text.find_first_of("\",\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c == '"' ? "\"\"" : std::string(1, c);
    }
    return quoted + '"';
}

void print_csv(const music_library::ScanResult& result, std::ostream& out)
{
    out << "path,artist,album,title,duration_secs,duration\r\n";
    for (const auto& t : result.tracks) {
        out << csv_field(t.path.string()) << ',' << csv_field(t.artist) << ',' << csv_field(t.album)
            << ',' << csv_field(t.title) << ',' << exact_text(t.duration_secs) << ','
            << clock_text(t.duration_secs) << "\r\n";
    }
}

void print_blocks(const music_library::ScanResult& result, std::ostream& out)
{
    for (const auto& t : result.tracks) {
        out << printable(t.path.string()) << "\n  duration  " << exact_text(t.duration_secs)
            << " s (" << clock_text(t.duration_secs) << ")\n  artist    " << printable(t.artist)
            << "\n  album     " << printable(t.album) << "\n  title     " << printable(t.title)
            << '\n';
    }
}

}  // namespace

void print_scan(const music_library::ScanResult& result, Format format, std::ostream& out,
                std::ostream& err)
{
    if (format == Format::json) {
        print_json(result, out);
        return;
    }
    if (format == Format::csv) {
        print_csv(result, out);
    } else {
        print_table(result, out);
    }
    print_failures(result, err);
    if (format == Format::text) {
        print_summary(result, err);
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
