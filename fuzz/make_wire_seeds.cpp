// Writes the wire fuzzer's seeds into the folder given: answers as a reader sends
// them, each after the size of its file and what was asked (fuzz_wire.cpp).
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include "sandbox/wire.hpp"

namespace {

using namespace media::detail;

void seed(const std::string& folder, const std::string& name, std::uint64_t size, char kind,
          ReadOutcome outcome)
{
    std::string bytes(8, '\0');
    std::memcpy(bytes.data(), &size, sizeof size);
    bytes += kind;
    bytes += encode(Answer{7, std::move(outcome)});
    std::ofstream(folder + "/" + name, std::ios::binary) << bytes;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        return 2;
    }
    const std::string folder = argv[1];
    ReadOutcome record;
    record.kind = ReadOutcome::Kind::info;
    record.info.codec = "flac";
    record.info.channels = 2;
    record.info.sample_rate = 44100;
    record.info.samples = 100000;
    record.info.exact = true;
    record.info.bitrate = 900000;
    record.info.tags = {{"ARTIST", {"Ann", "Bob"}}, {"TITLE", {"Intro"}}};
    record.info.dropped_tags = {"LYRICS"};
    record.info.pictures.push_back({3, "image/png", "Front", 8, 6, 120});
    seed(folder, "record", 200000, 0, record);
    seed(folder, "stream", std::uint64_t{1} << 63U, 0, record);
    ReadOutcome failure;
    failure.message = "FLAC: no stream information";
    seed(folder, "failure", 100, 0, failure);
    ReadOutcome unsupported;
    unsupported.kind = ReadOutcome::Kind::unsupported;
    unsupported.message = "Ogg Speex";
    unsupported.in_ogg = true;
    seed(folder, "unsupported", 100, 0, unsupported);
    ReadOutcome picture;
    picture.kind = ReadOutcome::Kind::picture;
    picture.picture = "\x89PNG\r\n\x1A\n a picture";
    seed(folder, "picture", 1000, 1, picture);
    return 0;
}
