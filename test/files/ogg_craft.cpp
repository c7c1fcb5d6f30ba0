// Makes hostile Ogg Opus files from valid ones, for the tests and the fuzz seeds:
//   ogg_craft granules IN OUT SERIAL VALUE      every page of stream SERIAL that has a
//                                               granule position gets VALUE
//   ogg_craft last-granule IN OUT SERIAL VALUE  the last page of stream SERIAL gets VALUE
//   ogg_craft comments IN OUT COUNT SIZE        the comment header of a one-link file
//                                               holds COUNT comments of SIZE bytes each
//   ogg_craft first-packet IN OUT TEXT          the first packet begins with TEXT: a
//                                               stream of another codec
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
    put32(tags, 4);
    tags.insert(tags.end(), {'t', 'e', 's', 't'});
    put32(tags, count);
    for (std::uint32_t i = 0; i < count; ++i) {
        put32(tags, size);
        for (std::uint32_t j = 0; j < size; ++j) {
            tags.push_back(j == 0 ? 'X' : (j == 1 ? '=' : 'a'));
        }
    }
    ogg_stream_state out;
    ogg_stream_init(&out, static_cast<int>(pages.at(0).serial()));
    std::vector<Page> result;
    const auto flush = [&] {
        ogg_page page;
        while (ogg_stream_flush(&out, &page) != 0) {
            result.push_back({{page.header, page.header + page.header_len},
                              {page.body, page.body + page.body_len}});
        }
    };
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

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: ogg_craft granules|last-granule|comments|first-packet "
                             "IN OUT ARGS...\n");
        return 2;
    }
    const std::string what = argv[1];
    std::vector<Page> pages = read_pages(argv[2]);
    if (pages.empty()) {
        std::fprintf(stderr, "ogg_craft: no Ogg pages in %s\n", argv[2]);
        return 1;
    }
    if (what == "first-packet") {
        const std::string text = argv[4];
        std::memcpy(pages.at(0).body.data(), text.data(),
                    std::min(text.size(), pages[0].body.size()));
        pages[0].seal();
    } else if (argc != 6) {
        std::fprintf(stderr, "ogg_craft: %s takes two values\n", what.c_str());
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
