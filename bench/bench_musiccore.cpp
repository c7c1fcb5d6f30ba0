// Per-call costs of the library, each next to the baseline it should approach, and
// a check of the targets that compare them. The duration benchmarks read the file
// named by MUSICCORE_BENCH_FILE (a one-hour Ogg Opus file) and the files under
// MUSICCORE_BENCH_DIR (bench/make_bench_folder.sh); `./dev.sh bench` makes both.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include <FLAC/stream_decoder.h>
#include <benchmark/benchmark.h>
#include <mpg123.h>
#include <opusfile.h>
#include <sqlite3.h>
#include <vorbis/vorbisfile.h>
#include <wavpack/wavpack.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <taglib/fileref.h>
#include <taglib/tag.h>

#include <musiccore/formathelper.hpp>
#include <musiccore/index.hpp>
#include <musiccore/library.hpp>
#include <musiccore/loudness.hpp>
#include <musiccore/media.hpp>
#include <musiccore/opusutils.hpp>
#include <musiccore/utils.hpp>

#include "support/bytes_read.hpp"

namespace {

void parse_timestamp(benchmark::State& state, const char* text)
{
    const std::string input = text;
    for (auto _ : state) {
        benchmark::DoNotOptimize(utils::parse_timestamp(input));
    }
}
BENCHMARK_CAPTURE(parse_timestamp, accepted_hms, "1:03:30");
BENCHMARK_CAPTURE(parse_timestamp, accepted_s, "50");
BENCHMARK_CAPTURE(parse_timestamp, rejected_by_shape, "1:03x");
BENCHMARK_CAPTURE(parse_timestamp, rejected_too_long, "100:00:00");

void format_timestamp(benchmark::State& state)
{
    const std::chrono::seconds duration(12345);
    for (auto _ : state) {
        benchmark::DoNotOptimize(utils::format_timestamp(duration));
    }
}
BENCHMARK(format_timestamp);

// A stream that discards what it is given, so that only formatting is measured.
class NullBuffer : public std::streambuf {
protected:
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

const char format_text[] = "wees toch {}, eet {} {}!";

void format_helper_three_args(benchmark::State& state)
{
    NullBuffer discard;
    std::ostream out(&discard);
    char format[sizeof format_text];
    for (auto _ : state) {
        std::memcpy(format, format_text, sizeof format);  // the helper cuts its buffer
        fmt::format_helper(out, format, "blij", 1, "kakrokei");
    }
}
BENCHMARK(format_helper_three_args);

void plain_operator_three_args(benchmark::State& state)
{
    NullBuffer discard;
    std::ostream out(&discard);
    for (auto _ : state) {
        out << "wees toch "
            << "blij"
            << ", eet " << 1 << " "
            << "kakrokei"
            << "!";
    }
}
BENCHMARK(plain_operator_three_args);

const char* from_environment(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr) {
        throw std::runtime_error(std::string("set ") + name + " (./dev.sh bench does)");
    }
    return value;
}

const std::string& hour_file()
{
    static const std::string path = from_environment("MUSICCORE_BENCH_FILE");
    return path;
}

std::string bench_dir(const std::string& below)
{
    return std::string(from_environment("MUSICCORE_BENCH_DIR")) + "/" + below;
}

// The files under a folder of the benchmark files, sorted, as the scan reads them.
std::vector<std::string> files_under(const std::string& folder)
{
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(bench_dir(folder))) {
        if (entry.is_regular_file()) {
            found.push_back(entry.path().string());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

// Listed once for all the benchmarks that read them.
const std::vector<std::string>& listed_files(const std::string& folder)
{
    static std::map<std::string, std::vector<std::string>> files;
    auto& list = files[folder];
    if (list.empty()) {
        list = files_under(folder);
    }
    return list;
}

const std::vector<std::string>& folder_files(const std::string& format)
{
    return listed_files("folder/" + format);
}

const char* const formats[] = {"opus", "vorbis", "flac", "mp3", "mp3-noinfo"};

// The least opusfile can do for a file's length, and for its tags as well.
ogg_int64_t bare_opusfile(const std::string& path, bool with_tags)
{
    int error = 0;
    OggOpusFile* file = op_open_file(path.c_str(), &error);
    const ogg_int64_t samples = op_pcm_total(file, -1);
    if (with_tags) {
        benchmark::DoNotOptimize(op_tags(file, 0));
    }
    op_free(file);
    return samples;
}

ogg_int64_t bare_vorbisfile(const std::string& path)
{
    OggVorbis_File file;
    ov_fopen(path.c_str(), &file);
    const ogg_int64_t samples = ov_pcm_total(&file, -1);
    ov_clear(&file);
    return samples;
}

FLAC__StreamDecoderWriteStatus ignore_frame(const FLAC__StreamDecoder*, const FLAC__Frame*,
                                            const FLAC__int32* const[], void*)
{
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}
void ignore_error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void*) {}

FLAC__uint64 bare_libflac(const std::string& path)
{
    FLAC__StreamDecoder* decoder = FLAC__stream_decoder_new();
    FLAC__stream_decoder_init_file(decoder, path.c_str(), ignore_frame, nullptr, ignore_error,
                                   nullptr);
    FLAC__stream_decoder_process_until_end_of_metadata(decoder);
    const FLAC__uint64 samples = FLAC__stream_decoder_get_total_samples(decoder);
    FLAC__stream_decoder_delete(decoder);
    return samples;
}

off_t bare_mpg123(const std::string& path, bool scan)
{
    mpg123_handle* handle = mpg123_new(nullptr, nullptr);
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0);
    mpg123_open(handle, path.c_str());
    if (scan) {
        mpg123_scan(handle);
    }
    const off_t samples = mpg123_length(handle);
    mpg123_close(handle);
    mpg123_delete(handle);
    return samples;
}

// Each format's library, bare: open, length, close.
void bare_library(const std::string& format, const std::string& path)
{
    if (format == "opus") {
        benchmark::DoNotOptimize(bare_opusfile(path, false));
    } else if (format == "vorbis") {
        benchmark::DoNotOptimize(bare_vorbisfile(path));
    } else if (format == "flac") {
        benchmark::DoNotOptimize(bare_libflac(path));
    } else {
        benchmark::DoNotOptimize(bare_mpg123(path, format == "mp3-noinfo"));
    }
}

void hour_file_get_duration_secs(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(opus_utils::get_duration_secs(hour_file()));
    }
}
BENCHMARK(hour_file_get_duration_secs)->Unit(benchmark::kMicrosecond);

