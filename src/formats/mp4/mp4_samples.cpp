#include "formats/mp4/mp4_samples.hpp"

#include <cstdio>  // SEEK_SET

#include <musiccore/media.hpp>

#include "io/byte_order.hpp"

namespace media::detail {

SampleWalk::SampleWalk(BoxFile& file, const SampleTables& tables, std::uint64_t count)
    : file_(file), tables_(tables), count_(count), fixed_size_(entry(tables.sizes, 4, 4)),
      runs_(entry(tables.chunks, 4, 4)), chunk_count_(entry(tables.offsets, 4, 4))
{
}

std::uint64_t SampleWalk::entry(const Box& box, std::uint64_t offset, std::size_t width)
{
    const std::string bytes = file_.part(box, offset, width);
    if (bytes.size() != width) {
        throw media_error("MP4: box '" + box.type + "' ends before its entries do");
    }
    return big_endian(bytes, 0, width);
}

bool SampleWalk::next(std::string& bytes)
{
    if (sample_ == count_) {
        return false;
    }
    while (left_in_chunk_ == 0) {
        chunk_ += started_ ? 1 : 0;
        started_ = true;
        if (chunk_ >= chunk_count_) {
            throw media_error("MP4: more samples than chunks hold");
        }
        // The run of stsc (first chunk from 1, samples a chunk) that holds this chunk.
        while (run_ + 1 < runs_ && entry(tables_.chunks, 8 + (run_ + 1) * 12, 4) <= chunk_ + 1) {
            ++run_;
        }
        left_in_chunk_ = entry(tables_.chunks, 12 + run_ * 12, 4);
        const std::size_t width = tables_.wide_offsets ? 8 : 4;
        position_ = entry(tables_.offsets, 8 + chunk_ * width, width);
    }
    const std::uint64_t size =
        fixed_size_ != 0 ? fixed_size_ : entry(tables_.sizes, 12 + sample_ * 4, 4);
    if (size > max_sample) {
        throw media_error("MP4: a sample of " + std::to_string(size) + " bytes");
    }
    FileSource& source = file_.source();
    bytes.resize(static_cast<std::size_t>(size));
    if (!source.seek(static_cast<std::int64_t>(position_), SEEK_SET) ||
        source.read(bytes.data(), bytes.size()) != static_cast<long>(size)) {
        throw media_error("MP4: sample " + std::to_string(sample_) + " is cut short in the file");
    }
    position_ += size;
    --left_in_chunk_;
    ++sample_;
    return true;
}

}  // namespace media::detail
