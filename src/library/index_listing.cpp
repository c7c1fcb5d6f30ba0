// What a query takes from the index, read out at once into a compact form: its files,
// and the tracks that CUE sheets cut some of them into.
#include <algorithm>    // std::sort, std::replace, std::lower_bound, std::max
#include <cmath>        // std::isfinite, std::fabs
#include <cstdint>      // std::int64_t
#include <deque>        // std::deque
#include <memory>       // std::make_unique
#include <optional>     // std::optional
#include <string_view>  // std::string_view
#include <tuple>        // std::tuple
#include <vector>       // std::vector

#include "cue/cue_sheet.hpp"
#include "library/index_query.hpp"

namespace music_library::detail {

// The rows a query takes, their texts kept in one block: a file costs a few
// allocations however many tags it has. Read once, then only read from.
class ListingRows {
public:
    ListingRows(Database& db, const IndexQuery& query)
    {
        // Their texts take less than the database's pages: room for them at once saves
        // moving them as they grow, and touches no more memory than they fill.
        constexpr std::int64_t most = std::int64_t{1} << 30U;
        text_.reserve(static_cast<std::size_t>(
            std::min(most, single(db, "PRAGMA page_count") * single(db, "PRAGMA page_size"))));
        read_files(db, query);
        read_cues(db, query);
        if (query.tags) {
            read_tags(db, query);
        }
        for (const File* file : sorted()) {
            list(*file);
        }
    }

    static IndexListing read(Database& db, const IndexQuery& query)
    {
        const ReadTransaction snapshot(db);  // the passes see one state of the index
        return IndexListing(std::make_unique<const ListingRows>(db, query));
    }

    std::size_t size() const { return tracks_.size(); }
    const std::vector<ScanFailure>& failures() const { return failures_; }
    std::size_t skipped() const { return skipped_; }

    void track(std::size_t i, std::string& path, TrackInfo& texts, media::MediaInfo& info) const
    {
        const Listed& listed = tracks_.at(i);
        fill(*listed.file, listed.cue != nullptr ? *listed.cue : listed.file->own, path, texts,
             info);
    }

    std::optional<std::size_t> pictures(std::size_t i) const
    {
        return tracks_.at(i).file->pictures;
    }
    int cue_track(std::size_t i) const
    {
        const Cue* cue = tracks_.at(i).cue;
        return cue == nullptr ? 0 : cue->number;
    }
    std::int64_t start_sample(std::size_t i) const
    {
        const Cue* cue = tracks_.at(i).cue;
        return cue == nullptr ? 0 : cue->start;
    }
    std::string_view cue_sheet(std::size_t i) const
    {
        const Listed& listed = tracks_.at(i);
        return listed.cue == nullptr ? std::string_view() : view(listed.file->sheet);
    }
    std::string_view cue_encoding(std::size_t i) const
    {
        const Listed& listed = tracks_.at(i);
        return listed.cue == nullptr ? std::string_view() : view(listed.file->encoding);
    }

    // As scan() gives them: a file a sheet cut is one track, its tracks in its extension.
    ScanResult contents() const
    {
        ScanResult result;
        TrackInfo texts;
        media::MediaInfo info;
        std::string path;
        for (std::size_t i = 0; i < tracks_.size();) {
            const File& file = *tracks_[i].file;
            ScannedTrack& track = result.tracks.emplace_back();
            fill(file, file.own, path, track, track.media);
            track.path = path;
            if (tracks_[i].cue == nullptr) {
                ++i;
                continue;
            }
            CueTracks cut{std::string(view(file.sheet)), std::string(view(file.encoding)), {}, {}};
            for (; i < tracks_.size() && tracks_[i].file == &file; ++i) {
                const Cue& cue = *tracks_[i].cue;
                fill(file, cue, path, texts, info);
                cut.tracks.push_back({track.path,
                                      cue.number,
                                      cue.start,
                                      info.samples.value_or(0),
                                      info.exact,
                                      info.duration_secs,
                                      info.tags,
                                      {}});
            }
            give_cue_tracks(track, std::move(cut));
        }
        result.failures = failures_;
        result.skipped = skipped_;
        return result;
    }

private:
    struct Text {
        std::size_t at = 0, size = 0;
    };
    // What a track of the listing holds: a file's, or a track's of a file a sheet cut.
    struct Record {
        std::optional<std::int64_t> samples;
        bool exact = false;
        double duration_secs = 0;
        std::optional<Text> artist, album, title;
        std::size_t tags = 0, tags_end = 0;  // in tags_
    };
    struct Cue : Record {
        std::int64_t file_id = 0;
        int number = 0;
        std::int64_t start = 0;
    };
    struct File {
        std::int64_t id = 0;
        Text key;  // the path, "/" as the lowest byte: sorted as paths compare
        char outcome = 't';
        Text message, codec;
        int channels = 0;
        long sample_rate = 0;
        Record own;
        std::optional<long> bitrate;
        std::optional<std::size_t> pictures;
        std::size_t dropped = 0, dropped_end = 0;  // in dropped_
        bool cut = false;                          // by a sheet, into its tracks
        Text sheet, encoding;
        std::optional<Text> cue_failure;     // why its sheet was not taken
        std::size_t cues = 0, cues_end = 0;  // in cues_: those the query takes
    };
    struct Listed {
        const File* file;
        const Cue* cue;  // null: the whole file
    };

