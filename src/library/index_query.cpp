#include "library/index_query.hpp"

#include <algorithm>    // std::sort, std::replace, std::lower_bound, std::max
#include <cmath>        // std::isfinite, std::fabs
#include <cstdint>      // std::int64_t
#include <deque>        // std::deque
#include <memory>       // std::make_unique
#include <optional>     // std::optional
#include <string_view>  // std::string_view
#include <tuple>        // std::tuple
#include <vector>       // std::vector

#include "library/text_fold.hpp"

namespace music_library::detail {

namespace fs = std::filesystem;

fs::path absolute_folder(const fs::path& folder)
{
    fs::path absolute = fs::absolute(folder).lexically_normal();
    return absolute.has_filename() || absolute == absolute.root_path() ? absolute
                                                                       : absolute.parent_path();
}

std::pair<std::string, std::string> range_under(const fs::path& folder)
{
    std::string prefix = folder.string();
    if (prefix.empty() || prefix.back() != '/') {
        prefix += '/';
    }
    std::string end = prefix;
    end.back() = '/' + 1;
    return {prefix, end};
}

const char* const query_condition =
    "(?1 IS NULL OR (f.path >= ?1 AND f.path < ?2)) "
    "AND (?3 = '' OR instr(musiccore_fold(coalesce(f.artist, '')), ?3) > 0) "
    "AND (?4 = '' OR instr(musiccore_fold(coalesce(f.album, '')), ?4) > 0) "
    "AND (?5 IS NULL OR f.duration_secs >= ?5) AND (?6 IS NULL OR f.duration_secs <= ?6)";

Statement prepare_query(Database& db, const std::string& sql, const IndexQuery& query)
{
    Statement statement = db.prepare(sql.c_str());
    if (query.under) {
        const auto [from, to] = range_under(absolute_folder(*query.under));
        statement.bind(1, from).bind(2, to);
    }
    statement.bind(3, folded(query.artist)).bind(4, folded(query.album));
    if (query.min_secs) {
        statement.bind(5, *query.min_secs);
    }
    if (query.max_secs) {
        statement.bind(6, *query.max_secs);
    }
    return statement;
}

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
        if (query.tags) {
            read_of_files(
                db, query, "t.file_id, t.name, t.value", "tags", "t.name, t.position",
                [this](File& file, const Statement& tag) {
                    file.tags_end = tags_.size() + 1;
                    tags_.emplace_back(keep(tag.view(1)), keep(tag.view(2)));
                },
                [](File& file, std::size_t first) { file.tags = first; });
            read_of_files(
                db, query, "t.file_id, t.name", "dropped_tags", "t.name",
                [this](File& file, const Statement& name) {
                    file.dropped_end = dropped_.size() + 1;
                    dropped_.push_back(keep(name.view(1)));
                },
                [](File& file, std::size_t first) { file.dropped = first; });
        }
        for (const File* file : sorted()) {
            if (file->outcome == 's') {
                ++skipped_;
            } else if (file->outcome == 'f') {
                std::string path;
                path_into(*file, path);
                failures_.push_back({std::move(path), std::string(view(file->message))});
            } else {
                tracks_.push_back(file);
            }
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
        const File& file = *tracks_.at(i);
        path_into(file, path);
        texts_into(file, texts);
        info.codec = view(file.codec);
        info.channels = file.channels;
        info.sample_rate = file.sample_rate;
        // An index is a file like any other: a length it cannot hold is not known.
        const bool known = length_known(file);
        info.samples = known ? file.samples : std::nullopt;
        info.exact = known && file.exact;
        info.duration_secs = known ? file.duration_secs : 0;
        info.bitrate = file.bitrate;
        tags_into(file, info);
        info.pictures.clear();
    }

    std::optional<std::size_t> pictures(std::size_t i) const { return tracks_.at(i)->pictures; }

private:
    struct Text {
        std::size_t at = 0, size = 0;
    };
    struct File {
        std::int64_t id = 0;
        Text key;  // the path, "/" as the lowest byte: sorted as paths compare
        char outcome = 't';
        Text message, codec;
        int channels = 0;
        long sample_rate = 0;
        std::optional<std::int64_t> samples;
        bool exact = false;
        double duration_secs = 0;
        std::optional<long> bitrate;
        std::optional<Text> artist, album, title;
        std::optional<std::size_t> pictures;
        std::size_t tags = 0, tags_end = 0;        // in tags_
        std::size_t dropped = 0, dropped_end = 0;  // in dropped_
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

    void path_into(const File& file, std::string& path) const
    {
        path.assign(view(file.key));
        std::replace(path.begin(), path.end(), '\0', '/');
    }

