// Makes hostile files from valid ones, for the tests and the fuzz seeds:
//   file_craft granules IN OUT SERIAL VALUE      every page of stream SERIAL that has a
//                                               granule position gets VALUE
//   file_craft last-granule IN OUT SERIAL VALUE  the last page of stream SERIAL gets VALUE
//   file_craft comments IN OUT COUNT SIZE        the comment header of a one-link file
//                                               holds COUNT comments of SIZE bytes each
//   file_craft first-packet IN OUT TEXT          the first packet begins with TEXT: a
//                                               stream of another codec
//   file_craft paged-comments IN OUT LAYOUT COUNT SIZE
//                                               the comment header of a one-link Opus,
//                                               Vorbis or FLAC file holds COUNT comments
//                                               of SIZE bytes, its header pages laid out
//                                               as LAYOUT says: "apart" (a page each),
//                                               "first-page" (with the first packet),
//                                               "packed" (after the first, all on as few
//                                               pages as fit), "granule" (apart, the
//                                               comment pages' granule position 5)
//   file_craft codebooks IN OUT COUNT ENTRIES   a one-link Vorbis file's setup header
//                                               made of COUNT codebooks of ENTRIES
//                                               entries each, and nothing else
//   file_craft chain IN OUT COUNT                COUNT links, each a copy of IN under a
//                                               serial number of its own
//   file_craft flac-blocks IN OUT PADDINGS COUNT a native FLAC file's metadata made of
//                                               its STREAMINFO, PADDINGS empty padding
//                                               blocks and COUNT comments, last
//   file_craft flac-total IN OUT SAMPLES        a native FLAC file's STREAMINFO states
//                                               SAMPLES samples
//   file_craft mp3-info IN OUT FRAMES DELAY PADDING
//                                               the Info frame of an MP3 file states
//                                               FRAMES frames, an encoder delay and
//                                               padding ("-": as it was)
// Page checksums are recomputed, so that readers take the pages in.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <ogg/ogg.h>

