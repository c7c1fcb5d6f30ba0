// A reader program that speaks the library's protocol and then does what the first
// word of each file asks: the misbehaviours of a reader whose format library failed,
// and the moves of one that a file has taken over. MUSICCORE_FAKE_REFUSE makes it say
// it is not sandboxed. An honest answer names the reader by its process id.
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "sandbox/request_channel.hpp"
#include "sandbox/sanitized_reader.hpp"
#include "sandbox/wire.hpp"

namespace {

using namespace media::detail;
using namespace std::chrono_literals;

RequestChannel channel(reader_channel);

void put(const std::string& bytes)
{
    if (!channel.send(bytes)) {
        std::_Exit(1);
    }
}

void put(const Answer& answer)
{
    put(framed(encode(answer)));
}

// The file's first word, and the number after a "-" in it: "work-150".
std::string word_of(int fd, long& number)
{
    char text[64] = {};
    const ssize_t got = pread(fd, text, sizeof text - 1, 0);
    std::string word(text, static_cast<std::size_t>(got > 0 ? got : 0));
    word = word.substr(0, word.find_first_of(" \n"));
    const auto dash = word.find('-');
    number = dash == std::string::npos ? 0 : std::strtol(word.c_str() + dash + 1, nullptr, 10);
    return word.substr(0, dash);
}

void spend(long ms)
{
    timespec start{};
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
    do {
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    } while ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 < ms);
}

// What an honest reader of a file of `size` bytes could say.
Answer honest(std::uint64_t id, std::int64_t size)
{
    Answer answer{id, {}};
    ReadOutcome& outcome = answer.outcome;
    outcome.kind = ReadOutcome::Kind::info;
    outcome.info.codec = "pcm";
    outcome.info.channels = 1;
    outcome.info.sample_rate = 8000;
    outcome.info.samples = size;
    outcome.message = std::to_string(getpid());  // which reader answered
    return answer;
}

// Does what `word` asks; false when the answer is to be the honest one.
bool misbehave(const std::string& word, long number, const ReadRequest& request, int fd)
{
    Answer answer = honest(request.id, lseek(fd, 0, SEEK_END));
    media::MediaInfo& info = answer.outcome.info;
    if (word == "crash") {
        std::raise(SIGSEGV);
    } else if (word == "spin") {
        for (volatile unsigned long i = 0;; i = i + 1) {
        }
    } else if (word == "work") {  // "work-150": 150 ms of processor time
        spend(number);
        return false;
    } else if (word == "hang") {
        pause();
    } else if (word == "exit") {
        std::_Exit(3);
    } else if (word == "trickle") {  // a byte of its file every 200 ms: it moves
        for (char byte = 0;; std::this_thread::sleep_for(200ms)) {
            pread(fd, &byte, 1, 0);
        }
    } else if (word == "hog") {  // until the limit, then like many a C library
        std::vector<char*> blocks;
        for (;;) {
            char* block = static_cast<char*>(std::malloc(1 << 20));
            std::memset(block, 1, 1 << 20);  // a null one: SIGSEGV
            blocks.push_back(block);
        }
    } else if (word == "fail") {
        answer.outcome = ReadOutcome{};
        answer.outcome.message = "a library failed";
    } else if (word == "garbage") {
        put(framed("\xC1 is no MessagePack"));
        return true;
    } else if (word == "huge") {  // a frame of 2 GiB
        put(std::string("\xFF\xFF\xFF\x7F", 4));
        return true;
    } else if (word == "oversized") {  // 100 KB of tags for a file of a few bytes
        info.tags["COMMENT"].assign(100, std::string(1000, 'x'));
    } else if (word == "ahead") {  // the answer to the next request first
        answer.id = request.id + 1;
    } else if (word == "extra") {  // its answer, and one to what was not asked
        put(answer);
        answer.id = request.id + 1;
    } else if (word == "channels") {
        info.channels = static_cast<int>(number);
    } else if (word == "rate") {
        info.sample_rate = -number;
    } else if (word == "exact") {  // hours of samples from a few bytes
        info.samples = std::int64_t{1} << 40U;
        info.exact = true;
    } else if (word == "nan") {  // a duration that is no number: the samples decide it
        info.duration_secs = std::nan("");
    } else if (word == "codec") {
        info.codec = "\x1B[31mpcm\r\n";
    } else if (word == "type") {
        info.pictures.push_back(
            {static_cast<int>(number), "image/png", "", std::nullopt, std::nullopt, 1});
    } else if (word == "escapes") {  // a terminal's title, colour and a forged line
        const char said[] = "\x1B]0;owned\x07\x1B[31mred\r\nmusiccore: forged\n";
        write(2, said, sizeof said - 1);
        return false;
    } else {
        return false;
    }
    put(answer);
    return true;
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
    if (const char* move = std::getenv("MUSICCORE_FAKE_DEAF"); move != nullptr) {
        pause();  // never reads a request
    }
    ReadRequest request;
    UniqueFd file;
    while (channel.next(request, file)) {
        long number = 0;
        const std::string word = word_of(file.get(), number);
        if (!misbehave(word, number, request, file.get())) {
            put(honest(request.id, lseek(file.get(), 0, SEEK_END)));
        }
    }
    return 0;
}