    static std::int64_t single(Database& db, const char* sql)
    {
        Statement statement = db.prepare(sql);
        return statement.step() ? statement.integer(0) : 0;
    }

    std::string_view view(Text text) const { return {text_.data() + text.at, text.size}; }

    Text keep(std::string_view text)
    {
        const Text kept{text_.size(), text.size()};
        text_.append(text);
        return kept;
    }

    std::optional<Text> keep_if(const Statement& row, int column)
    {
        return row.is_null(column) ? std::nullopt : std::optional<Text>(keep(row.view(column)));
    }

    // The file among those read, by its id.
    File* file_of(std::int64_t id)
    {
        const auto file = std::lower_bound(files_.begin(), files_.end(), id,
                                           [](const File& f, std::int64_t i) { return f.id < i; });
        return file != files_.end() && file->id == id ? &*file : nullptr;
    }

    void list(const File& file)
    {
        if (file.outcome == 's') {
            ++skipped_;
            return;
        }
        if (file.outcome == 'f' || file.cue_failure) {
            std::string path;
            path_into(file, path);
            failures_.push_back(
                {std::move(path),
                 std::string(view(file.cue_failure ? *file.cue_failure : file.message))});
        }
        if (file.outcome == 'f') {
            return;
        }
        if (!file.cut) {
            tracks_.push_back({&file, nullptr});
        }
        for (std::size_t i = file.cues; i < file.cues_end; ++i) {
            tracks_.push_back({&file, &cues_[i]});
        }
    }

    void fill(const File& file, const Record& record, std::string& path, TrackInfo& texts,
              media::MediaInfo& info) const
    {
        path_into(file, path);
        // An index is a file like any other: a length it cannot hold is not known.
        const bool known = length_known(record, file.sample_rate);
        texts_into(record, known, texts);
        info.codec = view(file.codec);
        info.channels = file.channels;
        info.sample_rate = file.sample_rate;
        info.samples = known ? record.samples : std::nullopt;
        info.exact = known && record.exact;
        info.duration_secs = known ? record.duration_secs : 0;
        info.bitrate = file.bitrate;
        tags_into(record, info);
        info.dropped_tags.clear();
        for (std::size_t i = file.dropped; i < file.dropped_end; ++i) {
            info.dropped_tags.emplace_back(view(dropped_[i]));
        }
        info.pictures.clear();
    }

    void path_into(const File& file, std::string& path) const
    {
        path.assign(view(file.key));
        std::replace(path.begin(), path.end(), '\0', '/');
    }

    // The record's texts, the defaults where it has none.
    void texts_into(const Record& record, bool known, TrackInfo& texts) const
    {
        const TrackInfo defaults;
        for (auto [text, into, otherwise] :
             {std::tuple{record.artist, &texts.artist, &defaults.artist},
              {record.album, &texts.album, &defaults.album},
              {record.title, &texts.title, &defaults.title}}) {
            if (text) {
                into->assign(view(*text));
            } else {
                *into = *otherwise;
            }
        }
        texts.duration_secs = known ? record.duration_secs : 0;
    }

    // A length as a read could give it: samples not below 0 at a rate above 0, and a
    // duration that is theirs.
    static bool length_known(const Record& record, long sample_rate)
    {
        return record.samples && *record.samples >= 0 && sample_rate > 0 &&
               std::isfinite(record.duration_secs) &&
               std::fabs(record.duration_secs * static_cast<double>(sample_rate) -
                         static_cast<double>(*record.samples)) <=
                   std::max(1.0, static_cast<double>(*record.samples) * 1e-9);
    }

