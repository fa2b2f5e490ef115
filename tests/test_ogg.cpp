// Ogg Vorbis and Opus: the header packets read from pages laid out in every way a muxer may lay
// them out, damaged pages, several streams, and writes whose header pages shrink, stay or grow,
// each fixture built byte by byte.
#include "id3_internal.h"
#include "quorvale_id3tag.h"
#include "bounded_read_check.h"
#include "loaded_model.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

const uint32_t SERIAL = 0x5EED1234;

Bytes vorbis_comments(const std::vector<std::string>& comments) {
    return S("\x03vorbis") + vorbis_comment("Xiph.Org libVorbis I 20200704", comments) + B({1});
}
Bytes opus_tags(const std::vector<std::string>& comments, const Bytes& after = {}) {
    return S("OpusTags") + vorbis_comment("libopus 1.3.1", comments) + after;
}
const Bytes SETUP = S("\x05vorbis") + repeat(0x42, 3000);

// Audio packets that look like nothing in particular, n of them on pages of 4 packets each.
std::vector<Bytes> audio_packets(size_t n) {
    std::vector<Bytes> packets;
    for (size_t i = 0; i < n; i++)
        packets.push_back(repeat((uint8_t)(0x80 + i), 100 + 37 * i));
    return packets;
}
Bytes audio_pages(uint32_t serial, uint32_t* seq, size_t n = 12) {
    Bytes out;
    std::vector<Bytes> packets = audio_packets(n);
    for (size_t i = 0; i < n; i += 4) {
        std::vector<Bytes> group(packets.begin() + i, packets.begin() + std::min(n, i + 4));
        out += ogg_packets(serial, seq, group, 255, false, 1024 * (i + 4));
    }
    return out;
}

// How the comment packet lies in the pages after the first.
enum Layout {
    OWN_PAGES,   // the comment packet on its page(s), the setup packet on its own
    SHARED,      // comment and setup packets on one page
    SMALL_PAGES, // pages of 3 segments: every header packet spans pages
};

// A Vorbis file: identification page, the comment and setup packets as laid out, audio pages.
Bytes vorbis_file(const Bytes& comments, Layout layout = SHARED, uint32_t serial = SERIAL) {
    uint32_t seq = 0;
    Bytes out = ogg_packets(serial, &seq, {vorbis_id_packet()});
    out += ogg_packets(serial, &seq, {comments, SETUP}, layout == SMALL_PAGES ? 3 : 255,
                       layout == OWN_PAGES);
    return out + audio_pages(serial, &seq);
}
// A Vorbis file whose comment packet lies on pages of max_segments, the setup packet after them.
Bytes vorbis_file_paged(const Bytes& comments, size_t max_segments) {
    uint32_t seq = 0;
    Bytes out = ogg_packets(SERIAL, &seq, {vorbis_id_packet()});
    out += ogg_packets(SERIAL, &seq, {comments}, max_segments);
    out += ogg_packets(SERIAL, &seq, {SETUP});
    return out + audio_pages(SERIAL, &seq);
}
Bytes opus_file(const Bytes& tags, size_t max_segments = 255, uint32_t serial = SERIAL) {
    uint32_t seq = 0;
    Bytes out = ogg_packets(serial, &seq, {opus_head_packet()});
    out += ogg_packets(serial, &seq, {tags}, max_segments);
    return out + audio_pages(serial, &seq);
}

std::string picture_comment(uint32_t type, const std::string& mime, const Bytes& data) {
    return "METADATA_BLOCK_PICTURE=" + base64_text(flac_picture(type, mime, "", data));
}

// A parsed Ogg file, checked as a demuxer would: every page whole with a right checksum, and per
// stream the sequence numbers consecutive and the packets joined.
struct Parsed {
    std::string fault; // "" for a sound file
    struct Page {
        uint8_t flags;
        uint64_t granule;
        uint32_t serial, seq;
        bool packet_ends; // a lacing value below 255
    };
    std::vector<Page> pages;
    std::vector<Bytes> packets; // of the first stream
};
Parsed parse(const Bytes& file) {
    Parsed p;
    size_t pos = 0;
    Bytes open;
    while (pos < file.size()) {
        if (file.size() - pos < 27 || memcmp(&file[pos], "OggS", 4) != 0) {
            p.fault = "no page at " + std::to_string(pos);
            return p;
        }
        size_t segments = file[pos + 26], body = 0;
        if (file.size() - pos < 27 + segments) {
            p.fault = "cut lacing";
            return p;
        }
        for (size_t i = 0; i < segments; i++)
            body += file[pos + 27 + i];
        size_t len = 27 + segments + body;
        if (file.size() - pos < len) {
            p.fault = "cut body";
            return p;
        }
        Bytes page(file.begin() + pos, file.begin() + pos + len);
        uint64_t granule = 0;
        for (int i = 7; i >= 0; i--)
            granule = granule << 8 | page[6 + i];
        Bytes lacing(page.begin() + 27, page.begin() + 27 + segments);
        bool packet_ends =
            std::any_of(lacing.begin(), lacing.end(), [](uint8_t v) { return v < 255; });
        Parsed::Page info{page[5], granule, id3_le32(&page[14]), id3_le32(&page[18]), packet_ends};
        Bytes rebuilt = ogg_page(info.flags, granule, info.serial, info.seq, lacing,
                                 Bytes(page.begin() + 27 + segments, page.end()));
        if (rebuilt != page) {
            p.fault = "checksum of page " + std::to_string(p.pages.size());
            return p;
        }
        if (!p.pages.empty() && info.serial == p.pages[0].serial) {
            uint32_t last = 0;
            for (const Parsed::Page& earlier : p.pages) {
                if (earlier.serial == info.serial)
                    last = earlier.seq;
            }
            if (info.seq != last + 1) {
                p.fault = "sequence " + std::to_string(info.seq) + " after " + std::to_string(last);
                return p;
            }
        }
        p.pages.push_back(info);
        if (info.serial == p.pages[0].serial) {
            size_t at = pos + 27 + segments;
            for (size_t i = 0; i < segments; i++) {
                open.insert(open.end(), file.begin() + at, file.begin() + at + file[pos + 27 + i]);
                at += file[pos + 27 + i];
                if (file[pos + 27 + i] < 255) {
                    p.packets.push_back(open);
                    open.clear();
                }
            }
        }
        pos += len;
    }
    return p;
}

