#include "library/index_query.hpp"

#include <string_view>  // std::string_view

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

namespace {

// The query's condition on the paths of the files `f`, and on the texts and lengths
// of the records of `table`: the files' own, or their CUE tracks'.
std::string condition_on(const std::string& table, const char* files_also = "")
{
    return "(?1 IS NULL OR (f.path >= ?1 AND f.path < ?2)) AND (" + std::string(files_also) +
           "((?3 = '' OR instr(musiccore_fold(coalesce(" + table + ".artist, '')), ?3) > 0) " +
           "AND (?4 = '' OR instr(musiccore_fold(coalesce(" + table + ".album, '')), ?4) > 0) " +
           "AND (?5 IS NULL OR " + table + ".duration_secs >= ?5) AND (?6 IS NULL OR " + table +
           ".duration_secs <= ?6)))";
}

}  // namespace

const std::string& query_condition()
{
    static const std::string condition = condition_on("f");
    return condition;
}

const std::string& cue_condition()
{
    static const std::string condition = condition_on("c");
    return condition;
}

// The files whose records a listing may take: a file a CUE sheet cut is taken where
// one of its tracks is.
const std::string& listed_condition()
{
    static const std::string condition = condition_on("f", "f.cue_sheet IS NOT NULL OR ");
    return condition;
}

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

IndexTotals index_totals(Database& db, const IndexQuery& query)
{
    const ReadTransaction snapshot(db);  // the counts of one state of the index
    // A file that a sheet cut counts as its tracks; one whose sheet was not taken as
    // a track and a failure, as a listing shows it.
    Statement files = prepare_query(
        db,
        "SELECT f.outcome, count(*), total(f.duration_secs), count(f.cue_failure) FROM files f "
        "WHERE f.cue_sheet IS NULL AND " +
            query_condition() + " GROUP BY f.outcome",
        query);
    IndexTotals totals;
    while (files.step()) {
        const std::string_view outcome = files.view(0);
        const auto count = static_cast<std::size_t>(files.integer(1));
        if (outcome == "track") {
            totals.tracks += count;
            totals.duration_secs += files.real(2);
            totals.failed += static_cast<std::size_t>(files.integer(3));
        } else {
            (outcome == "failed" ? totals.failed : totals.skipped) += count;
        }
    }
    Statement cut = prepare_query(
        db,
        "SELECT count(*), total(c.duration_secs) FROM files f JOIN cue_tracks c ON c.file_id = "
        "f.id WHERE " +
            cue_condition(),
        query);
    if (cut.step()) {
        totals.tracks += static_cast<std::size_t>(cut.integer(0));
        totals.duration_secs += cut.real(1);
    }
    return totals;
}

}  // namespace music_library::detail
