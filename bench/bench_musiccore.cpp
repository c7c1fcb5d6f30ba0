// Per-call costs of the library, each next to the baseline it should approach.
// The duration benchmarks read the file named by MUSICCORE_BENCH_FILE (a one-hour
// Ogg Opus file; `./dev.sh bench` makes one).
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <opusfile.h>

#include <musiccore/formathelper.hpp>
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

const std::string& bench_file()
{
    static const std::string path = [] {
        const char* env = std::getenv("MUSICCORE_BENCH_FILE");
        if (env == nullptr) {
            throw std::runtime_error("set MUSICCORE_BENCH_FILE to a one-hour .opus file");
        }
        return std::string(env);
    }();
    return path;
}

void get_duration_secs(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(opus_utils::get_duration_secs(bench_file()));
    }
}
BENCHMARK(get_duration_secs)->Unit(benchmark::kMicrosecond);

void bare_opusfile(benchmark::State& state)
{
    for (auto _ : state) {
        int error = 0;
        OggOpusFile* file = op_open_file(bench_file().c_str(), &error);
        benchmark::DoNotOptimize(op_pcm_total(file, -1));
        op_free(file);
    }
}
BENCHMARK(bare_opusfile)->Unit(benchmark::kMicrosecond);

// The least any length query can do: open the file, read its first and last 64 KiB.
void raw_io_floor(benchmark::State& state)
{
    constexpr std::streamsize chunk = 64 * 1024;
    std::vector<char> buffer(chunk);
    for (auto _ : state) {
        std::ifstream in(bench_file(), std::ios::binary);
        in.read(buffer.data(), chunk);
        in.seekg(-chunk, std::ios::end);
        in.read(buffer.data(), chunk);
        benchmark::DoNotOptimize(buffer.data());
    }
}
BENCHMARK(raw_io_floor)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