using Text = std::optional<std::string>;
Text text(const char* p) {
    return p ? Text(p) : std::nullopt;
}

// The record read from one image (the bounded reader compared with the whole-image one).
struct Read {
    id3_record t;
    int rc;
    std::string message;
    explicit Read(const Bytes& file) {
        id3_record_init(&t);
        id3_clear_error();
        rc = id3_ogg_read(file.data(), file.size(), &t);
        message = id3_last_error();
        int32_t format = id3_ogg_detect(file.data(), file.size());
        EXPECT_EQ(bounded_read_difference(format ? format : ID3_FMT_OGG, file), "");
    }
    ~Read() { id3_record_free(&t); }
    Read(const Read&) = delete;
    Read& operator=(const Read&) = delete;
    Bytes cover() const { return Bytes(t.cover_data, t.cover_data + t.cover_size); }
};

// The lacing values of one whole packet of n bytes.
Bytes lacing_of(size_t n) {
    return repeat(255, n / 255) + B({(int)(n % 255)});
}

// A file whose first page holds the identification packet and the first 255 bytes of the comment
// packet (at least 255 long), which ends on the second page with the packets after it.
Bytes id_page_shared(const Bytes& id, const Bytes& comments, const Bytes& after) {
    Bytes start(comments.begin(), comments.begin() + 255),
        rest(comments.begin() + 255, comments.end());
    Bytes second_lacing = lacing_of(rest.size());
    if (!after.empty())
        second_lacing += lacing_of(after.size());
    uint32_t seq = 2;
    return ogg_page(2, 0, SERIAL, 0, lacing_of(id.size()) + B({255}), id + start) +
           ogg_page(1, 0, SERIAL, 1, second_lacing, rest + after) + audio_pages(SERIAL, &seq);
}

// A comment packet of exactly n bytes: the comments given and a filler comment.
Bytes vorbis_comments_of_len(size_t n, const std::vector<std::string>& comments) {
    size_t base = vorbis_comments(comments).size() + 4 + 2; // the filler's length and "X="
    std::vector<std::string> all = comments;
    all.push_back("X=" + std::string(n - base, 'f'));
    return vorbis_comments(all);
}

} // namespace

TEST(OggDetect, FirstPacketDecides) {
    EXPECT_EQ(id3_ogg_detect(vorbis_file(vorbis_comments({})).data(), 100), ID3_FMT_OGG);
    EXPECT_EQ(id3_ogg_detect(opus_file(opus_tags({})).data(), 100), ID3_FMT_OPUS);
    uint32_t seq = 0;
    Bytes theora = ogg_packets(SERIAL, &seq, {S("\x80theora") + repeat(0, 40)});
    EXPECT_EQ(id3_ogg_detect(theora.data(), theora.size()), ID3_FMT_UNKNOWN);
    Bytes cut = vorbis_file(vorbis_comments({}));
    EXPECT_EQ(id3_ogg_detect(cut.data(), 30), ID3_FMT_UNKNOWN); // ends before the packet type
    EXPECT_EQ(id3_detect_fmt(cut.data(), cut.size()), ID3_FMT_OGG);
}

