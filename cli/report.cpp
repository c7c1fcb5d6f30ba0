#include "report.hpp"

#include <algorithm>  // std::max, std::all_of
#include <array>      // std::array
#include <string>     // std::string
#include <vector>     // std::vector

#include <musiccore/cue.hpp>

#include "json.hpp"
#include "text.hpp"

namespace cli {

namespace {

// The widest a table's text column gets; JSON has the whole text.
constexpr std::size_t max_column = 40;
// The longest text `info` shows of a tag.
constexpr std::size_t max_value = 200;
// The tags that have CSV columns of their own, after the three that the track has.
constexpr std::array<const char*, 5> csv_tags{"ALBUMARTIST", "TRACKNUMBER", "DISCNUMBER", "DATE",
                                              "GENRE"};

std::string tag_text(const media::MediaInfo& media, const char* name)
{
    return media::joined(media.tags, name).value_or("");
}

void print_failures(const std::vector<music_library::ScanFailure>& failures, std::ostream& err)
{
    for (const auto& failure : failures) {
        err << printable(failure.path.string()) << ": " << printable(failure.message) << '\n';
    }
}

// The table: every row first, for the columns' widths.
class TablePrinter : public TrackPrinter {
public:
    TablePrinter(std::ostream& out, std::ostream& err) : out_(out), err_(err)
    {
        add({"DURATION", "ARTIST", "ALBUM", "TITLE", "PATH"});
    }

    void track(const Listed& t) override
    {
        const media::MediaInfo& m = t.media;
        // "~" before a length that is only an estimate, "?" for one not known.
        std::string duration =
            !m.samples ? "?" : (m.exact ? "" : "~") + clock_text(m.duration_secs);
        add({std::move(duration), printable(t.artist, max_column), printable(t.album, max_column),
             printable(t.title, max_column), printable(shown_path(t))});
        total_secs_ += m.duration_secs;
    }

    void finish(std::size_t skipped) override
    {
        for (const auto& row : rows_) {  // the path last, unpadded
            for (std::size_t i = 0; i + 1 < row.size(); ++i) {
                out_ << row[i] << std::string(widths_[i] - columns(row[i]) + 2, ' ');
            }
            out_ << row.back() << '\n';
        }
        print_failures(failures_, err_);
        err_ << rows_.size() - 1 << " tracks, " << clock_text(total_secs_) << " in all, "
             << failures_.size() << " failed, " << skipped << " skipped\n";
    }

private:
    using Row = std::array<std::string, 5>;

    void add(Row row)
    {
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths_[i] = std::max(widths_[i], columns(row[i]));
        }
        rows_.push_back(std::move(row));
    }

    std::ostream& out_;
    std::ostream& err_;
    std::array<std::size_t, 5> widths_{};
    std::vector<Row> rows_;  // the header first
    double total_secs_ = 0;
};

// What `info` shows: everything read, a block a file.
class BlockPrinter : public TrackPrinter {
public:
    BlockPrinter(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

    void track(const Listed& t) override
    {
        const media::MediaInfo& m = t.media;
        out_ << printable(shown_path(t)) << '\n';
        length(m);
        out_ << "  format    " << printable(m.codec, max_value) << ", " << m.channels
             << (m.channels == 1 ? " channel" : " channels");
        if (m.bitrate) {
            out_ << ", " << *m.bitrate / 1000 << " kb/s";
        }
        out_ << "\n  artist    " << printable(t.artist, max_value) << "\n  album     "
             << printable(t.album, max_value) << "\n  title     " << printable(t.title, max_value)
             << '\n';
        for (const auto& [name, values] : m.tags) {
            for (const auto& value : values) {
                out_ << "  tag       " << printable(name, max_value) << '='
                     << printable(value, max_value) << '\n';
            }
        }
        for (const auto& name : m.dropped_tags) {
            out_ << "  dropped   " << printable(name, max_value) << " (over 64 KiB)\n";
        }
        for (const media::Picture& picture : m.pictures) {
            out_ << "  picture   " << media::picture_type_name(picture.type) << ", "
                 << (picture.mime_type.empty() ? "unknown type"
                                               : printable(picture.mime_type, max_value));
            if (picture.width && picture.height) {
                out_ << ", " << *picture.width << "x" << *picture.height;
            }
            out_ << ", " << picture.size << " bytes";
            if (!picture.description.empty()) {
                out_ << ": " << printable(picture.description, max_value);
            }
            out_ << '\n';
        }
    }

    void finish(std::size_t /*skipped*/) override { print_failures(failures_, err_); }

private:
    void length(const media::MediaInfo& m)
    {
        out_ << "  duration  ";
        if (!m.samples) {
            out_ << "unknown\n";
            return;
        }
        out_ << (m.exact ? "" : "~") << exact_text(m.duration_secs) << " s ("
             << clock_text(m.duration_secs) << "), " << (m.exact ? "exact" : "estimated") << ": "
             << *m.samples << " samples at " << m.sample_rate << " Hz\n";
    }

    std::ostream& out_;
    std::ostream& err_;
};

class CsvPrinter : public TrackPrinter {
public:
    CsvPrinter(std::ostream& out, std::ostream& err) : out_(out), err_(err)
    {
        out_ << "path,artist,album,title,duration_secs,duration,codec,channels,sample_rate,"
                "samples,exact,bitrate,albumartist,tracknumber,discnumber,date,genre\r\n";
    }

