// A reader program that speaks the library's protocol and then does what the name of
// the file asks: the misbehaviours a real reader may show when a format library
// fails, on demand. MUSICCORE_FAKE_REFUSE makes it say it is not sandboxed. Its
// answers name it by its process id.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "sandbox/sanitized_reader.hpp"
#include "sandbox/seccomp_filter.hpp"
#include "sandbox/wire.hpp"

namespace {

using namespace media::detail;

void put(const std::string& bytes)
{
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t done = write(reader_channel, bytes.data() + at, bytes.size() - at);
        if (done <= 0) {
            std::_Exit(1);
        }
        at += static_cast<std::size_t>(done);
    }
}

bool get(std::string& bytes, std::size_t size)
{
    bytes.resize(size);
    std::size_t at = 0;
    while (at < size) {
        const ssize_t done = read(reader_channel, bytes.data() + at, size - at);
        if (done <= 0) {
            return false;
        }
        at += static_cast<std::size_t>(done);
    }
    return true;
}

bool begins(const std::string& path, const char* prefix)
{
    const std::string name = path.substr(path.rfind('/') + 1);
    return name.rfind(prefix, 0) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2) {
        bound_address_space(std::strtoull(argv[1], nullptr, 10));
    }
    crash_by_signal();
    const char* refusal = std::getenv("MUSICCORE_FAKE_REFUSE");
    put(framed(encode_hello(refusal != nullptr ? refusal : "")));
    std::string header;
    std::string document;
    while (get(header, 4) && get(document, frame_length(header))) {
        const ReadRequest request = decode_request(document);
        const std::string& path = request.path;
        if (begins(path, "crash-")) {
            std::raise(SIGSEGV);
        } else if (begins(path, "spin-")) {
            for (volatile unsigned long i = 0;; i = i + 1) {
            }
        } else if (begins(path, "work-")) {  // "work-150": 150 ms of processor time
            const long ms = std::strtol(path.c_str() + 5, nullptr, 10);
            timespec start{};
            timespec now{};
            clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
            do {
                clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
            } while ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 <
                     ms);
        } else if (begins(path, "hang-")) {
            pause();
        } else if (begins(path, "exit-")) {
            std::_Exit(3);
        } else if (begins(path, "fail-")) {
            ReadOutcome failed;
            failed.message = "a library failed";
            put(framed(encode(failed)));
            continue;
        } else if (begins(path, "garbage-")) {
            put(framed("\xC1 is no MessagePack"));
            continue;
        } else if (begins(path, "huge-")) {
            put(std::string("\xFF\xFF\xFF\x7F", 4));
            continue;
        } else if (begins(path, "hog-")) {  // until the limit, then like many a C library
            std::vector<char*> blocks;
            for (;;) {
                char* block = static_cast<char*>(std::malloc(1 << 20));
                std::memset(block, 1, 1 << 20);  // a null one: SIGSEGV
                blocks.push_back(block);
            }
        }
        ReadOutcome outcome;
        outcome.kind = ReadOutcome::Kind::info;
        outcome.info.codec = "fake";
        outcome.info.samples = static_cast<std::int64_t>(path.size());
        outcome.message = std::to_string(getpid());  // which reader answered
        put(framed(encode(outcome)));
    }
    return 0;
}
