// musiccore: exact durations and tags of music files, from the command line.
#include <algorithm>   // std::find_if
#include <chrono>      // std::chrono::milliseconds
#include <cmath>       // std::isfinite, std::ceil
#include <filesystem>  // std::filesystem::filesystem_error
#include <fstream>     // std::ofstream
#include <iostream>    // std::cout, std::cerr
#include <iterator>    // std::back_inserter
#include <optional>    // std::optional
#include <string>      // std::string
#include <vector>      // std::vector

#include <malloc.h>  // mallopt
#include <unistd.h>  // isatty

#include <CLI/CLI.hpp>

#include <musiccore/index.hpp>
#include <musiccore/library.hpp>
#include <musiccore/media.hpp>
#include <musiccore/utils.hpp>
#include <musiccore/version.hpp>

#include "changes.hpp"
#include "cue_tracks.hpp"
#include "loudness_command.hpp"
#include "progress.hpp"
#include "report.hpp"

namespace {

constexpr int all_read = 0;
constexpr int some_failed = 1;
constexpr int usage_error = 2;

struct Options {
    cli::Format format = cli::Format::text;
    std::vector<std::string> paths;
    std::optional<std::chrono::seconds> min, max;
    unsigned jobs = 0;
    std::chrono::milliseconds time_limit = media::default_work_limit;
    std::size_t memory_limit = media::default_memory_limit;
    bool sandbox = true;        // files read in sandboxed reader processes
    bool loudness = false;      // scan --db: measure; list: show what was measured
    bool hidden_track = false;  // info: an image's audio before its first track, too
    std::string db;             // the index, if any
    std::string artist, album;  // list: texts the tracks' must hold
    std::string output;         // cover: the file to write, if not standard output
};

// The longest time limit taken: about 31 years, far from any overflow.
constexpr double max_time_limit_secs = 1e9;

// Accepts what utils::parse_timestamp accepts; the message names the text, and
// CLI11 puts the option's name before it.
const CLI::Validator clock_time(
    [](const std::string& text) {
        return utils::parse_timestamp(text) ? std::string()
                                            : "'" + text +
                                                  "' is not a time such as 50, 1:03 or "
                                                  "1:03:30";
    },
    "TIME");

// Seconds of processor time, 0 for no limit; anything else (negative, NaN,
// infinite, too large) is a usage error.
void add_time_limit(CLI::App& command, Options& options)
{
    command
        .add_option_function<double>(
            "--time-limit",
            [&options](double secs) {
                if (!std::isfinite(secs) || secs < 0 || secs > max_time_limit_secs) {
                    throw CLI::ValidationError("--time-limit",
                                               "must be seconds from 0 (no limit) to 1e9");
                }
                // Up: a positive limit never rounds to 0, which means none.
                options.time_limit =
                    std::chrono::milliseconds(static_cast<long long>(std::ceil(secs * 1000)));
            },
            "Processor seconds that reading one file may take (0: no limit; default 10)")
        ->type_name("SECONDS");
}

// Mebibytes of address space for each process that reads files.
void add_memory_limit(CLI::App& command, Options& options)
{
    command
        .add_option_function<std::size_t>(
            "--memory-limit", [&options](std::size_t mib) { options.memory_limit = mib << 20U; },
            "Memory, in MiB, that the process reading a file may take (default 512)")
        ->type_name("MIB")
        ->check(CLI::Range(std::size_t{64}, std::size_t{1} << 20U));
}

// Reading in this process is a choice, never a fallback.
void add_sandbox_flag(CLI::App& command, Options& options)
{
    command.add_flag_callback(
        "--no-sandbox", [&options] { options.sandbox = false; },
        "Read files in this process, not in sandboxed readers: a file that takes over or "
        "crashes a format library then takes this process with it");
}

// The two options, for what excludes them.
std::pair<CLI::Option*, CLI::Option*> add_length_filters(CLI::App& command, Options& options)
{
    auto* min =
        command
            .add_option_function<std::string>(
                "--min",
                [&options](const std::string& text) { options.min = utils::parse_timestamp(text); },
                "Only tracks at least this long (50, 1:03, 1:03:30)")
            ->check(clock_time);
    auto* max =
        command
            .add_option_function<std::string>(
                "--max",
                [&options](const std::string& text) { options.max = utils::parse_timestamp(text); },
                "Only tracks at most this long")
            ->check(clock_time);
    return {min, max};
}

void add_format_flags(CLI::App& command, Options& options)
{
    auto* json = command.add_flag_callback(
        "--json", [&options] { options.format = cli::Format::json; }, "Print one JSON document");
    command
        .add_flag_callback(
            "--csv", [&options] { options.format = cli::Format::csv; }, "Print CSV")
        ->excludes(json);
}

// JSON for a person is indented; for a program, on one line.
bool to_terminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

bool within(const Track& track, const Options& options)
{
    const double secs = track.duration_secs;
    return (!options.min || secs >= static_cast<double>(options.min->count())) &&
           (!options.max || secs <= static_cast<double>(options.max->count()));
}

void add_result(music_library::ScanResult& all, music_library::ScanResult result,
                const Options& options)
{
    for (auto& track : result.tracks) {
        if (within(track, options)) {
            all.tracks.push_back(std::move(track));
        }
    }
    all.failures.insert(all.failures.end(), result.failures.begin(), result.failures.end());
    all.skipped += result.skipped;
}

music_library::ScanOptions scan_options(const Options& options)
{
    music_library::ScanOptions scan;
    scan.jobs = options.jobs;
    scan.file_time_limit = options.time_limit;
    scan.memory_limit = options.memory_limit;
    scan.isolated = options.sandbox;
    return scan;
}

// Reads each DIR, then prints what it holds.
int run_scan(const Options& options)
{
    music_library::ScanOptions scan = scan_options(options);
    music_library::ScanResult all;
    for (const auto& dir : options.paths) {
        cli::ProgressBar progress(std::cerr, isatty(STDERR_FILENO) == 1);
        scan.on_progress = [&progress](std::size_t done, std::size_t total) {
            progress(done, total);
        };
        add_result(all, music_library::scan(dir, scan), options);
    }
    cli::print_scan(all, options.format, cli::TrackPrinter::Style::table, to_terminal(), std::cout,
                    std::cerr);
    return all.failures.empty() ? all_read : some_failed;
}

// Brings the index up to date with each DIR, then prints what changed: what the index
// holds is for list to show.
int run_scan_into_index(const Options& options)
{
    music_library::Index index(options.db);
    music_library::ScanOptions scan = scan_options(options);
    music_library::IndexChanges all;
    music_library::IndexTotals held;
    for (const auto& dir : options.paths) {
        cli::ProgressBar progress(std::cerr, isatty(STDERR_FILENO) == 1);
        scan.on_progress = [&progress](std::size_t done, std::size_t total) {
            progress(done, total);
        };
        music_library::IndexChanges changes = index.update(dir, scan);
        held.failed += changes.unlisted.size();
        all.added += changes.added;
        all.changed += changes.changed;
        all.removed += changes.removed;
        all.kept += changes.kept;
        for (auto& folder : changes.unlisted) {  // a change list of its own: a file's line
            changes.files.push_back({music_library::FileChange::Kind::failed,
                                     std::move(folder.path),
                                     {},
                                     std::move(folder.message)});
        }
        std::move(changes.files.begin(), changes.files.end(), std::back_inserter(all.files));
        music_library::IndexQuery under;
        under.under = dir;
        const music_library::IndexTotals totals = index.totals(under);
        held.tracks += totals.tracks;
        held.failed += totals.failed;
        held.skipped += totals.skipped;
        held.duration_secs += totals.duration_secs;
    }
    cli::print_changes(all, held, options.format, to_terminal(), std::cout, std::cerr);
    bool measured_all = true;
    if (options.loudness) {
        media::LoudnessOptions loudness;
        loudness.limits.work = options.time_limit;
        loudness.limits.isolated = options.sandbox;
        loudness.limits.memory_limit = options.memory_limit;
        for (const auto& dir : options.paths) {
            cli::ProgressBar progress(std::cerr, isatty(STDERR_FILENO) == 1);
            const music_library::LoudnessChanges measured = index.measure_loudness(
                dir, loudness, options.jobs,
                [&progress](std::size_t done, std::size_t total) { progress(done, total); });
            measured_all = measured_all && measured.failures.empty();
            cli::print_loudness_changes(measured, std::cerr);
        }
    }
    return held.failed == 0 && measured_all ? all_read : some_failed;
}

int run_list(const Options& options)
{
    const music_library::Index index(options.db, music_library::Index::Access::read_only);
    music_library::IndexQuery query;
    query.artist = options.artist;
    query.album = options.album;
    query.tags = options.format != cli::Format::text;  // the table shows none
    if (options.min) {
        query.min_secs = static_cast<double>(options.min->count());
    }
    if (options.max) {
        query.max_secs = static_cast<double>(options.max->count());
    }
    if (options.loudness) {
        query.tags = false;
        cli::print_stored_loudness(index.loudness(query), options.format);
        return all_read;
    }
    cli::print_listing(index.listing(query), options.format, to_terminal(), std::cout, std::cerr);
    return all_read;
}

// Whatever the file does, this process lives on, unless asked otherwise.
media::Limits sandboxed(const Options& options)
{
    media::Limits limits;
    limits.work = options.time_limit;
    limits.isolated = options.sandbox;
    limits.memory_limit = options.memory_limit;
    return limits;
}

int run_info(const Options& options)
{
    music_library::ScanResult all;
    const media::Limits limits = sandboxed(options);
    for (const auto& file : options.paths) {
        try {
            all.tracks.push_back(
                music_library::scanned_track(file, media::read_info(file, limits)));
        } catch (const media::media_error& e) {
            all.failures.push_back({file, e.what()});
        }
    }
    cli::print_scan(all, options.format, cli::TrackPrinter::Style::blocks, to_terminal(), std::cout,
                    std::cerr);
    if (options.format == cli::Format::text) {
        for (const auto& track : all.tracks) {
            cli::print_cue_tracks(track.path, track.media, {options.hidden_track}, std::cout,
                                  std::cerr);
        }
    }
    return all.failures.empty() ? all_read : some_failed;
}

// The front cover, or the first picture: the file is read in a sandbox twice, for its
// pictures and then for the bytes of one, and never here.
int run_cover(const Options& options)
{
    const std::string& file = options.paths.front();
    if (options.output.empty() && isatty(STDOUT_FILENO) != 0) {
        std::cerr << "musiccore: a picture is not for a terminal: name a file with -o\n";
        return usage_error;
    }
    std::string bytes;
    try {
        const media::Limits limits = sandboxed(options);
        const media::MediaInfo info = media::read_info(file, limits);
        if (info.pictures.empty()) {
            std::cerr << "musiccore: " << file << ": no picture\n";
            return some_failed;
        }
        const auto front = std::find_if(
            info.pictures.begin(), info.pictures.end(),
            [](const media::Picture& picture) { return picture.type == media::front_cover; });
        const auto index = front == info.pictures.end() ? 0 : front - info.pictures.begin();
        bytes = media::read_picture(file, static_cast<std::size_t>(index), limits);
    } catch (const media::media_error& e) {
        std::cerr << "musiccore: " << file << ": " << e.what() << '\n';
        return some_failed;
    }
    if (options.output.empty()) {
        std::cout.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return all_read;
    }
    std::ofstream out(options.output, std::ios::binary | std::ios::trunc);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !out.flush()) {
        std::cerr << "musiccore: cannot write " << options.output << '\n';
        return some_failed;
    }
    return all_read;
}