    void track(const Listed& t) override
    {
        const media::MediaInfo& m = t.media;
        out_ << csv_field(shown_path(t)) << ',' << csv_field(t.artist) << ',' << csv_field(t.album)
             << ',' << csv_field(t.title) << ',' << exact_text(m.duration_secs) << ','
             << clock_text(m.duration_secs) << ',' << csv_field(m.codec) << ',' << m.channels << ','
             << m.sample_rate << ',' << (m.samples ? exact_text(*m.samples) : "") << ','
             << (m.exact ? "true" : "false") << ','
             << (m.bitrate ? exact_text(std::int64_t{*m.bitrate}) : "");
        for (const char* name : csv_tags) {
            out_ << ',' << csv_field(tag_text(m, name));
        }
        out_ << "\r\n";
    }

    void finish(std::size_t /*skipped*/) override { print_failures(failures_, err_); }

private:
    std::ostream& out_;
    std::ostream& err_;
};

}  // namespace

TrackPrinter::~TrackPrinter() = default;

void TrackPrinter::tracks(const music_library::IndexListing& listing)
{
    std::string path;  // one for all: their memory serves every track
    TrackInfo texts;
    media::MediaInfo media;
    const std::string no_cover;
    for (std::size_t i = 0; i < listing.size(); ++i) {
        listing.track(i, path, texts, media);
        track({path, texts.artist, texts.album, texts.title, media, listing.pictures(i), no_cover,
               listing.cue_track(i), listing.start_sample(i), listing.cue_sheet(i),
               listing.cue_encoding(i)});
    }
}

std::unique_ptr<TrackPrinter> TrackPrinter::make(Format format, Style style, bool terminal,
                                                 std::ostream& out, std::ostream& err)
{
    if (format == Format::json) {
        return json_printer(out, terminal);
    }
    if (format == Format::csv) {
        return std::make_unique<CsvPrinter>(out, err);
    }
    if (style == Style::blocks) {
        return std::make_unique<BlockPrinter>(out, err);
    }
    return std::make_unique<TablePrinter>(out, err);
}

void print_scan(const music_library::ScanResult& result, Format format, TrackPrinter::Style style,
                bool terminal, std::ostream& out, std::ostream& err)
{
    const auto printer = TrackPrinter::make(format, style, terminal, out, err);
    for (const auto& t : result.tracks) {
        const music_library::CueTracks* cut = music_library::cue_tracks_of(t);
        if (cut == nullptr) {
            printer->track({t.path.native(),
                            t.artist,
                            t.album,
                            t.title,
                            t.media,
                            t.media.pictures.size(),
                            t.folder_cover,
                            0,
                            0,
                            {},
                            {}});
            continue;
        }
        // The image's tracks in its place: each its length, its tags.
        const std::string sheet = cut->sheet.string();
        for (const music_library::CueTrack& track : cut->tracks) {
            media::MediaInfo info = t.media;
            info.samples = track.samples;
            info.exact = track.exact;
            info.duration_secs = track.duration_secs;
            info.tags = track.tags;
            const music_library::ScannedTrack each = music_library::scanned_track(t.path, info);
            printer->track({t.path.native(), each.artist, each.album, each.title, each.media,
                            each.media.pictures.size(), t.folder_cover, track.cue_track,
                            track.start_sample, sheet, cut->encoding});
        }
    }
    for (const auto& failure : result.failures) {
        printer->failure(failure);
    }
    printer->finish(result.skipped);
}

std::string shown_path(const Listed& track)
{
    return track.cue_track == 0 ? track.path : track.path + "#" + std::to_string(track.cue_track);
}

void print_listing(const music_library::IndexListing& listing, Format format, bool terminal,
                   std::ostream& out, std::ostream& err)
{
    const auto printer = TrackPrinter::make(format, TrackPrinter::Style::table, terminal, out, err);
    printer->tracks(listing);
    for (const auto& failure : listing.failures()) {
        printer->failure(failure);
    }
    printer->finish(listing.skipped());
}

}  // namespace cli