    // The record's tags, in the order of their names and positions.
    // Names the record has already keep their place and their values' memory: the
    // tracks of a listing mostly have the same names.
    void tags_into(const Record& record, media::MediaInfo& info) const
    {
        auto kept = info.tags.begin();  // the next name the record has, to reuse
        for (std::size_t i = record.tags; i < record.tags_end;) {
            const std::string_view name = view(tags_[i].first);
            if (kept != info.tags.end() && kept->first != name) {
                info.tags.erase(kept, info.tags.end());
                kept = info.tags.end();
            }
            if (kept == info.tags.end()) {
                kept = info.tags.emplace_hint(kept, name, std::vector<std::string>());
            }
            std::size_t count = 0;
            for (; i < record.tags_end && view(tags_[i].first) == name; ++i, ++count) {
                if (count < kept->second.size()) {
                    kept->second[count].assign(view(tags_[i].second));
                } else {
                    kept->second.emplace_back(view(tags_[i].second));
                }
            }
            kept->second.resize(count);
            ++kept;
        }
        info.tags.erase(kept, info.tags.end());
    }

    // The files in the order of their paths.
    std::vector<const File*> sorted() const
    {
        std::vector<const File*> order;
        order.reserve(files_.size());
        for (const File& file : files_) {
            order.push_back(&file);
        }
        std::sort(order.begin(), order.end(),
                  [this](const File* a, const File* b) { return view(a->key) < view(b->key); });
        return order;
    }

    void read_files(Database& db, const IndexQuery& query)
    {
        Statement rows = prepare_query(
            db,
            "SELECT f.id, f.path, f.outcome, f.message, f.codec, f.channels, f.sample_rate, "
            "f.samples, f.exact, f.duration_secs, f.bitrate, f.artist, f.album, f.title, "
            "f.pictures, f.cue_sheet, f.cue_encoding, f.cue_failure FROM files f WHERE " +
                listed_condition() + " ORDER BY f.id",
            query);
        while (rows.step()) {
            File file;
            file.id = rows.integer(0);
            file.key = keep(rows.view(1));
            // No path holds a NUL: it sorts below every byte, as "/" does among paths.
            std::replace(text_.begin() + static_cast<std::ptrdiff_t>(file.key.at), text_.end(), '/',
                         '\0');
            file.outcome = rows.view(2).empty() ? 't' : rows.view(2).front();
            file.message = keep(rows.view(3));
            file.codec = keep(rows.view(4));
            file.channels = static_cast<int>(rows.integer(5));
            file.sample_rate = static_cast<long>(rows.integer(6));
            read_record(rows, 7, file.own);
            if (!rows.is_null(10)) {
                file.bitrate = static_cast<long>(rows.integer(10));
            }
            if (!rows.is_null(14)) {
                file.pictures = static_cast<std::size_t>(rows.integer(14));
            }
            file.cut = !rows.is_null(15);
            file.sheet = keep(rows.view(15));
            file.encoding = keep(rows.view(16));
            file.cue_failure = keep_if(rows, 17);
            files_.push_back(file);
        }
    }

    // Samples, exact, duration_secs, then (at `first` + 4) artist, album and title.
    void read_record(const Statement& row, int first, Record& record)
    {
        if (!row.is_null(first)) {
            record.samples = row.integer(first);
            record.duration_secs = row.real(first + 2);
        }
        record.exact = row.integer(first + 1) != 0;
        record.artist = keep_if(row, first + 4);
        record.album = keep_if(row, first + 5);
        record.title = keep_if(row, first + 6);
    }

    void read_cues(Database& db, const IndexQuery& query)
    {
        Statement rows = prepare_query(
            db,
            "SELECT c.file_id, c.cue_track, c.start_sample, c.samples, c.exact, c.duration_secs, "
            "NULL, c.artist, c.album, c.title FROM files f JOIN cue_tracks c ON c.file_id = f.id "
            "WHERE " +
                cue_condition() + " ORDER BY c.file_id, c.cue_track",
            query);
        File* file = nullptr;
        while (rows.step()) {
            Cue cue;
            cue.file_id = rows.integer(0);
            cue.number = static_cast<int>(rows.integer(1));
            cue.start = rows.integer(2);
            read_record(rows, 3, cue);
            if (file == nullptr || file->id != cue.file_id) {
                file = file_of(cue.file_id);
                if (file != nullptr) {
                    file->cues = cues_.size();
                }
            }
            if (file != nullptr && file->cut) {  // always, in one transaction
                cues_.push_back(cue);
                file->cues_end = cues_.size();
            }
        }
    }