    // The file's texts, the defaults where it has none.
    void texts_into(const File& file, TrackInfo& texts) const
    {
        const TrackInfo defaults;
        for (auto [text, into, otherwise] :
             {std::tuple{file.artist, &texts.artist, &defaults.artist},
              {file.album, &texts.album, &defaults.album},
              {file.title, &texts.title, &defaults.title}}) {
            if (text) {
                into->assign(view(*text));
            } else {
                *into = *otherwise;
            }
        }
        texts.duration_secs = length_known(file) ? file.duration_secs : 0;
    }

    // A length as a read could give it: samples not below 0 at a rate above 0, and a
    // duration that is theirs.
    static bool length_known(const File& file)
    {
        return file.samples && *file.samples >= 0 && file.sample_rate > 0 &&
               std::isfinite(file.duration_secs) &&
               std::fabs(file.duration_secs * static_cast<double>(file.sample_rate) -
                         static_cast<double>(*file.samples)) <=
                   std::max(1.0, static_cast<double>(*file.samples) * 1e-9);
    }

    // The file's tags, in the order of their names and positions.
    // Names the record has already keep their place and their values' memory: the
    // tracks of a listing mostly have the same names.
    void tags_into(const File& file, media::MediaInfo& info) const
    {
        auto kept = info.tags.begin();  // the next name the record has, to reuse
        for (std::size_t i = file.tags; i < file.tags_end;) {
            const std::string_view name = view(tags_[i].first);
            if (kept != info.tags.end() && kept->first != name) {
                info.tags.erase(kept, info.tags.end());
                kept = info.tags.end();
            }
            if (kept == info.tags.end()) {
                kept = info.tags.emplace_hint(kept, name, std::vector<std::string>());
            }
            std::size_t count = 0;
            for (; i < file.tags_end && view(tags_[i].first) == name; ++i, ++count) {
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
        info.dropped_tags.clear();
        for (std::size_t i = file.dropped; i < file.dropped_end; ++i) {
            info.dropped_tags.emplace_back(view(dropped_[i]));
        }
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
            std::string("SELECT f.id, f.path, f.outcome, f.message, f.codec, f.channels, "
                        "f.sample_rate, f.samples, f.exact, f.duration_secs, f.bitrate, "
                        "f.artist, f.album, f.title, f.pictures FROM files f WHERE ") +
                query_condition + " ORDER BY f.id",
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
            if (!rows.is_null(7)) {
                file.samples = rows.integer(7);
                file.duration_secs = rows.real(9);
            }
            file.exact = rows.integer(8) != 0;
            if (!rows.is_null(10)) {
                file.bitrate = static_cast<long>(rows.integer(10));
            }
            for (auto [column, text] :
                 {std::pair{11, &file.artist}, {12, &file.album}, {13, &file.title}}) {
                if (!rows.is_null(column)) {
                    *text = keep(rows.view(column));
                }
            }
            if (!rows.is_null(14)) {
                file.pictures = static_cast<std::size_t>(rows.integer(14));
            }
            files_.push_back(file);
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
                                    " t ON t.file_id = f.id WHERE " + query_condition +
                                    " ORDER BY f.id, " + order,
                                query);
        auto file = files_.begin();
        std::int64_t previous = 0;
        std::size_t count = 0;
        while (rows.step()) {
            const std::int64_t id = rows.integer(0);
            if (id != previous) {
                file = std::lower_bound(file, files_.end(), id,
                                        [](const File& f, std::int64_t i) { return f.id < i; });
                previous = id;
                if (file != files_.end() && file->id == id) {
                    first(*file, count);
                }
            }
            if (file != files_.end() && file->id == id) {  // always, in one transaction
                take(*file, rows);
                ++count;
            }
        }
    }

    std::string text_;
    // Deques: what they hold never moves as they grow.
    std::deque<File> files_;  // by id
    std::deque<std::pair<Text, Text>> tags_;
    std::deque<Text> dropped_;
    std::vector<const File*> tracks_;  // in the order of paths
    std::vector<ScanFailure> failures_;
    std::size_t skipped_ = 0;
};

IndexListing read_listing(Database& db, const IndexQuery& query)
{
    return ListingRows::read(db, query);
}

IndexTotals index_totals(Database& db, const IndexQuery& query)
{
    Statement counts = prepare_query(
        db,
        std::string("SELECT f.outcome, count(*), total(f.duration_secs) FROM files f WHERE ") +
            query_condition + " GROUP BY f.outcome",
        query);
    IndexTotals totals;
    while (counts.step()) {
        const std::string_view outcome = counts.view(0);
        const auto count = static_cast<std::size_t>(counts.integer(1));
        if (outcome == "track") {
            totals.tracks = count;
            totals.duration_secs = counts.real(2);
        } else {
            (outcome == "failed" ? totals.failed : totals.skipped) = count;
        }
    }
    return totals;
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