void hour_file_bare_opusfile(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(bare_opusfile(hour_file(), false));
    }
}
BENCHMARK(hour_file_bare_opusfile)->Unit(benchmark::kMicrosecond);

// The least any length query can do: open the file, read its first and last 64 KiB.
void hour_file_raw_io_floor(benchmark::State& state)
{
    constexpr std::streamsize chunk = 64 * 1024;
    std::vector<char> buffer(chunk);
    for (auto _ : state) {
        std::ifstream in(hour_file(), std::ios::binary);
        in.read(buffer.data(), chunk);
        in.seekg(-chunk, std::ios::end);
        in.read(buffer.data(), chunk);
        benchmark::DoNotOptimize(buffer.data());
    }
}
BENCHMARK(hour_file_raw_io_floor)->Unit(benchmark::kMicrosecond);

// What this process has read so far, on a cold cache the cost of its reads.
double bytes_read_so_far()
{
    return test_files::bytes_read_by();
}

// What the reader processes of this one have read so far, by process id.
std::map<std::string, double> readers_bytes()
{
    std::map<std::string, double> bytes;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream children(task.path() / "children");
        for (std::string pid; children >> pid;) {
            bytes[pid] = test_files::bytes_read_by("/proc/" + pid);
        }
    }
    return bytes;
}

// What the readers of `before` have read since; one started since is left out, for
// its start reads its libraries.
double readers_bytes_since(const std::map<std::string, double>& before)
{
    double bytes = 0;
    for (const auto& [pid, now] : readers_bytes()) {
        if (const auto was = before.find(pid); was != before.end()) {
            bytes += now - was->second;
        }
    }
    return bytes;
}

