// Per-call costs of the library, each next to the baseline it should approach, and
// a check of the targets that compare them. The duration benchmarks read the file
// named by MUSICCORE_BENCH_FILE (a one-hour Ogg Opus file) and the folder named by
// MUSICCORE_BENCH_DIR (600 tagged files); `./dev.sh bench` makes both.
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

#include <benchmark/benchmark.h>
#include <opusfile.h>

#include <musiccore/formathelper.hpp>
#include <musiccore/library.hpp>
#include <musiccore/opusutils.hpp>
#include <musiccore/utils.hpp>

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

// The files of the benchmark folder, sorted, as the scan reads them.
const std::vector<std::string>& folder_files()
{
    static const std::vector<std::string> files = [] {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(
                 from_environment("MUSICCORE_BENCH_DIR"))) {
            if (entry.path().extension() == ".opus") {
                found.push_back(entry.path().string());
            }
        }
        std::sort(found.begin(), found.end());
        return found;
    }();
    return files;
}

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

// Each folder benchmark reads every file once per iteration; times are per file.
template <typename ReadFile>
void read_folder(benchmark::State& state, ReadFile read_file)
{
    for (auto _ : state) {
        for (const auto& file : folder_files()) {
            read_file(file);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(folder_files().size()));
}

void folder_bare_opusfile(benchmark::State& state)
{
    read_folder(state, [](const std::string& file) { bare_opusfile(file, false); });
}
BENCHMARK(folder_bare_opusfile)->Unit(benchmark::kMillisecond);

void folder_bare_opusfile_with_tags(benchmark::State& state)
{
    read_folder(state, [](const std::string& file) { bare_opusfile(file, true); });
}
BENCHMARK(folder_bare_opusfile_with_tags)->Unit(benchmark::kMillisecond);

void folder_get_duration_secs(benchmark::State& state)
{
    read_folder(state, [](const std::string& file) {
        benchmark::DoNotOptimize(opus_utils::get_duration_secs(file));
    });
}
BENCHMARK(folder_get_duration_secs)->Unit(benchmark::kMillisecond);

void folder_scan(benchmark::State& state)
{
    music_library::ScanOptions options;
    options.jobs = static_cast<unsigned>(state.range(0));
    for (auto _ : state) {
        const auto result = music_library::scan(from_environment("MUSICCORE_BENCH_DIR"), options);
        if (result.tracks.size() != folder_files().size()) {
            state.SkipWithError("the scan did not read every file");
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(folder_files().size()));
}
BENCHMARK(folder_scan)
    ->ArgName("jobs")
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Keeps each benchmark's time (the median, when repeated) as well as printing it.
class Recorder : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") {
                times_[run.run_name.str()] = run.GetAdjustedRealTime();
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

private:
    std::map<std::string, double> times_;
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
        double ratio, limit;  // ratio at most limit; a negative limit: at least -limit
    } targets[] = {
        {"get_duration_secs / bare opusfile, per file",
         recorder.ratio("folder_get_duration_secs", "folder_bare_opusfile"), 0.9},
        {"scan with 1 job / bare opusfile with tags, per file",
         recorder.ratio("folder_scan/jobs:1/real_time", "folder_bare_opusfile_with_tags"), 1.1},
        {"speed-up of scan with 2 jobs over 1",
         recorder.ratio("folder_scan/jobs:1/real_time", "folder_scan/jobs:2/real_time"), -1.6},
    };
    int status = 0;
    for (const auto& t : targets) {
        const bool met = t.limit > 0 ? t.ratio <= t.limit : t.ratio >= -t.limit;
        if (t.ratio > 0) {
            std::printf("%-55s %5.2f  (target %s %.2f) %s\n", t.what, t.ratio,
                        t.limit > 0 ? "at most" : "at least", std::abs(t.limit),
                        met ? "met" : "MISSED");
            status |= met ? 0 : 1;
        }
    }
    benchmark::Shutdown();
    return status;
}