namespace {

using Bytes = std::vector<unsigned char>;

struct Page {
    Bytes header, body;
    std::uint32_t serial() const { return ogg_page_serialno(view()); }
    const ogg_page* view() const
    {
        static ogg_page page;
        page = {const_cast<unsigned char*>(header.data()), static_cast<long>(header.size()),
                const_cast<unsigned char*>(body.data()), static_cast<long>(body.size())};
        return &page;
    }
    void set_granule(std::int64_t value)
    {
        for (int i = 0; i < 8; ++i) {
            header[6 + i] =
                static_cast<unsigned char>(static_cast<std::uint64_t>(value) >> (8 * i));
        }
    }
    void set_sequence(std::uint32_t value)
    {
        for (int i = 0; i < 4; ++i) {
            header[18 + i] = static_cast<unsigned char>(value >> (8 * i));
        }
    }
    void seal()
    {
        ogg_page page{header.data(), static_cast<long>(header.size()), body.data(),
                      static_cast<long>(body.size())};
        ogg_page_checksum_set(&page);
    }
};

std::vector<Page> read_pages(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    const Bytes file{std::istreambuf_iterator<char>(in), {}};
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char* buffer = ogg_sync_buffer(&sync, static_cast<long>(file.size()));
    std::memcpy(buffer, file.data(), file.size());
    ogg_sync_wrote(&sync, static_cast<long>(file.size()));
    std::vector<Page> pages;
    ogg_page page;
    while (ogg_sync_pageout(&sync, &page) == 1) {
        pages.push_back(
            {{page.header, page.header + page.header_len}, {page.body, page.body + page.body_len}});
    }
    ogg_sync_clear(&sync);
    return pages;
}

void write_pages(const char* path, const std::vector<Page>& pages)
{
    std::ofstream out(path, std::ios::binary);
    for (const Page& page : pages) {
        out.write(reinterpret_cast<const char*>(page.header.data()),
                  static_cast<std::streamsize>(page.header.size()));
        out.write(reinterpret_cast<const char*>(page.body.data()),
                  static_cast<std::streamsize>(page.body.size()));
    }
}

void put32(Bytes& packet, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        packet.push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
}

// Every page `stream` holds, flushed out onto `pages`.
void flush_pages(ogg_stream_state& stream, std::vector<Page>& pages)
{
    ogg_page page;
    while (ogg_stream_flush(&stream, &page) != 0) {
        pages.push_back(
            {{page.header, page.header + page.header_len}, {page.body, page.body + page.body_len}});
    }
}

// COUNT comments of SIZE bytes ("X=aaa..."), after the vendor text "test".
Bytes comment_list(std::uint32_t count, std::uint32_t size)
{
    Bytes list;
    put32(list, 4);
    list.insert(list.end(), {'t', 'e', 's', 't'});
    put32(list, count);
    for (std::uint32_t i = 0; i < count; ++i) {
        put32(list, size);
        for (std::uint32_t j = 0; j < size; ++j) {
            list.push_back(j == 0 ? 'X' : (j == 1 ? '=' : 'a'));
        }
    }
    return list;
}

// A one-link file with its comment header replaced: new header pages, then the
// audio pages as they were, renumbered.
std::vector<Page> with_comments(const std::vector<Page>& pages, std::uint32_t count,
                                std::uint32_t size)
{
    ogg_stream_state in;
    ogg_stream_init(&in, static_cast<int>(pages.at(0).serial()));
    std::size_t first_audio = 0;
    int headers = 0;
    ogg_packet packet;
    Bytes head;
    while (headers < 2) {
        ogg_stream_pagein(&in, const_cast<ogg_page*>(pages.at(first_audio++).view()));
        while (headers < 2 && ogg_stream_packetout(&in, &packet) == 1) {
            if (headers++ == 0) {
                head.assign(packet.packet, packet.packet + packet.bytes);
            }
        }
    }
    ogg_stream_clear(&in);

    Bytes tags{'O', 'p', 'u', 's', 'T', 'a', 'g', 's'};
    const Bytes list = comment_list(count, size);
    tags.insert(tags.end(), list.begin(), list.end());
    ogg_stream_state out;
    ogg_stream_init(&out, static_cast<int>(pages.at(0).serial()));
    std::vector<Page> result;
    const auto flush = [&] { flush_pages(out, result); };
    ogg_packet id{head.data(), static_cast<long>(head.size()), 1, 0, 0, 0};
    ogg_stream_packetin(&out, &id);
    flush();
    ogg_packet comments{tags.data(), static_cast<long>(tags.size()), 0, 0, 0, 1};
    ogg_stream_packetin(&out, &comments);
    flush();
    ogg_stream_clear(&out);
    auto sequence = static_cast<std::uint32_t>(result.size());
    for (std::size_t i = first_audio; i < pages.size(); ++i) {
        Page page = pages[i];
        page.set_sequence(sequence++);
        page.seal();
        result.push_back(std::move(page));
    }
    return result;
}

enum class Codec { opus, vorbis, flac };

// A one-link file's header packets, and the index of its first audio page.
struct Headers {
    Codec codec = Codec::opus;
    std::vector<Bytes> packets;
    std::size_t first_audio = 0;
};

Headers headers_of(const std::vector<Page>& pages)
{
    Headers headers;
    ogg_stream_state in;
    ogg_stream_init(&in, static_cast<int>(pages.at(0).serial()));
    std::size_t wanted = 1;
    ogg_packet packet;
    while (headers.packets.size() < wanted && headers.first_audio < pages.size()) {
        ogg_stream_pagein(&in, const_cast<ogg_page*>(pages[headers.first_audio++].view()));
        while (headers.packets.size() < wanted && ogg_stream_packetout(&in, &packet) == 1) {
            headers.packets.emplace_back(packet.packet, packet.packet + packet.bytes);
            if (headers.packets.size() == 1) {
                const Bytes& first = headers.packets[0];
                headers.codec = first[0] == 'O' ? Codec::opus
                                : first[0] == 1 ? Codec::vorbis
                                                : Codec::flac;
                wanted = headers.codec == Codec::opus     ? 2
                         : headers.codec == Codec::vorbis ? 3
                                                          : 1 + (first[7] << 8U | first[8]);
            }
        }
    }
    ogg_stream_clear(&in);
    return headers;
}

// The header packets paged as `layout` says, then the audio pages, renumbered.
std::vector<Page> repaged(const std::vector<Page>& pages, const Headers& headers,
                          const std::string& layout, std::size_t comments_at)
{
    ogg_stream_state out;
    ogg_stream_init(&out, static_cast<int>(pages.at(0).serial()));
    std::vector<Page> result;
    const auto flush = [&] { flush_pages(out, result); };
    for (std::size_t i = 0; i < headers.packets.size(); ++i) {
        Bytes bytes = headers.packets[i];
        const std::int64_t granule = layout == "granule" && i == comments_at ? 5 : 0;
        ogg_packet packet{bytes.data(), static_cast<long>(bytes.size()), i == 0 ? 1 : 0, 0,
                          granule,      static_cast<ogg_int64_t>(i)};
        ogg_stream_packetin(&out, &packet);
        if (!(layout == "packed" && i > 0) || i + 1 == headers.packets.size()) {
            flush();
        }
    }
    ogg_stream_clear(&out);
    if (layout == "granule") {
        // Every page of the headers after the first, not only the one that ends them.
        for (std::size_t i = 1; i < result.size(); ++i) {
            result[i].set_granule(5);
            result[i].seal();
        }
    }
    if (layout == "first-page") {
        // libogg gives the first packet a page of its own: the second's first page is
        // put into it by hand.
        Page& first = result.at(0);
        Page& second = result.at(1);
        const unsigned room = 255U - first.header[26];
        const unsigned moved = std::min<unsigned>(room, second.header[26]);
        std::size_t bytes = 0;
        for (unsigned i = 0; i < moved; ++i) {
            bytes += second.header[27 + i];
        }
        first.header.insert(first.header.end(), second.header.begin() + 27,
                            second.header.begin() + 27 + moved);
        first.header[26] = static_cast<unsigned char>(first.header[26] + moved);
        first.body.insert(first.body.end(), second.body.begin(),
                          second.body.begin() + static_cast<long>(bytes));
        if (moved == second.header[26]) {
            result.erase(result.begin() + 1);
        } else {
            second.header.erase(second.header.begin() + 27, second.header.begin() + 27 + moved);
            second.header[26] = static_cast<unsigned char>(second.header[26] - moved);
            second.body.erase(second.body.begin(), second.body.begin() + static_cast<long>(bytes));
            second.header[5] |= 1U;  // continues what the first page began
        }
        for (std::size_t i = 1; i < result.size(); ++i) {
            result[i].set_sequence(static_cast<std::uint32_t>(i));
        }
        for (Page& page : result) {
            page.seal();
        }
    }
    auto sequence = static_cast<std::uint32_t>(result.size());
    for (std::size_t i = headers.first_audio; i < pages.size(); ++i) {
        Page page = pages[i];
        page.set_sequence(sequence++);
        page.seal();
        result.push_back(std::move(page));
    }
    return result;
}

std::vector<Page> with_paged_comments(const std::vector<Page>& pages, const std::string& layout,
                                      std::uint32_t count, std::uint32_t size)
{
    Headers headers = headers_of(pages);
    const Bytes list = comment_list(count, size);
    std::size_t at = 1;
    if (headers.codec == Codec::opus) {
        headers.packets[1] = {'O', 'p', 'u', 's', 'T', 'a', 'g', 's'};
        headers.packets[1].insert(headers.packets[1].end(), list.begin(), list.end());
    } else if (headers.codec == Codec::vorbis) {
        headers.packets[1] = {3, 'v', 'o', 'r', 'b', 'i', 's'};
        headers.packets[1].insert(headers.packets[1].end(), list.begin(), list.end());
        headers.packets[1].push_back(1);  // the framing bit
    } else {
        while (at < headers.packets.size() && (headers.packets[at][0] & 0x7F) != 4) {
            ++at;
        }
        const auto length = static_cast<std::uint32_t>(list.size());
        Bytes block{static_cast<unsigned char>((headers.packets.at(at)[0] & 0x80U) | 4U),
                    static_cast<unsigned char>(length >> 16U),
                    static_cast<unsigned char>(length >> 8U), static_cast<unsigned char>(length)};
        block.insert(block.end(), list.begin(), list.end());
        headers.packets[at] = std::move(block);
        if (layout == "packed" && at + 1 < headers.packets.size()) {
            // After another block on its page: not where a page begins.
            const unsigned last = headers.packets[at + 1][0] & 0x80U;
            std::swap(headers.packets[at], headers.packets[at + 1]);
            headers.packets[at][0] = static_cast<unsigned char>(headers.packets[at][0] & 0x7FU);
            headers.packets[at + 1][0] =
                static_cast<unsigned char>((headers.packets[at + 1][0] & 0x7FU) | last);
        }
    }
    return repaged(pages, headers, layout, at);
}

// LSB-first bits, as Vorbis packs them.
class BitWriter {
public:
    void put(std::uint64_t value, unsigned bits)
    {
        for (unsigned i = 0; i < bits; ++i, ++bit_) {
            if (bit_ % 8 == 0) {
                bytes.push_back(0);
            }
            bytes.back() |= static_cast<unsigned char>(((value >> i) & 1U) << (bit_ % 8));
        }
    }
    Bytes bytes;

private:
    std::size_t bit_ = 0;
};

std::vector<Page> with_codebooks(const std::vector<Page>& pages, std::uint32_t count,
                                 std::uint32_t entries)
{
    Headers headers = headers_of(pages);
    BitWriter setup;
    for (const char c : std::string("\x05vorbis")) {
        setup.put(static_cast<unsigned char>(c), 8);
    }
    setup.put(count - 1, 8);
    for (std::uint32_t i = 0; i < count; ++i) {
        setup.put(0x564342, 24);  // "BCV"
        setup.put(1, 16);         // dimensions
        setup.put(entries, 24);
        // Ordered: runs of lengths 1, 2, 3, ..., each as long as a code of its length
        // allows (one, two, four, ...): a few bits for millions of entries.
        setup.put(1, 1);
        setup.put(0, 5);  // the first length: 1
        std::uint32_t done = 0;
        for (std::uint32_t run = 1; done < entries; run *= 2) {
            const std::uint32_t left = entries - done;
            unsigned width = 0;
            for (std::uint32_t rest = left; rest != 0; rest >>= 1U) {
                ++width;
            }
            const std::uint32_t taken = std::min(run, left);
            setup.put(taken, width);
            done += taken;
        }
        setup.put(0, 4);  // no lookup table
    }
    headers.packets.at(2) = setup.bytes;
    return repaged(pages, headers, "apart", 1);
}

std::vector<Page> chained(const std::vector<Page>& pages, std::uint32_t count)
{
    std::vector<Page> result;
    for (std::uint32_t link = 1; link <= count; ++link) {
        for (Page page : pages) {
            for (int i = 0; i < 4; ++i) {
                page.header[14 + i] = static_cast<unsigned char>(link >> (8 * i));
            }
            page.seal();
            result.push_back(std::move(page));
        }
    }
    return result;
}

// A native FLAC file's frames behind new metadata.
int rewrite_flac(const char* in_path, const char* out_path, std::uint32_t paddings,
                 std::uint32_t count)
{
    std::ifstream in(in_path, std::ios::binary);
    const Bytes file{std::istreambuf_iterator<char>(in), {}};
    if (file.size() < 8 || std::memcmp(file.data(), "fLaC", 4) != 0) {
        std::fprintf(stderr, "file_craft: %s is no native FLAC file\n", in_path);
        return 1;
    }
    std::size_t at = 4;
    Bytes info;
    for (bool last = false; !last && at + 4 <= file.size();) {
        last = (file[at] & 0x80U) != 0;
        const std::size_t size = file[at + 1] << 16U | file[at + 2] << 8U | file[at + 3];
        if ((file[at] & 0x7FU) == 0) {
            info.assign(file.begin() + static_cast<long>(at),
                        file.begin() + static_cast<long>(at + 4 + size));
            info[0] = 0;  // no longer the last
        }
        at += 4 + size;
    }
    Bytes out{'f', 'L', 'a', 'C'};
    out.insert(out.end(), info.begin(), info.end());
    for (std::uint32_t i = 0; i < paddings; ++i) {
        out.insert(out.end(), {1, 0, 0, 0});
    }
    const Bytes list = comment_list(count, 3);
    const auto length = static_cast<std::uint32_t>(list.size());
    out.insert(out.end(),
               {0x84, static_cast<unsigned char>(length >> 16U),
                static_cast<unsigned char>(length >> 8U), static_cast<unsigned char>(length)});
    out.insert(out.end(), list.begin(), list.end());
    out.insert(out.end(), file.begin() + static_cast<long>(at), file.end());
    std::ofstream(out_path, std::ios::binary)
        .write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    return 0;
}

// The Info frame of an MP3 file (past its ID3v2 tag) made to state other things.
int rewrite_info(const char* in_path, const char* out_path, const char* frames, const char* delay,
                 const char* padding)
{
    std::ifstream in(in_path, std::ios::binary);
    Bytes file{std::istreambuf_iterator<char>(in), {}};
    std::size_t at = 0;
    if (file.size() > 10 && std::memcmp(file.data(), "ID3", 3) == 0) {
        at = 10 + (file[6] << 21U | file[7] << 14U | file[8] << 7U | file[9]);
    }
    const bool mpeg1 = ((file.at(at + 1) >> 3U) & 3U) == 3;
    const bool mono = (file.at(at + 3) >> 6U) == 3;
    const std::size_t tag = at + 4 + (mono ? (mpeg1 ? 17 : 9) : (mpeg1 ? 32 : 17));
    if (std::memcmp(&file.at(tag), "Info", 4) != 0 && std::memcmp(&file.at(tag), "Xing", 4) != 0) {
        std::fprintf(stderr, "file_craft: no Info frame in %s\n", in_path);
        return 1;
    }
    const auto put_be = [&file](std::size_t where, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            file.at(where + static_cast<std::size_t>(i)) =
                static_cast<unsigned char>(value >> (24 - 8 * i));
        }
    };
    const std::uint32_t flags =
        file[tag + 4] << 24U | file[tag + 5] << 16U | file[tag + 6] << 8U | file[tag + 7];
    if (std::strcmp(frames, "-") != 0) {
        put_be(tag + 8, static_cast<std::uint32_t>(std::stoul(frames)));
    }
    std::size_t lame = tag + 8 + ((flags & 1U) != 0 ? 4 : 0) + ((flags & 2U) != 0 ? 4 : 0) +
                       ((flags & 4U) != 0 ? 100 : 0) + ((flags & 8U) != 0 ? 4 : 0);
    unsigned d = file.at(lame + 21) << 4U | file.at(lame + 22) >> 4U;
    unsigned p = (file.at(lame + 22) & 0x0FU) << 8U | file.at(lame + 23);
    d = std::strcmp(delay, "-") != 0 ? static_cast<unsigned>(std::stoul(delay)) : d;
    p = std::strcmp(padding, "-") != 0 ? static_cast<unsigned>(std::stoul(padding)) : p;
    file[lame + 21] = static_cast<unsigned char>(d >> 4U);
    file[lame + 22] = static_cast<unsigned char>((d & 0x0FU) << 4U | p >> 8U);
    file[lame + 23] = static_cast<unsigned char>(p);
    std::ofstream(out_path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
    return 0;
}

int rewrite_total(const char* in_path, const char* out_path, std::uint64_t samples)
{
    std::ifstream in(in_path, std::ios::binary);
    Bytes file{std::istreambuf_iterator<char>(in), {}};
    // STREAMINFO is the first block: its 36-bit count ends at byte 26.
    if (file.size() < 26 || std::memcmp(file.data(), "fLaC", 4) != 0 || (file[4] & 0x7FU) != 0) {
        std::fprintf(stderr, "file_craft: %s has no STREAMINFO first\n", in_path);
        return 1;
    }
    file[21] = static_cast<unsigned char>((file[21] & 0xF0U) | ((samples >> 32U) & 0x0FU));
    for (int i = 0; i < 4; ++i) {
        file[22 + static_cast<std::size_t>(i)] =
            static_cast<unsigned char>(samples >> (24 - 8 * i));
    }
    std::ofstream(out_path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: file_craft granules|last-granule|comments|first-packet "
                             "IN OUT ARGS...\n");
        return 2;
    }
    const std::string what = argv[1];
    if (what == "flac-total" && argc == 5) {
        return rewrite_total(argv[2], argv[3], std::stoull(argv[4]));
    }
    if (what == "mp3-info" && argc == 7) {
        return rewrite_info(argv[2], argv[3], argv[4], argv[5], argv[6]);
    }
    if (what == "flac-blocks" && argc == 6) {
        return rewrite_flac(argv[2], argv[3], static_cast<std::uint32_t>(std::stoul(argv[4])),
                            static_cast<std::uint32_t>(std::stoul(argv[5])));
    }
    std::vector<Page> pages = read_pages(argv[2]);
    if (pages.empty()) {
        std::fprintf(stderr, "file_craft: no Ogg pages in %s\n", argv[2]);
        return 1;
    }
    if (what == "paged-comments" && argc == 7) {
        pages = with_paged_comments(pages, argv[4], static_cast<std::uint32_t>(std::stoul(argv[5])),
                                    static_cast<std::uint32_t>(std::stoul(argv[6])));
    } else if (what == "chain") {
        pages = chained(pages, static_cast<std::uint32_t>(std::stoul(argv[4])));
    } else if (what == "codebooks" && argc == 6) {
        pages = with_codebooks(pages, static_cast<std::uint32_t>(std::stoul(argv[4])),
                               static_cast<std::uint32_t>(std::stoul(argv[5])));
    } else if (what == "first-packet") {
        const std::string text = argv[4];
        std::memcpy(pages.at(0).body.data(), text.data(),
                    std::min(text.size(), pages[0].body.size()));
        pages[0].seal();
    } else if (argc != 6) {
        std::fprintf(stderr, "file_craft: %s takes two values\n", what.c_str());
        return 2;
    } else if (what == "comments") {
        pages = with_comments(pages, static_cast<std::uint32_t>(std::stoul(argv[4])),
                              static_cast<std::uint32_t>(std::stoul(argv[5])));
    } else {
        const auto serial = static_cast<std::uint32_t>(std::stoul(argv[4]));
        const std::int64_t value = std::stoll(argv[5]);
        Page* last = nullptr;
        for (Page& page : pages) {
            const std::int64_t granule = ogg_page_granulepos(page.view());
            if (page.serial() == serial && granule != -1 &&
                (granule > 0 || what == "last-granule")) {
                last = &page;
                if (what == "granules") {
                    page.set_granule(value);
                    page.seal();
                }
            }
        }
        if (what == "last-granule" && last != nullptr) {
            last->set_granule(value);
            last->seal();
        }
    }
    write_pages(argv[3], pages);
    return 0;
}