// Each folder benchmark reads every file once per iteration; times are per file, and
// the counter bytes_a_file is what one read asked the kernel for.
template <typename ReadFile>
void read_files(benchmark::State& state, const std::vector<std::string>& files, ReadFile read_file)
{
    double bytes = 0;
    for (auto _ : state) {
        const double before = bytes_read_so_far();
        for (const auto& file : files) {
            read_file(file);
        }
        bytes += bytes_read_so_far() - before;
    }
    const auto reads = state.iterations() * static_cast<std::int64_t>(files.size());
    state.SetItemsProcessed(reads);
    state.counters["bytes_a_file"] = reads > 0 ? bytes / static_cast<double>(reads) : 0;
}

void folder_bare_opusfile(benchmark::State& state)
{
    read_files(state, folder_files("opus"),
               [](const std::string& file) { bare_opusfile(file, false); });
}
BENCHMARK(folder_bare_opusfile)->Unit(benchmark::kMillisecond);

void folder_get_duration_secs(benchmark::State& state)
{
    read_files(state, folder_files("opus"), [](const std::string& file) {
        benchmark::DoNotOptimize(opus_utils::get_duration_secs(file));
    });
}
BENCHMARK(folder_get_duration_secs)->Unit(benchmark::kMillisecond);

// Every format: the library's read next to the format library's bare loop.
void format_bare(benchmark::State& state, const char* format)
{
    read_files(state, folder_files(format),
               [format](const std::string& file) { bare_library(format, file); });
}
void format_read_info(benchmark::State& state, const char* format)
{
    read_files(state, folder_files(format),
               [](const std::string& file) { benchmark::DoNotOptimize(media::read_info(file)); });
}
BENCHMARK_CAPTURE(format_bare, opus, "opus")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(format_read_info, opus, "opus")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(format_bare, vorbis, "vorbis")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(format_read_info, vorbis, "vorbis")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(format_bare, flac, "flac")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(format_read_info, flac, "flac")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(format_bare, mp3, "mp3")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(format_read_info, mp3, "mp3")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(format_bare, mp3_noinfo, "mp3-noinfo")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(format_read_info, mp3_noinfo, "mp3-noinfo")->Unit(benchmark::kMillisecond);

// The formats whose peers are not a decoding library: MP4 against TagLib, WAV and
// AIFF against the I/O floor, WavPack against bare libwavpack.
const std::vector<std::string>& more_files(const std::string& format)
{
    return listed_files("more/" + format);
}

// TagLib 1.13's length and tags of a file: the peer to be at least as fast as.
void taglib_read(const std::string& file)
{
    const TagLib::FileRef ref(file.c_str());
    benchmark::DoNotOptimize(ref.audioProperties()->lengthInMilliseconds());
    benchmark::DoNotOptimize(ref.tag()->artist());
    benchmark::DoNotOptimize(ref.tag()->album());
    benchmark::DoNotOptimize(ref.tag()->title());
}

// Four-minute tracks of every kind, as a library holds them: scanned in a reader
// process (1 job), against TagLib in this process; each walks the folder, as any scan
// of a folder must. Times are for the folder; bytes_a_file counts this process's reads
// and its readers'.
void taglib_tracks(benchmark::State& state, const char* format)
{
    const std::string folder = std::string("tracks/") + format;
    double bytes = 0;
    std::size_t reads = 0;
    for (auto _ : state) {
        const double before = bytes_read_so_far();
        const auto files = files_under(folder);
        for (const auto& file : files) {
            taglib_read(file);
        }
        bytes += bytes_read_so_far() - before;
        reads += files.size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(reads));
    state.counters["bytes_a_file"] = reads > 0 ? bytes / static_cast<double>(reads) : 0;
}

void tracks_scan(benchmark::State& state, const char* format)
{
    const std::string folder = std::string("tracks/") + format;
    const std::size_t files = listed_files(folder).size();
    music_library::ScanOptions options;
    options.jobs = 1;
    options.isolated = true;
    music_library::scan(bench_dir(folder), options);  // its reader started, uncounted
    double bytes = 0;
    for (auto _ : state) {
        const auto readers_before = readers_bytes();
        const double before = bytes_read_so_far();
        const auto result = music_library::scan(bench_dir(folder), options);
        bytes += bytes_read_so_far() - before + readers_bytes_since(readers_before);
        if (result.tracks.size() != files || !result.isolated) {
            state.SkipWithError("the scan did not read every file in a reader");
        }
    }
    const auto reads = state.iterations() * static_cast<std::int64_t>(files);
    state.SetItemsProcessed(reads);
    state.counters["bytes_a_file"] = reads > 0 ? bytes / static_cast<double>(reads) : 0;
}

