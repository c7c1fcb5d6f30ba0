#pragma once
// What the tests share: the files made for them at build time, and folders of
// their own.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <cstdlib>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

namespace test_files {

namespace fs = std::filesystem;

#ifdef MUSICCORE_SAMPLE_DIR
// Every format and kind, made by test/make_sample_files.sh.
inline const std::string samples = MUSICCORE_SAMPLE_DIR "/";
// The crafted files, made by test/make_hostile_files.sh.
inline const std::string hostile = MUSICCORE_HOSTILE_DIR "/";
// A folder to scan, with the samples in a folder per format.
inline const fs::path music = MUSICCORE_MUSIC_DIR;
#endif
#ifdef MUSICCORE_LOUDNESS_DIR
// The broadcast loudness tests' signals, made by test/files/make_loudness_files.sh.
inline const std::string loudness = MUSICCORE_LOUDNESS_DIR "/";
#endif

inline std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A copy of `from` with 64 bytes in its middle changed: a FLAC file that reads, and
// fails to decode there.
inline void write_damaged_copy(const fs::path& from, const fs::path& to)
{
    std::string bytes = read_file(from);
    for (std::size_t i = bytes.size() / 2; i < bytes.size() / 2 + 64 && i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
    }
    std::ofstream(to, std::ios::binary | std::ios::trunc) << bytes;
}

// How many descriptors this process has open.
inline long open_descriptors()
{
    const fs::directory_iterator fds("/proc/self/fd");
    return std::distance(begin(fds), end(fds));
}

// A folder of the test's own under the temporary folder, gone with it.
class TempFolder {
public:
    explicit TempFolder(const std::string& name)
        : path_(fs::temp_directory_path() / ("musiccore-" + name + "-" + std::to_string(getpid())))
    {
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    TempFolder(TempFolder&&) = delete;
    TempFolder& operator=(TempFolder&&) = delete;
    ~TempFolder()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }

    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& below) const { return path_ / below; }

private:
    fs::path path_;
};

// A FIFO beside `file` that gives its bytes to whoever opens it, for 10 s at most.
inline std::string fifo_feeding(const fs::path& file)
{
    const std::string fifo = file.string() + ".fifo";
    const std::string feed =
        "timeout 10 sh -c 'cat \"" + file.string() + "\" > \"" + fifo + "\"' &";
    if (mkfifo(fifo.c_str(), 0600) != 0 || std::system(feed.c_str()) != 0) {
        throw std::runtime_error("cannot feed a FIFO from " + file.string());
    }
    return fifo;
}

}  // namespace test_files