TEST(OggRead, CommentPacketInEveryLayout) {
    const std::vector<std::string> comments = {"TITLE=Tïtle", "artist=Who", "ALBUM=A",
                                               "GENRE=g",     "DATE=2024",  "TRACKNUMBER=7"};
    Bytes cover = repeat(0xC7, 100000); // larger than one page once in base64
    std::vector<std::string> with_cover = comments;
    with_cover.push_back(picture_comment(3, "image/png", cover));
    struct Case {
        const char* name;
        Bytes file;
        int32_t format;
    } cases[] = {
        {"own page", vorbis_file(vorbis_comments(comments), OWN_PAGES), ID3_FMT_OGG},
        {"shares a page with the setup", vorbis_file(vorbis_comments(comments), SHARED),
         ID3_FMT_OGG},
        {"across pages", vorbis_file(vorbis_comments(comments), SMALL_PAGES), ID3_FMT_OGG},
        // 510 bytes on pages of 2 segments: both full, the packet's closing 0 on the next page.
        {"255-byte lacing at the packet's end",
         vorbis_file_paged(vorbis_comments_of_len(510, comments), 2), ID3_FMT_OGG},
        {"cover larger than one page", vorbis_file(vorbis_comments(with_cover)), ID3_FMT_OGG},
        {"opus", opus_file(opus_tags(comments)), ID3_FMT_OPUS},
        {"opus across pages, padding after the comments",
         opus_file(opus_tags(comments, repeat(0, 300)), 2), ID3_FMT_OPUS},
        {"opus cover", opus_file(opus_tags(with_cover)), ID3_FMT_OPUS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Read r(c.file);
        ASSERT_EQ(r.rc, 0) << r.message;
        EXPECT_EQ(r.t.format, c.format);
        EXPECT_EQ(text(r.t.title), "Tïtle");
        EXPECT_EQ(text(r.t.artist), "Who");
        EXPECT_EQ(text(r.t.album), "A");
        EXPECT_EQ(text(r.t.genre), "g");
        EXPECT_EQ(text(r.t.date), "2024");
        EXPECT_EQ(text(r.t.track), "7");
        bool has_cover = strstr(c.name, "cover") != nullptr;
        EXPECT_EQ(r.t.has_cover, has_cover ? 1 : 0);
        if (has_cover) {
            EXPECT_STREQ(r.t.cover_mime, "image/png");
            EXPECT_EQ(r.cover(), cover);
        }
    }
}

TEST(OggRead, LacingOfTheExactLengthPacket) {
    // The fixture the table relies on: two full pages, then one holding only the closing 0.
    uint32_t seq = 1;
    Bytes pages = ogg_packets(SERIAL, &seq, {vorbis_comments_of_len(510, {})}, 2);
    Parsed p = parse(pages);
    ASSERT_EQ(p.fault, "");
    ASSERT_EQ(p.pages.size(), 2u);
    EXPECT_EQ(p.pages[1].flags & 1, 1);
    EXPECT_EQ(pages.back(), 0); // the second page: the closing 0-length lacing, no body
    ASSERT_EQ(p.packets.size(), 1u);
    EXPECT_EQ(p.packets[0].size(), 510u);
}

TEST(OggRead, WhichPictureIsTheCover) {
    Bytes front = S("front"), back = S("back"), legacy = S("legacy");
    struct Case {
        const char* name;
        std::vector<std::string> comments;
        Bytes cover;
        const char* mime;
    } cases[] = {
        {"front cover after another picture",
         {picture_comment(4, "image/gif", back), picture_comment(3, "image/png", front)},
         front,
         "image/png"},
        {"no front cover: the first picture",
         {picture_comment(4, "image/gif", back), picture_comment(5, "image/png", front)},
         back,
         "image/gif"},
        {"picture before COVERART",
         {"COVERART=" + base64_text(legacy), picture_comment(0, "image/png", front)},
         front,
         "image/png"},
        {"COVERART with its type",
         {"COVERARTMIME=image/png", "COVERART=" + base64_text(legacy)},
         legacy,
         "image/png"},
        {"COVERART alone", {"COVERART=" + base64_text(legacy)}, legacy, "image/jpeg"},
        {"base64 with line breaks",
         {"COVERART=" + base64_text(legacy).substr(0, 4) + "\r\n" + base64_text(legacy).substr(4)},
         legacy,
         "image/jpeg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Read r(opus_file(opus_tags(c.comments)));
        ASSERT_EQ(r.rc, 0) << r.message;
        EXPECT_EQ(r.cover(), c.cover);
        EXPECT_STREQ(r.t.cover_mime, c.mime);
    }
}

TEST(OggRead, DamagedOrForeignPages) {
    Bytes good = vorbis_file(vorbis_comments({"TITLE=t"}), OWN_PAGES);
    Bytes bad_crc = good;
    bad_crc[58 + 40] ^= 1; // a byte of the comment packet, on the second page
    Bytes bad_capture = good;
    bad_capture[58] = 'X';
    Bytes bad_version = good;
    bad_version[58 + 4] = 1;
    // Another stream's pages between ours (a multiplexed file): passed over.
    uint32_t ours = 0, theirs = 0;
    // (One statement each: the pages of a stream are numbered in the order they are built.)
    Bytes multiplexed = ogg_packets(SERIAL, &ours, {vorbis_id_packet()});
    multiplexed += ogg_packets(7, &theirs, {S("\x80theora") + repeat(0, 40)});
    multiplexed += ogg_packets(SERIAL, &ours, {vorbis_comments({"TITLE=t"}), SETUP});
    multiplexed += ogg_packets(7, &theirs, {repeat(1, 50)});
    // A packet left open with no page going on with it.
    uint32_t seq = 0;
    Bytes broken = ogg_packets(SERIAL, &seq, {vorbis_id_packet()}) +
                   ogg_page(0, UINT64_MAX, SERIAL, 1, B({255}), repeat('x', 255)) +
                   ogg_page(0, 0, SERIAL, 2, B({10}), repeat('y', 10));
    struct Case {
        const char* name;
        Bytes file;
        int rc;
        std::string message;
    } cases[] = {
        {"sound", good, 0, ""},
        {"checksum", bad_crc, -1, "Ogg page checksum mismatch at offset 58"},
        {"capture", bad_capture, -1, "not an Ogg page at offset 58"},
        {"version", bad_version, -1, "not an Ogg page at offset 58"},
        {"cut in the header", Bytes(good.begin(), good.begin() + 70), -1,
         "Ogg page runs past the end of the file"},
        {"cut in the lacing", Bytes(good.begin(), good.begin() + 58 + 27), -1,
         "Ogg page runs past the end of the file"},
        {"cut in the body", Bytes(good.begin(), good.begin() + 58 + 60), -1,
         "Ogg page runs past the end of the file"},
        {"ends after the first page", Bytes(good.begin(), good.begin() + 58), -1,
         "Ogg stream ends within its header packets"},
        {"multiplexed", multiplexed, 0, ""},
        {"packet not continued", broken, -1,
         "Ogg header packets broken across pages at offset 341"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Read r(c.file);
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(r.message, c.message);
        if (c.rc == 0) {
            EXPECT_EQ(text(r.t.title), "t");
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Writing

namespace {

struct Written {
    int rc;
    std::string message;
    Bytes before, after;
};

// Writes the file with id3_write (tags given) or id3_set_cover (picture given).
Written write_with(const Bytes& file, const char* tags, const Bytes* picture = nullptr) {
    TempDir dir;
    std::string path = dir.file("f.ogg"), image = dir.file("cover.png");
    write_file(path, file);
    if (picture)
        write_file(image, *picture);
    Written w;
    w.before = file;
    w.rc = picture ? id3_set_cover(path.c_str(), image.c_str()) : id3_write(path.c_str(), tags);
    w.message = id3_last_error();
    w.after = read_file(path);
    return w;
}

// The comments of a parsed file's comment packet.
std::vector<std::string> comments_of(const Parsed& p, size_t prefix) {
    std::vector<std::string> out;
    if (p.packets.size() < 2)
        return out;
    const Bytes& packet = p.packets[1];
    id3_vc_walk w;
    id3_vc_walk_start(&w, packet.data() + prefix, packet.size() - prefix);
    const char* t = nullptr;
    uint64_t n = 0;
    while (id3_vc_walk_next(&w, &t, &n))
        out.emplace_back(t, n);
    return out;
}

} // namespace

TEST(OggWrite, HeaderPagesShrinkStayOrGrow) {
    const std::vector<std::string> old = {"TITLE=old", "ARTIST=Who", "Comment=kept", "noequals",
                                          "title=second"};
    Bytes big = repeat(0xAB, 150000);
    std::vector<std::string> with_cover = old;
    with_cover.push_back(picture_comment(3, "image/png", big));
    with_cover.push_back(picture_comment(4, "image/png", S("back")));
    Bytes png = S("\x89PNG\r\n\x1a\n") + repeat(0x50, 200000);
    struct Case {
        const char* name;
        Bytes file;
        const char* tags;
        const Bytes* picture;
        std::vector<std::string> expected;
        int page_change; // sign of the header page count's change
    } cases[] = {
        {"same pages",
         vorbis_file(vorbis_comments(old)),
         R"({"title":"new"})",
         nullptr,
         {"TITLE=new", "ARTIST=Who", "Comment=kept", "noequals"},
         0},
        {"small pages get full",
         vorbis_file(vorbis_comments(old), SMALL_PAGES),
         R"({"title":"new"})",
         nullptr,
         {"TITLE=new", "ARTIST=Who", "Comment=kept", "noequals"},
         -1},
        {"cover removed",
         vorbis_file(vorbis_comments(with_cover)),
         R"({"cover":null})",
         nullptr,
         {"TITLE=old", "ARTIST=Who", "Comment=kept", "noequals", "title=second",
          picture_comment(4, "image/png", S("back"))},
         -1},
        {"cover set",
         vorbis_file(vorbis_comments(old)),
         nullptr,
         &png,
         {"TITLE=old", "ARTIST=Who", "Comment=kept", "noequals", "title=second",
          picture_comment(3, "image/png", png)},
         1},
        {"opus, padding kept",
         opus_file(opus_tags(old, repeat(0, 200))),
         R"({"artist":null})",
         nullptr,
         {"TITLE=old", "Comment=kept", "noequals", "title=second"},
         0},
        {"opus cover set",
         opus_file(opus_tags(old)),
         nullptr,
         &png,
         {"TITLE=old", "ARTIST=Who", "Comment=kept", "noequals", "title=second",
          picture_comment(3, "image/png", png)},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Written w = write_with(c.file, c.tags, c.picture);
        ASSERT_EQ(w.rc, 0) << w.message;
        Parsed before = parse(w.before), after = parse(w.after);
        ASSERT_EQ(before.fault, "");
        ASSERT_EQ(after.fault, "");
        bool vorbis = id3_ogg_detect(w.before.data(), w.before.size()) == ID3_FMT_OGG;
        size_t prefix = vorbis ? 7 : 8;
        EXPECT_EQ(comments_of(after, prefix), c.expected);
        // The vendor and what follows the comments stay.
        const Bytes& old_packet = before.packets[1];
        const Bytes& new_packet = after.packets[1];
        size_t vendor_end = prefix + 4 + id3_le32(&old_packet[prefix]);
        EXPECT_EQ(Bytes(new_packet.begin(), new_packet.begin() + vendor_end),
                  Bytes(old_packet.begin(), old_packet.begin() + vendor_end));
        size_t old_extent =
            prefix + id3_vc_extent(old_packet.data() + prefix, old_packet.size() - prefix);
        size_t new_extent =
            prefix + id3_vc_extent(new_packet.data() + prefix, new_packet.size() - prefix);
        EXPECT_EQ(Bytes(new_packet.begin() + new_extent, new_packet.end()),
                  Bytes(old_packet.begin() + old_extent, old_packet.end()));
        // Every other packet, and the audio pages' granules and flags, unchanged.
        ASSERT_EQ(after.packets.size(), before.packets.size());
        for (size_t i = 0; i < before.packets.size(); i++) {
            if (i != 1) {
                EXPECT_EQ(after.packets[i], before.packets[i]) << "packet " << i;
            }
        }
        size_t audio_pages = 3;
        ASSERT_GE(before.pages.size(), audio_pages);
        ASSERT_GE(after.pages.size(), audio_pages);
        // The written header pages: granule 0 where a packet ends, -1 where none does (the large
        // covers' comment packets fill pages on which nothing ends).
        for (size_t i = 1; i + audio_pages < after.pages.size(); i++) {
            const Parsed::Page& page = after.pages[i];
            EXPECT_EQ(page.granule, page.packet_ends ? 0 : UINT64_MAX) << "page " << i;
        }
        for (size_t i = 1; i <= audio_pages; i++) {
            const Parsed::Page& a = after.pages[after.pages.size() - i];
            const Parsed::Page& b = before.pages[before.pages.size() - i];
            EXPECT_EQ(a.granule, b.granule);
            EXPECT_EQ(a.flags, b.flags);
            EXPECT_EQ(a.serial, b.serial);
        }
        int change = after.pages.size() > before.pages.size()   ? 1
                     : after.pages.size() < before.pages.size() ? -1
                                                                : 0;
        EXPECT_EQ(change, c.page_change);
        // The first page stays byte for byte.
        size_t first_page = 27 + 1 + w.before[27];
        EXPECT_EQ(Bytes(w.after.begin(), w.after.begin() + first_page),
                  Bytes(w.before.begin(), w.before.begin() + first_page));
    }
}

TEST(OggWrite, RefusedFilesStayAsTheyWere) {
    Bytes good = vorbis_file(vorbis_comments({"TITLE=t"}), OWN_PAGES);
    Bytes bad_crc = good;
    bad_crc[58 + 40] ^= 1;
    uint32_t ours = 0, theirs = 0;
    Bytes multiplexed = ogg_packets(SERIAL, &ours, {vorbis_id_packet()});
    multiplexed += ogg_packets(7, &theirs, {S("\x80theora") + repeat(0, 40)});
    multiplexed += ogg_packets(SERIAL, &ours, {vorbis_comments({"TITLE=t"}), SETUP});
    multiplexed += audio_pages(SERIAL, &ours);
    Bytes chained = good + vorbis_file(vorbis_comments({"TITLE=u"}), OWN_PAGES, 99);
    Bytes cut_audio(good.begin(), good.end() - 10);
    // The setup packet and the first audio packet on one page.
    uint32_t seq = 0;
    Bytes shared = ogg_packets(SERIAL, &seq, {vorbis_id_packet()});
    shared += ogg_packets(SERIAL, &seq, {vorbis_comments({}), SETUP, repeat(1, 50)});
    // The comment packet begins on the identification packet's page, which a write keeps.
    const std::vector<std::string> long_comments = {"TITLE=t", "COMMENT=" + std::string(400, 'c')};
    Bytes vorbis_id_shared =
        id_page_shared(vorbis_id_packet(), vorbis_comments(long_comments), SETUP);
    Bytes opus_id_shared = id_page_shared(opus_head_packet(), opus_tags(long_comments), {});
    struct Case {
        const char* name;
        Bytes file;
        std::string message;
    } cases[] = {
        {"checksum", bad_crc, "Ogg page checksum mismatch at offset 58"},
        {"multiplexed", multiplexed, "Ogg file with several streams: write unsupported"},
        {"chained", chained, "Ogg file with several streams: write unsupported"},
        {"audio cut", cut_audio, "Ogg file does not end with a whole page"},
        {"audio on a header page", shared,
         "Ogg header packets share pages with audio: write unsupported"},
        {"vorbis comments begin on the first page", vorbis_id_shared,
         "Ogg identification packet shares its page: write unsupported"},
        {"opus tags begin on the first page", opus_id_shared,
         "Ogg identification packet shares its page: write unsupported"},
    };
    // Such a file is sound: it reads.
    for (const Bytes* file : {&vorbis_id_shared, &opus_id_shared}) {
        ASSERT_EQ(parse(*file).fault, "");
        Read r(*file);
        EXPECT_EQ(r.rc, 0) << r.message;
        EXPECT_EQ(text(r.t.title), "t");
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Written w = write_with(c.file, R"({"title":"new"})");
        EXPECT_EQ(w.rc, -1);
        EXPECT_EQ(w.message, c.message);
        EXPECT_EQ(w.after, w.before);
    }
}

// A title far longer than the 1023 bytes a comment was once cut to is written whole, across header
// pages, and reads back whole.
TEST(OggWrite, LongTitleIsStoredWhole) {
    const std::string title(70000, 't');
    const std::string json = "{\"title\":\"" + title + "\"}";
    const std::vector<std::string> old = {"TITLE=old", "ARTIST=Who"};
    struct Case {
        const char* name;
        Bytes file;
        size_t prefix;
    } cases[] = {{"vorbis", vorbis_file(vorbis_comments(old)), 7},
                 {"opus", opus_file(opus_tags(old)), 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path = dir.file("song");
        ASSERT_TRUE(write_file(path, c.file));
        ASSERT_EQ(id3_write(path.c_str(), json.c_str()), 0) << id3_last_error();
        Parsed after = parse(read_file(path));
        ASSERT_EQ(after.fault, "");
        std::vector<std::string> comments = comments_of(after, c.prefix);
        ASSERT_EQ(comments.size(), 2u);
        EXPECT_EQ(comments[0].size(), 6 + title.size());
        EXPECT_TRUE(comments[0] == "TITLE=" + title);
        EXPECT_EQ(comments[1], "ARTIST=Who");
        // A read gives it whole too.
        char* read = id3_read(path.c_str());
        ASSERT_NE(read, nullptr) << id3_last_error();
        std::string expected = "{\"title\":\"" + title + "\",\"artist\":\"Who\",";
        EXPECT_TRUE(strncmp(read, expected.c_str(), expected.size()) == 0);
        id3_free_string(read);
    }
}

TEST(OggWrite, DamagedAudioPageFailsTheRenumberedCopy) {
    // The header pages shrink, so every audio page is renumbered: bytes among them that are no
    // page fail the write, and the file stays.
    uint32_t seq = 0;
    Bytes file = ogg_packets(SERIAL, &seq, {vorbis_id_packet()});
    file += ogg_packets(SERIAL, &seq, {vorbis_comments({}), SETUP}, 3);
    file += audio_pages(SERIAL, &seq) + S("junk");
    file += audio_pages(SERIAL, &seq);
    Written w = write_with(file, R"({"title":"new"})");
    EXPECT_EQ(w.rc, -1);
    EXPECT_EQ(w.message, "damaged Ogg page among the audio");
    EXPECT_EQ(w.after, w.before);
}

TEST(OggWrite, BatchWritesVorbisAndOpusAndRefusesASecondStream) {
    TempDir dir;
    std::string vorbis = dir.file("a.ogg"), opus = dir.file("b.opus"), chained = dir.file("c.ogg");
    Bytes two = vorbis_file(vorbis_comments({})) + vorbis_file(vorbis_comments({}), SHARED, 99);
    ASSERT_TRUE(write_file(vorbis, vorbis_file(vorbis_comments({"TITLE=x"}), SMALL_PAGES)));
    ASSERT_TRUE(write_file(opus, opus_file(opus_tags({"TITLE=x"}))));
    ASSERT_TRUE(write_file(chained, two));
    std::string paths = "[\"" + vorbis + "\",\"" + chained + "\",\"" + opus + "\"]";
    EXPECT_EQ(id3_batch(paths.c_str(), R"({"album":"Live"})"), 2);
    for (const std::string& path : {vorbis, opus}) {
        Read r(read_file(path));
        EXPECT_EQ(text(r.t.album), "Live") << path;
        EXPECT_EQ(text(r.t.title), "x") << path;
        EXPECT_EQ(parse(read_file(path)).fault, "") << path;
    }
    EXPECT_EQ(read_file(chained), two);
}

TEST(OggWrite, StreamWithoutAudioKeepsItsEndFlag) {
    // The last header page ends the stream: after the write, the new last page does.
    uint32_t seq = 0;
    Bytes file = ogg_packets(SERIAL, &seq, {opus_head_packet()});
    Bytes tags = ogg_packets(SERIAL, &seq, {opus_tags({"TITLE=t"})});
    tags[5] |= 4;
    Bytes rebuilt = ogg_page(tags[5], 0, SERIAL, 1, B({tags[27]}),
                             Bytes(tags.begin() + 28, tags.end())); // checksum with the flag
    Written w = write_with(file + rebuilt, R"({"title":"a longer title than before"})");
    ASSERT_EQ(w.rc, 0) << w.message;
    Parsed p = parse(w.after);
    ASSERT_EQ(p.fault, "");
    ASSERT_EQ(p.pages.size(), 2u);
    EXPECT_EQ(p.pages[1].flags, 4);
}

TEST(OggWrite, WrittenFileReadsBackAndCoverExtracts) {
    TempDir dir;
    std::string path = dir.file("a.opus"), image = dir.file("c.jpg"), out = dir.file("out");
    ASSERT_TRUE(write_file(path, opus_file(opus_tags({"TITLE=x"}))));
    Bytes jpeg = B({0xFF, 0xD8, 0xFF}) + repeat(7, 70000);
    ASSERT_TRUE(write_file(image, jpeg));
    ASSERT_EQ(id3_write(path.c_str(), R"({"title":"A","artist":"B","track":"3"})"), 0)
        << id3_last_error();
    ASSERT_EQ(id3_set_cover(path.c_str(), image.c_str()), 0) << id3_last_error();
    char* json = id3_read(path.c_str());
    ASSERT_NE(json, nullptr);
    EXPECT_STREQ(json, R"({"title":"A","artist":"B","album":"","genre":"","date":"","track":"3",)"
                       R"("format":"opus","has_cover":true,"cover_mime":"image/jpeg"})");
    id3_free_string(json);
    ASSERT_EQ(id3_extract_cover(path.c_str(), out.c_str()), 0) << id3_last_error();
    EXPECT_EQ(read_file(out), jpeg);
    EXPECT_EQ(parse(read_file(path)).fault, "");
}

// id3_read_all of Vorbis and Opus files: every comment a property under its upper-cased name,
// values of one name together in the file's order; the picture comments are pictures, not
// properties, and the COVERART picture takes the COVERARTMIME type.
TEST(OggReadAll, CommentsArePropertiesAndPictureCommentsArePictures) {
    const std::vector<std::string> comments = {"artist=A",
                                               "TITLE=T",
                                               "Artist=B",
                                               "replaygain_track_gain=-3.1 dB",
                                               picture_comment(4, "image/png", repeat(0x11, 300)),
                                               "COVERARTMIME=image/gif",
                                               "COVERART=" + base64_text(repeat(0x22, 30)),
                                               "no equals sign"};
    struct Case {
        const char* name;
        Bytes file;
        const char* format;
    };
    const Case cases[] = {{"vorbis", vorbis_file(vorbis_comments(comments)), "ogg"},
                          {"opus", opus_file(opus_tags(comments), 3), "opus"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path = dir.file("song");
        ASSERT_TRUE(write_file(path, c.file));
        char* json = id3_read_all(path.c_str());
        ASSERT_NE(json, nullptr) << id3_last_error();
        std::string text = json;
        id3_free_string(json);
        EXPECT_EQ(text,
                  std::string("{\"format\":\"") + c.format +
                      "\",\"properties\":{\"ARTIST\":[\"A\",\"B\"],\"TITLE\":[\"T\"],"
                      "\"REPLAYGAIN_TRACK_GAIN\":[\"-3.1 dB\"]},\"pictures\":["
                      "{\"type\":4,\"mime\":\"image/png\",\"description\":\"\",\"size\":300},"
                      "{\"type\":3,\"mime\":\"image/gif\",\"description\":\"\",\"size\":30}]}");
    }
}

// A property write replaces every comment of the keys it names, whatever their case, keeps the
// others and the pictures, and one of the same values changes no byte.
TEST(OggReadAll, PropertyWriteReplacesTheNamedKeysComments) {
    const std::vector<std::string> comments = {"artist=A",
                                               "TITLE=T",
                                               "Artist=B",
                                               "replaygain_track_gain=-3.1 dB",
                                               picture_comment(4, "image/png", repeat(0x11, 300)),
                                               "no equals sign"};
    const Bytes files[] = {vorbis_file(vorbis_comments(comments)),
                           opus_file(opus_tags(comments), 3)};
    for (const Bytes& file : files) {
        TempDir dir;
        std::string path = dir.file("song");
        ASSERT_TRUE(write_file(path, file));
        const char* update = "{\"properties\":{\"ARTIST\":[\"C\",\"D\",\"E\"],"
                             "\"Replaygain_Track_Gain\":[],\"MOOD\":[\"calm\"]}}";
        ASSERT_EQ(id3_write(path.c_str(), update), 0) << id3_last_error();
        char* json = id3_read_all(path.c_str());
        ASSERT_NE(json, nullptr) << id3_last_error();
        std::string text = json;
        id3_free_string(json);
        EXPECT_NE(text.find("\"properties\":{\"ARTIST\":[\"C\",\"D\",\"E\"],\"MOOD\":[\"calm\"],"
                            "\"TITLE\":[\"T\"]},\"pictures\":[{\"type\":4"),
                  std::string::npos)
            << text;
        Bytes before = read_file(path);
        ASSERT_EQ(
            id3_write(path.c_str(), "{\"properties\":{\"TITLE\":[\"T\"],\"MOOD\":[\"calm\"]}}"), 0);
        EXPECT_EQ(read_file(path), before);
    }
}

// A comment's name is printable ASCII up to '}' without '=': a property key with '~' is refused
// before the file is touched, one with '}' is written.
TEST(OggReadAll, CommentNamesEndAtTheBrace) {
    struct File {
        const char* format;
        Bytes bytes;
        size_t prefix; // of the comment packet
    };
    const File files[] = {{"ogg", vorbis_file(vorbis_comments({"TITLE=T"})), 7},
                          {"opus", opus_file(opus_tags({"TITLE=T"})), 8}};
    struct Case {
        const char* key_json;
        const char* message; // nullptr: written
    } cases[] = {{"A}", nullptr},
                 {"A~", "key not supported by %s: A~"},
                 {"~", "key not supported by %s: ~"}};
    for (const File& file : files) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(file.format) + " " + c.key_json);
            TempDir dir;
            std::string path = dir.file("song");
            ASSERT_TRUE(write_file(path, file.bytes));
            std::string json = std::string("{\"properties\":{\"") + c.key_json + "\":[\"x\"]}}";
            if (!c.message) {
                ASSERT_EQ(id3_write(path.c_str(), json.c_str()), 0) << id3_last_error();
                EXPECT_EQ(comments_of(parse(read_file(path)), file.prefix),
                          (std::vector<std::string>{"A}=x", "TITLE=T"}));
                continue;
            }
            char message[64];
            snprintf(message, sizeof message, c.message, file.format);
            EXPECT_EQ(id3_write(path.c_str(), json.c_str()), -1);
            EXPECT_STREQ(id3_last_error(), message);
            EXPECT_TRUE(read_file(path) == file.bytes);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The one load: the model a read, a property read and a write all take the tags from.

// The comments are items with their spans; the picture comments are pictures, their bytes
// decoded. A COVERART picture is listed with the first COVERARTMIME type that is not empty, while
// the record's cover takes the first COVERARTMIME comment's, image/jpeg when that is empty.
TEST(OggLoad, CommentsAndPictureCommentsInOneModel) {
    const Bytes legacy = repeat(0x22, 30);
    Bytes file = vorbis_file(vorbis_comments({"TITLE=a", "COVERARTMIME=", "COVERARTMIME=image/gif",
                                              "COVERART=" + base64_text(legacy), "NOTE"}),
                             OWN_PAGES);
    LoadedModel l(ID3_FMT_OGG, file);
    ASSERT_EQ(l.rc, 0);
    ASSERT_EQ(l.m.item_count, 5u);
    EXPECT_EQ(l.raw(0), le32(7) + S("TITLE=a"));
    EXPECT_EQ(l.m.items[1].kind, ID3_ITEM_OTHER); // COVERARTMIME: not listed
    const id3_item& coverart = l.m.items[3];
    ASSERT_EQ(coverart.kind, ID3_ITEM_PICTURE);
    EXPECT_EQ(coverart.picture_type, 3);
    EXPECT_EQ(Bytes(coverart.data, coverart.data + coverart.data_len), legacy);
    EXPECT_EQ(l.m.items[4].kind, ID3_ITEM_OTHER);

    Folds folds(l.m);
    ASSERT_EQ(folds.rc, 0);
    id3_record& t = folds.t;
    const id3_property_map& p = folds.p;
    EXPECT_EQ(text(t.title), "a");
    EXPECT_STREQ(t.cover_mime, "image/jpeg");
    ASSERT_EQ(p.picture_count, 1u);
    EXPECT_STREQ(p.pictures[0].mime, "image/gif");
    EXPECT_EQ(p.pictures[0].size, legacy.size());
    ASSERT_EQ(p.count, 1u);
    EXPECT_STREQ(p.items[0].key, "TITLE");
}

// The load reads the setup packet too, so that a write takes every header packet from it. A page
// after the comment packet that cannot be read does not fail a read (the tags are whole), and the
// write stops with its message, the file as it was.
TEST(OggLoad, PagesAfterTheCommentsFailOnlyTheWrite) {
    uint32_t seq = 0;
    Bytes head = ogg_packets(SERIAL, &seq, {vorbis_id_packet()});
    head += ogg_packets(SERIAL, &seq, {vorbis_comments({"TITLE=t"})});
    Bytes good = head + ogg_packets(SERIAL, &seq, {SETUP}) + audio_pages(SERIAL, &seq);
    {
        LoadedModel l(ID3_FMT_OGG, good);
        ASSERT_EQ(l.rc, 0);
        ASSERT_NE(l.m.ogg, nullptr);
    }
    Bytes bad_setup = good;
    bad_setup[head.size() + 30] ^= 1; // a byte of the setup packet's page
    Bytes cut = Bytes(good.begin(), good.begin() + head.size() + 20);
    std::string at = std::to_string(head.size());
    struct Case {
        const char* name;
        Bytes file;
        std::string message;
    } cases[] = {
        {"setup page checksum", bad_setup, "Ogg page checksum mismatch at offset " + at},
        {"cut in the setup page", cut, "Ogg page runs past the end of the file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Read r(c.file);
        EXPECT_EQ(r.rc, 0) << r.message;
        EXPECT_EQ(r.message, "");
        EXPECT_EQ(text(r.t.title), "t");
        Written w = write_with(c.file, R"({"title":"new"})");
        EXPECT_EQ(w.rc, -1);
        EXPECT_EQ(w.message, c.message);
        EXPECT_EQ(w.after, w.before);
        const Bytes picture = S("\x89PNG\r\n\x1a\n") + repeat(1, 20);
        Written cover = write_with(c.file, nullptr, &picture);
        EXPECT_EQ(cover.rc, -1);
        EXPECT_EQ(cover.message, c.message);
        EXPECT_EQ(cover.after, cover.before);
    }
}

// The first front cover among the picture comments is the cover even when its fields cannot be
// read: the record then has none, though a later picture could be read. The listing passes over
// it and lists the later one.
TEST(OggLoad, UnreadableFirstFrontCoverLeavesNoCover) {
    const Bytes front = repeat(0x33, 12);
    Bytes file = vorbis_file(
        vorbis_comments({"METADATA_BLOCK_PICTURE=" + base64_text(B({0, 0, 0, 3, 0, 0, 0, 0})),
                         picture_comment(3, "image/png", front)}));
    Read r(file);
    ASSERT_EQ(r.rc, 0) << r.message;
    EXPECT_EQ(r.t.has_cover, 0);
    EXPECT_EQ(r.t.cover_data, nullptr);
    LoadedModel l(ID3_FMT_OGG, file);
    ASSERT_EQ(l.rc, 0);
    EXPECT_EQ(l.m.items[0].kind, ID3_ITEM_BAD_PICTURE);
    Folds folds(l.m);
    ASSERT_EQ(folds.rc, 0);
    ASSERT_EQ(folds.p.picture_count, 1u);
    EXPECT_EQ(folds.p.pictures[0].size, front.size());
}

// A comment whose name holds a NUL is listed under the name up to it, but gives no field of the
// record: its whole name is not the field's.
TEST(OggLoad, NameWithANulIsNoFieldsName) {
    Bytes file = vorbis_file(vorbis_comments({std::string("TITLE\0x=foo", 11), "ARTIST=a"}));
    Read r(file);
    ASSERT_EQ(r.rc, 0) << r.message;
    EXPECT_EQ(text(r.t.title), std::nullopt);
    EXPECT_EQ(text(r.t.artist), "a");
    LoadedModel l(ID3_FMT_OGG, file);
    Folds folds(l.m);
    ASSERT_EQ(folds.p.count, 2u);
    EXPECT_STREQ(folds.p.items[0].key, "TITLE");
    EXPECT_STREQ(folds.p.items[0].value, "foo");
}