#define TRACKS(name, format)                                                                       \
    BENCHMARK_CAPTURE(taglib_tracks, name, format)->Unit(benchmark::kMillisecond);                 \
    BENCHMARK_CAPTURE(tracks_scan, name, format)->Unit(benchmark::kMillisecond)->UseRealTime()
TRACKS(opus, "opus");
TRACKS(vorbis, "vorbis");
TRACKS(flac, "flac");
TRACKS(mp3, "mp3");
TRACKS(mp3_noinfo, "mp3-noinfo");
TRACKS(m4a, "m4a");
TRACKS(wav, "wav");
TRACKS(aiff, "aiff");
TRACKS(wv, "wv");
#undef TRACKS

// Open, read the first and the last 4 KiB, close: where a length and tags are.
void two_preads(benchmark::State& state, const char* format)
{
    std::vector<char> buffer(4096);
    read_files(state, more_files(format), [&buffer](const std::string& file) {
        const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);  // NOLINT: a bench
        const off_t size = lseek(fd, 0, SEEK_END);
        benchmark::DoNotOptimize(pread(fd, buffer.data(), buffer.size(), 0));
        benchmark::DoNotOptimize(pread(fd, buffer.data(), buffer.size(), size - 4096));
        close(fd);
    });
}

void bare_wavpack(benchmark::State& state)
{
    read_files(state, more_files("wv"), [](const std::string& file) {
        char error[81];
        WavpackContext* context = WavpackOpenFileInput(file.c_str(), error, 0, 0);
        benchmark::DoNotOptimize(WavpackGetNumSamples64(context));
        WavpackCloseFile(context);
    });
}

void more_read_info(benchmark::State& state, const char* format)
{
    read_files(state, more_files(format),
               [](const std::string& file) { benchmark::DoNotOptimize(media::read_info(file)); });
}
BENCHMARK_CAPTURE(two_preads, wav, "wav")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(more_read_info, wav, "wav")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(two_preads, aiff, "aiff")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(more_read_info, aiff, "aiff")->Unit(benchmark::kMillisecond);
BENCHMARK(bare_wavpack)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(more_read_info, wv, "wv")->Unit(benchmark::kMillisecond);