int run(int argc, char** argv)
{
    // glibc gives freed memory back to the system after every file, which makes the
    // threads wait on each other; keeping it measured 4 % faster with one job and
    // 11 % with two. The library leaves its callers' heap alone.
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
    // The command writes through the streams alone: they need not keep in step with C's.
    std::ios::sync_with_stdio(false);

    Options options;
    std::string described = "Exact durations, tags and cover art of music files:";
    for (const media::FormatName& format : media::formats()) {
        described += (described.back() == ':' ? " " : ", ") + format.name;
    }
    CLI::App app(described + ".", "musiccore");
    app.set_version_flag("--version", MUSICCORE_VERSION_STRING);
    app.require_subcommand(1);
    app.footer("Exit status: 0 when every file was read, 1 when any failed, 2 for a usage error.");

    auto* scan = app.add_subcommand("scan", "List the music files under each DIR");
    add_format_flags(*scan, options);
    const auto [min, max] = add_length_filters(*scan, options);
    scan->add_option("--jobs", options.jobs, "Files read at once (0: one per core)");
    // What the index holds is for list to filter: scan --db shows what changed.
    auto* db_option =
        scan->add_option("--db", options.db,
                         "Keep an index in this file: read only what changed since the last scan, "
                         "and print what changed")
            ->excludes(min)
            ->excludes(max);
    add_time_limit(*scan, options);
    add_memory_limit(*scan, options);
    add_sandbox_flag(*scan, options);
    scan->add_flag("--loudness", options.loudness,
                   "With --db: also measure the loudness of the tracks new or changed since "
                   "their last measure")
        ->needs(db_option);
    scan->add_option("DIR", options.paths, "Folders to scan")
        ->required()
        ->check(CLI::ExistingDirectory);

    auto* info = app.add_subcommand("info", "Show everything read from each FILE");
    add_format_flags(*info, options);
    add_time_limit(*info, options);
    add_memory_limit(*info, options);
    add_sandbox_flag(*info, options);
    info->add_flag("--hidden-track", options.hidden_track,
                   "Of an image, also list the audio before its first track (track 0)");
    info->add_option("FILE", options.paths, "Music files")->required();

    auto* list = app.add_subcommand("list", "Show what an index holds, opening no music file");
    add_format_flags(*list, options);
    list->add_option("--db", options.db, "The index, made by scan --db")->required();
    list->add_option("--artist", options.artist,
                     "Only tracks whose artist holds this text, in any letter case");
    list->add_option("--album", options.album, "Only tracks whose album holds this text");
    list->add_flag("--loudness", options.loudness,
                   "Show each track's loudness and ReplayGain 2.0 gains, as scan --loudness "
                   "measured them");
    add_length_filters(*list, options);

    auto* cover =
        app.add_subcommand("cover", "Write the front cover (or the first picture) of FILE");
    add_time_limit(*cover, options);
    add_memory_limit(*cover, options);
    add_sandbox_flag(*cover, options);
    cover->add_option("-o,--output", options.output, "The file to write; standard output if none");
    cover->add_option("FILE", options.paths, "A music file")->required()->expected(1);

    cli::LoudnessRequest loudness_request;
    auto* loudness = app.add_subcommand(
        "loudness",
        "Measure each FILE's loudness (EBU R 128) and its ReplayGain 2.0 gain and peak");
    add_format_flags(*loudness, options);
    loudness->add_flag("--album", loudness_request.albums,
                       "Also measure albums: their tracks' blocks gated together");
    loudness
        ->add_option_function<std::string>(
            "--album-by",
            [&loudness_request](const std::string& by) {
                loudness_request.album_by_folder = by == "folder";
            },
            "How tracks make albums: 'tags' (album artist, else artist, and album; the "
            "default) or 'folder'")
        ->check(CLI::IsMember({"tags", "folder"}));
    loudness->add_flag("--per-disc", loudness_request.per_disc,
                       "With albums by tags: each disc (DISCNUMBER) an album of its own");
    loudness->add_flag_callback(
        "--no-true-peak", [&loudness_request] { loudness_request.true_peak = false; },
        "Leave out the oversampled peak, about half of the time a file takes");
    loudness->add_option("--jobs", loudness_request.jobs,
                         "Files measured at once (0: one per core)");
    add_time_limit(*loudness, options);
    add_memory_limit(*loudness, options);
    add_sandbox_flag(*loudness, options);
    loudness->add_option("PATH", loudness_request.paths, "Music files, or folders of them")
        ->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? all_read : usage_error;  // --help and --version: 0
    }
    try {
        if (loudness->parsed()) {
            loudness_request.format = options.format;
            loudness_request.time_limit = options.time_limit;
            loudness_request.sandbox = options.sandbox;
            loudness_request.memory_limit = options.memory_limit;
            const int status = cli::run_loudness(loudness_request);
            if (!std::cout.flush()) {
                std::cerr << "musiccore: cannot write the output\n";
                return some_failed;
            }
            return status;
        }
        const int status =
            scan->parsed() ? (options.db.empty() ? run_scan(options) : run_scan_into_index(options))
            : list->parsed()  ? run_list(options)
            : cover->parsed() ? run_cover(options)
                              : run_info(options);
        if (!std::cout.flush()) {  // a full disk must not look like success
            std::cerr << "musiccore: cannot write the output\n";
            return some_failed;
        }
        return status;
    } catch (const std::filesystem::filesystem_error& e) {  // a DIR gone since
        std::cerr << "musiccore: " << e.what() << '\n';
        return usage_error;
    } catch (const music_library::index_error& e) {
        std::cerr << "musiccore: " << e.what() << '\n';
        return some_failed;
    } catch (const media::media_error& e) {  // no sandboxed reader to be had
        std::cerr << "musiccore: " << e.what() << '\n';
        return some_failed;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {  // out of memory, or no threads to be had
        std::cerr << "musiccore: " << e.what() << '\n';
    } catch (...) {
    }
    return some_failed;
}
