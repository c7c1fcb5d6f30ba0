#pragma once
// An MP4 track's samples, one after the other, where its tables say they are.

#include <cstdint>  // std::uint64_t
#include <string>   // std::string

#include "formats/mp4/mp4_boxes.hpp"
#include "formats/mp4/mp4_track.hpp"

namespace media::detail {

class SampleWalk {
public:
    // The most bytes one sample may take: an ALAC frame of 4096 samples of eight
    // 32-bit channels takes 128 KiB.
    static constexpr std::uint64_t max_sample = std::uint64_t{1} << 22U;

    // `count` samples, as stts counts them and the tables were found to hold.
    SampleWalk(BoxFile& file, const SampleTables& tables, std::uint64_t count);

    // The next sample's bytes; false after the last. Throws media_error for a sample
    // past max_sample or cut short in the file.
    bool next(std::string& bytes);

private:
    std::uint64_t entry(const Box& box, std::uint64_t offset, std::size_t width);

    BoxFile& file_;
    const SampleTables& tables_;
    std::uint64_t count_;
    std::uint64_t fixed_size_;
    std::uint64_t runs_;
    std::uint64_t chunk_count_;
    std::uint64_t sample_ = 0;         // the next one
    std::uint64_t chunk_ = 0;          // its chunk, from 0
    std::uint64_t left_in_chunk_ = 0;  // samples of the chunk still to come
    std::uint64_t run_ = 0;            // the stsc run of chunk_
    std::uint64_t position_ = 0;       // in the file, of the next sample
    bool started_ = false;             // chunk_ is one begun
};

}  // namespace media::detail