// The bare loops over the whole mixed folder, as the scan reads it.
void folder_bare_libraries(benchmark::State& state)
{
    for (auto _ : state) {
        for (const char* format : formats) {
            for (const auto& file : folder_files(format)) {
                bare_library(format, file);
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * 600);
}
BENCHMARK(folder_bare_libraries)->Unit(benchmark::kMillisecond);

// The scan in this process, and in reader processes: what the sandbox costs.
void folder_scan(benchmark::State& state)
{
    music_library::ScanOptions options;
    options.jobs = static_cast<unsigned>(state.range(0));
    options.isolated = state.range(1) != 0;
    for (auto _ : state) {
        const auto result = music_library::scan(bench_dir("folder"), options);
        if (result.tracks.size() != 600) {
            state.SkipWithError("the scan did not read every file");
        }
        if (result.isolated != options.isolated) {
            state.SkipWithError("the scan did not read where it was asked to");
        }
    }
    state.SetItemsProcessed(state.iterations() * 600);
}
BENCHMARK(folder_scan)
    ->ArgNames({"jobs", "isolated"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({2, 0})
    ->Args({2, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// How a read's time grows with the file: 60 s against 600 s of each kind.
void growth(benchmark::State& state, const char* file)
{
    const std::string path = bench_dir(std::string("growth/") + file);
    for (auto _ : state) {
        benchmark::DoNotOptimize(media::read_info(path));
    }
}
BENCHMARK_CAPTURE(growth, opus_60s, "opus-60.opus")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(growth, opus_600s, "opus-600.opus")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(growth, vorbis_60s, "vorbis-60.ogg")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(growth, vorbis_600s, "vorbis-600.ogg")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(growth, flac_60s, "flac-60.flac")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(growth, flac_600s, "flac-600.flac")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(growth, flac_streamed_60s, "flac-streamed-60.flac")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(growth, flac_streamed_600s, "flac-streamed-600.flac")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(growth, mp3_60s, "mp3-60.mp3")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(growth, mp3_600s, "mp3-600.mp3")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(growth, mp3_noinfo_60s, "mp3-noinfo-60.mp3")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(growth, mp3_noinfo_600s, "mp3-noinfo-600.mp3")->Unit(benchmark::kMicrosecond);

// Files that each keep opusfile busy: scanned two at a time on two cores, each must
// cost about half of what it costs alone, and none may fail the other.
void hostile_alone(benchmark::State& state)
{
    read_files(state, files_under("hostile"),
               [](const std::string& file) { benchmark::DoNotOptimize(media::read_info(file)); });
}
BENCHMARK(hostile_alone)->Unit(benchmark::kMillisecond)->UseRealTime();

void hostile_scan(benchmark::State& state)
{
    music_library::ScanOptions options;
    options.jobs = 2;
    const std::size_t count = files_under("hostile").size();
    for (auto _ : state) {
        const auto result = music_library::scan(bench_dir("hostile"), options);
        if (result.tracks.size() != count) {
            state.SkipWithError("a hostile file failed the others");
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
}
BENCHMARK(hostile_scan)->Unit(benchmark::kMillisecond)->UseRealTime();

// The index over 5000 files, warm: its first update next to a plain scan, and an
// update with nothing changed, which reads no audio file.
const std::size_t index_files = 5000;

std::string index_file()
{
    return bench_dir("index.db");
}

void index_plain_scan(benchmark::State& state)
{
    for (auto _ : state) {
        if (music_library::scan(bench_dir("index")).tracks.size() != index_files) {
            state.SkipWithError("the scan did not read every file");
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(index_files));
}
BENCHMARK(index_plain_scan)->Unit(benchmark::kMillisecond)->UseRealTime();

void index_first_update(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        for (const char* end : {"", "-wal", "-shm"}) {
            std::filesystem::remove(index_file() + end);
        }
        state.ResumeTiming();
        music_library::Index index(index_file());
        if (index.update(bench_dir("index")).added != index_files) {
            state.SkipWithError("the update did not add every file");
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(index_files));
}
BENCHMARK(index_first_update)->Unit(benchmark::kMillisecond)->UseRealTime();

void index_unchanged_update(benchmark::State& state)
{
    music_library::Index index(index_file());
    index.update(bench_dir("index"));
    for (auto _ : state) {
        if (index.update(bench_dir("index")).kept != index_files) {
            state.SkipWithError("the update read a file again");
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(index_files));
}
BENCHMARK(index_unchanged_update)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef MUSICCORE_CLI
// `musiccore list` over an index of 100,000 rows, the 5000 files' rows copied under
// other folders: the command as a user runs it, its output thrown away.
constexpr std::int64_t list_rows = 100000;

std::string list_index()
{
    const std::string file = bench_dir("list.db");
    if (std::filesystem::exists(file)) {
        return file;
    }
    {
        music_library::Index index(file);
        index.update(bench_dir("index"));
    }
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    std::string sql = "BEGIN;";
    for (int copy = 1; copy < list_rows / static_cast<std::int64_t>(index_files); ++copy) {
        const std::string shift = std::to_string(copy * 1000000);
        const std::string folder = "'/copy-" + std::to_string(copy) + "'";
        const std::string columns =
            "device, inode, size, mtime_ns, ctime_ns, outcome, message, codec, channels, "
            "sample_rate, samples, exact, duration_secs, bitrate, artist, album, title, pictures";
        sql += "INSERT INTO files (id, path, " + columns + ") SELECT id + " + shift + ", " +
               folder + " || path, " + columns +
               " FROM files WHERE id < 1000000;"
               "INSERT INTO tags SELECT file_id + " +
               shift + ", name, position, value FROM tags WHERE file_id < 1000000;";
    }
    sql += "COMMIT;";
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error;
        sqlite3_free(error);
        sqlite3_close(db);
        throw std::runtime_error("cannot make the listing's index: " + message);
    }
    sqlite3_close(db);
    return file;
}

void list_command(benchmark::State& state, const char* format)
{
    const std::string command = std::string("'" MUSICCORE_CLI "' list --db '") + list_index() +
                                "' " + format + " >/dev/null 2>&1";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("musiccore list failed");
        }
    }
    state.SetItemsProcessed(state.iterations() * list_rows);
}
BENCHMARK_CAPTURE(list_command, table, "")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(list_command, json, "--json")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(list_command, csv, "--csv")->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

// Loudness, true peak on, beside loudgain 0.6.8 (Debian's) on the same files: one
// file in this process, and an album of 16 (eight of each) with two jobs in reader
// processes against loudgain's one process for them all.
std::string loudness_file(const std::string& name)
{
    return std::string(from_environment("MUSICCORE_BENCH_LOUDNESS")) + "/" + name;
}

// Runs loudgain on `files`, its output dropped; false where it did not end well.
bool run_loudgain(const std::vector<std::string>& files)
{
    std::vector<char*> arguments;
    std::string program = "loudgain";
    arguments.push_back(program.data());
    std::vector<std::string> kept = files;
    for (std::string& file : kept) {
        arguments.push_back(file.data());
    }
    arguments.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int failed =
        posix_spawnp(&child, "loudgain", &actions, nullptr, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return failed == 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

std::vector<std::string> loudness_album()
{
    std::vector<std::string> files;
    for (int i = 1; i <= 8; ++i) {
        files.push_back(loudness_file("album/" + std::to_string(i) + ".flac"));
        files.push_back(loudness_file("album/" + std::to_string(i) + ".mp3"));
    }
    return files;
}

void loudness_ours(benchmark::State& state, const char* name)
{
    const std::string file = loudness_file(name);
    for (auto _ : state) {
        benchmark::DoNotOptimize(media::measure_loudness(file));
    }
}

void loudness_loudgain(benchmark::State& state, const char* name)
{
    const std::vector<std::string> file{loudness_file(name)};
    for (auto _ : state) {
        if (!run_loudgain(file)) {
            state.SkipWithError("loudgain did not run");
            return;
        }
    }
}

void loudness_album_ours(benchmark::State& state)
{
    media::LoudnessOptions options;
    options.limits.isolated = true;
    const std::vector<std::string> files = loudness_album();
    for (auto _ : state) {
        benchmark::DoNotOptimize(media::measure_loudness(files, options, 2));
    }
}

void loudness_album_loudgain(benchmark::State& state)
{
    const std::vector<std::string> files = loudness_album();
    for (auto _ : state) {
        if (!run_loudgain(files)) {
            state.SkipWithError("loudgain did not run");
            return;
        }
    }
}

BENCHMARK_CAPTURE(loudness_ours, flac, "track.flac")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(loudness_loudgain, flac, "track.flac")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(loudness_ours, mp3, "track.mp3")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(loudness_loudgain, mp3, "track.mp3")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(loudness_album_ours)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(loudness_album_loudgain)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

// Keeps each benchmark's time (the median, when repeated) as well as printing it.
class Recorder : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") {
                times_[run.run_name.str()] = run.GetAdjustedRealTime();
                if (const auto bytes = run.counters.find("bytes_a_file");
                    bytes != run.counters.end()) {
                    bytes_[run.run_name.str()] = bytes->second.value;
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // The first over the second, or 0 when either did not run.
    double ratio(const std::string& a, const std::string& b) const
    {
        const auto x = times_.find(a);
        const auto y = times_.find(b);
        return x == times_.end() || y == times_.end() ? 0 : x->second / y->second;
    }
    // The bytes a file that the first read over those the second read, or 0.
    double bytes_ratio(const std::string& a, const std::string& b) const
    {
        const auto x = bytes_.find(a);
        const auto y = bytes_.find(b);
        return x == bytes_.end() || y == bytes_.end() || y->second <= 0 ? 0 : x->second / y->second;
    }
    // What the first took a file more than the second, in the benchmarks' unit over
    // `files`; 0 when either did not run, and a little over 0 when none.
    double extra(const std::string& a, const std::string& b, double files) const
    {
        const auto x = times_.find(a);
        const auto y = times_.find(b);
        return x == times_.end() || y == times_.end()
                   ? 0
                   : std::max(1e-3, (x->second - y->second) / files);
    }
    // The time of one of `items` (in the benchmark's unit over `items`), or 0 when it did
    // not run.
    double each(const std::string& name, double items) const
    {
        const auto x = times_.find(name);
        return x == times_.end() ? 0 : x->second / items;
    }

private:
    std::map<std::string, double> times_;
    std::map<std::string, double> bytes_;
};

}  // namespace

// Runs the benchmarks, then checks the targets that compare two of them; fails
// when one is missed.
int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    const struct {
        const char* what;
        double ratio, limit;  // ratio at most limit; a negative limit: at least -limit; 0: none
    } targets[] = {
        {"get_duration_secs / bare opusfile, per file",
         recorder.ratio("folder_get_duration_secs", "folder_bare_opusfile"), 0.9},
        {"read_info / bare opusfile, per Opus file",
         recorder.ratio("format_read_info/opus", "format_bare/opus"), 1.1},
        {"read_info / bare vorbisfile, per Vorbis file",
         recorder.ratio("format_read_info/vorbis", "format_bare/vorbis"), 1.1},
        {"read_info / bare libFLAC, per FLAC file",
         recorder.ratio("format_read_info/flac", "format_bare/flac"), 1.1},
        {"read_info / bare mpg123, per MP3 file",
         recorder.ratio("format_read_info/mp3", "format_bare/mp3"), 1.1},
        {"read_info / bare mpg123 with its scan, per MP3 without header",
         recorder.ratio("format_read_info/mp3_noinfo", "format_bare/mp3_noinfo"), 1.1},
        // Four-minute tracks, scanned in a reader process with 1 job, against TagLib.
        {"scan in a reader / TagLib, per Opus track",
         recorder.ratio("tracks_scan/opus/real_time", "taglib_tracks/opus"), 1.0},
        {"scan in a reader / TagLib, per Vorbis track",
         recorder.ratio("tracks_scan/vorbis/real_time", "taglib_tracks/vorbis"), 1.0},
        {"scan in a reader / TagLib, per FLAC track",
         recorder.ratio("tracks_scan/flac/real_time", "taglib_tracks/flac"), 1.0},
        {"scan in a reader / TagLib, per MP3 track",
         recorder.ratio("tracks_scan/mp3/real_time", "taglib_tracks/mp3"), 1.0},
        {"scan in a reader / TagLib, per M4A track",
         recorder.ratio("tracks_scan/m4a/real_time", "taglib_tracks/m4a"), 1.0},
        {"scan in a reader / TagLib, per WAV track",
         recorder.ratio("tracks_scan/wav/real_time", "taglib_tracks/wav"), 1.0},
        {"scan in a reader / TagLib, per AIFF track",
         recorder.ratio("tracks_scan/aiff/real_time", "taglib_tracks/aiff"), 1.0},
        {"scan in a reader / TagLib, per WavPack track",
         recorder.ratio("tracks_scan/wv/real_time", "taglib_tracks/wv"), 1.0},
        // Where no header states a count, the frames are walked, the whole file: an
        // estimate either way, but the walk's is the closer one.
        {"scan in a reader / TagLib, per MP3 track without header",
         recorder.ratio("tracks_scan/mp3_noinfo/real_time", "taglib_tracks/mp3_noinfo"), 0},
        // On a cold cache, as a first scan of a library runs, the reads are the cost.
        {"bytes a scan reads / TagLib's, per Opus track",
         recorder.bytes_ratio("tracks_scan/opus/real_time", "taglib_tracks/opus"), 1.0},
        {"bytes a scan reads / TagLib's, per Vorbis track",
         recorder.bytes_ratio("tracks_scan/vorbis/real_time", "taglib_tracks/vorbis"), 1.0},
        {"bytes a scan reads / TagLib's, per FLAC track",
         recorder.bytes_ratio("tracks_scan/flac/real_time", "taglib_tracks/flac"), 1.0},
        {"bytes a scan reads / TagLib's, per MP3 track",
         recorder.bytes_ratio("tracks_scan/mp3/real_time", "taglib_tracks/mp3"), 1.0},
        {"bytes a scan reads / TagLib's, per M4A track",
         recorder.bytes_ratio("tracks_scan/m4a/real_time", "taglib_tracks/m4a"), 1.0},
        {"bytes a scan reads / TagLib's, per WAV track",
         recorder.bytes_ratio("tracks_scan/wav/real_time", "taglib_tracks/wav"), 1.0},
        {"bytes a scan reads / TagLib's, per AIFF track",
         recorder.bytes_ratio("tracks_scan/aiff/real_time", "taglib_tracks/aiff"), 1.0},
        // The last block is read whole to check the length the first states, which
        // TagLib takes at its word: a block's bytes more, and a file cut short is told.
        {"bytes a scan reads / TagLib's, per WavPack track",
         recorder.bytes_ratio("tracks_scan/wv/real_time", "taglib_tracks/wv"), 2.0},
        // The aims are 1.2 and 1.1; these gates hold what is met: the reads of the
        // file's end for its tags, and for WavPack the last block's check, which bare
        // libwavpack does not do.
        {"read_info / two preads, per WAV file",
         recorder.ratio("more_read_info/wav", "two_preads/wav"), 2.0},
        {"read_info / two preads, per AIFF file",
         recorder.ratio("more_read_info/aiff", "two_preads/aiff"), 2.0},
        {"read_info / bare libwavpack, per WavPack file",
         recorder.ratio("more_read_info/wv", "bare_wavpack"), 3.0},
        {"scan with 1 job / bare libraries, per file of the mixed folder",
         recorder.ratio("folder_scan/jobs:1/isolated:0/real_time", "folder_bare_libraries"), 1.1},
        {"speed-up of scan with 2 jobs over 1",
         recorder.ratio("folder_scan/jobs:1/isolated:0/real_time",
                        "folder_scan/jobs:2/isolated:0/real_time"),
         -1.6},
        // Milliseconds over files, times 1000: microseconds a file.
        {"scan in reader processes, us a file over in this process, 1 job",
         recorder.extra("folder_scan/jobs:1/isolated:1/real_time",
                        "folder_scan/jobs:1/isolated:0/real_time", 600 / 1000.0),
         10.0},
        {"scan in reader processes / in this process, 2 jobs",
         recorder.ratio("folder_scan/jobs:2/isolated:1/real_time",
                        "folder_scan/jobs:2/isolated:0/real_time"),
         1.25},
        {"hostile files: scan with 2 jobs / one alone, per file",
         recorder.ratio("hostile_scan/real_time", "hostile_alone/real_time"), 0.6},
        {"index: first update / plain scan, 5000 files",
         recorder.ratio("index_first_update/real_time", "index_plain_scan/real_time"), 1.2},
        {"index: first update / update with nothing changed",
         recorder.ratio("index_first_update/real_time", "index_unchanged_update/real_time"), -20},
        {"loudness / loudgain, a 4-minute FLAC file",
         recorder.ratio("loudness_ours/flac", "loudness_loudgain/flac/real_time"), 0.4},
        {"loudness / loudgain, a 4-minute MP3 file",
         recorder.ratio("loudness_ours/mp3", "loudness_loudgain/mp3/real_time"), 0.4},
        {"loudness of 16 files, 2 jobs isolated / loudgain",
         recorder.ratio("loudness_album_ours/iterations:2/real_time",
                        "loudness_album_loudgain/iterations:2/real_time"),
         0.25},
#ifdef MUSICCORE_CLI
        // Milliseconds over rows, times 1000: microseconds a row.
        {"musiccore list, the table: us a row of 100,000",
         recorder.each("list_command/table/real_time", list_rows / 1000.0), 3.0},
        {"musiccore list --json: us a row of 100,000",
         recorder.each("list_command/json/real_time", list_rows / 1000.0), 4.0},
#endif
    };
    int status = 0;
    for (const auto& t : targets) {
        const bool met = t.limit > 0 ? t.ratio <= t.limit : t.ratio >= -t.limit;
        if (t.ratio > 0 && t.limit == 0) {
            std::printf("%-55s %5.2f  (no target)\n", t.what, t.ratio);
        } else if (t.ratio > 0) {
            std::printf("%-55s %5.2f  (target %s %.2f) %s\n", t.what, t.ratio,
                        t.limit > 0 ? "at most" : "at least", std::abs(t.limit),
                        met ? "met" : "MISSED");
            status |= met ? 0 : 1;
        }
    }
    benchmark::Shutdown();
    return status;
}