    // The tags of the files taken and of the CUE tracks taken, and the names dropped.
    void read_tags(Database& db, const IndexQuery& query)
    {
        read_of_files(
            db, query, "t.file_id, t.name, t.value", "tags", "t.name, t.position",
            [this](File& file, const Statement& tag) {
                file.own.tags_end = tags_.size() + 1;
                tags_.emplace_back(keep(tag.view(1)), keep(tag.view(2)));
            },
            [](File& file, std::size_t first) { file.own.tags = first; });
        read_of_files(
            db, query, "t.file_id, t.name", "dropped_tags", "t.name",
            [this](File& file, const Statement& name) {
                file.dropped_end = dropped_.size() + 1;
                dropped_.push_back(keep(name.view(1)));
            },
            [](File& file, std::size_t first) { file.dropped = first; });
        Statement rows = prepare_query(
            db,
            "SELECT t.file_id, t.cue_track, t.name, t.value FROM files f JOIN cue_tracks c ON "
            "c.file_id = f.id JOIN cue_tags t ON t.file_id = c.file_id AND t.cue_track = "
            "c.cue_track WHERE " +
                cue_condition() + " ORDER BY t.file_id, t.cue_track, t.name, t.position",
            query);
        auto cue = cues_.begin();
        const auto place = [](const Cue& c) { return std::pair(c.file_id, c.number); };
        while (rows.step()) {
            const std::pair key(rows.integer(0), static_cast<int>(rows.integer(1)));
            if (cue == cues_.end() || place(*cue) != key) {
                cue =
                    std::lower_bound(cue, cues_.end(), key, [&place](const Cue& c, const auto& k) {
                        return place(c) < k;
                    });
                if (cue == cues_.end() || place(*cue) != key) {
                    continue;  // never, in one transaction
                }
                cue->tags = tags_.size();
            }
            cue->tags_end = tags_.size() + 1;
            tags_.emplace_back(keep(rows.view(2)), keep(rows.view(3)));
        }
    }

    // Rows of `table` that belong to the files taken, in the order of the files' ids
    // and then `order`: `take` gets each with its file, `first` each file's first.
    template <typename Take, typename First>
    void read_of_files(Database& db, const IndexQuery& query, const char* columns,
                       const char* table, const char* order, Take take, First first)
    {
        // The whole table, in the order of its key, when every file is taken: a join
        // would look each file's rows up.
        const bool every_file = !query.under && query.artist.empty() && query.album.empty() &&
                                !query.min_secs && !query.max_secs;
        const std::string select = std::string("SELECT ") + columns;
        Statement rows =
            every_file
                ? db.prepare(
                      (select + " FROM " + table + " t ORDER BY t.file_id, " + order).c_str())
                : prepare_query(db,
                                select + " FROM files f JOIN " + table +
                                    " t ON t.file_id = f.id WHERE " + listed_condition() +
                                    " ORDER BY f.id, " + order,
                                query);
        File* file = nullptr;
        std::int64_t previous = 0;
        std::size_t count = 0;
        while (rows.step()) {
            const std::int64_t id = rows.integer(0);
            if (id != previous) {
                previous = id;
                file = file_of(id);
                if (file != nullptr) {
                    first(*file, count);
                }
            }
            if (file != nullptr) {  // always, in one transaction
                take(*file, rows);
                ++count;
            }
        }
    }

    std::string text_;
    // Deques: what they hold never moves as they grow.
    std::deque<File> files_;  // by id
    std::deque<Cue> cues_;    // by file id and number
    std::deque<std::pair<Text, Text>> tags_;
    std::deque<Text> dropped_;
    std::vector<Listed> tracks_;  // in the order of paths, and of CUE tracks
    std::vector<ScanFailure> failures_;
    std::size_t skipped_ = 0;
};

IndexListing read_listing(Database& db, const IndexQuery& query)
{
    return ListingRows::read(db, query);
}

ScanResult read_contents(Database& db, const IndexQuery& query)
{
    const ReadTransaction snapshot(db);
    return ListingRows(db, query).contents();
}

}  // namespace music_library::detail

namespace music_library {

IndexListing::IndexListing(std::unique_ptr<const detail::ListingRows> rows) : rows_(std::move(rows))
{
}
IndexListing::IndexListing(IndexListing&&) noexcept = default;
IndexListing& IndexListing::operator=(IndexListing&&) noexcept = default;
IndexListing::~IndexListing() = default;

std::size_t IndexListing::size() const
{
    return rows_->size();
}

std::optional<std::size_t> IndexListing::pictures(std::size_t i) const
{
    return rows_->pictures(i);
}

int IndexListing::cue_track(std::size_t i) const
{
    return rows_->cue_track(i);
}

std::int64_t IndexListing::start_sample(std::size_t i) const
{
    return rows_->start_sample(i);
}

std::string_view IndexListing::cue_sheet(std::size_t i) const
{
    return rows_->cue_sheet(i);
}

std::string_view IndexListing::cue_encoding(std::size_t i) const
{
    return rows_->cue_encoding(i);
}

void IndexListing::track(std::size_t i, std::string& path, TrackInfo& texts,
                         media::MediaInfo& media) const
{
    rows_->track(i, path, texts, media);
}

const std::vector<ScanFailure>& IndexListing::failures() const
{
    return rows_->failures();
}

std::size_t IndexListing::skipped() const
{
    return rows_->skipped();
}

}  // namespace music_library
