// Writes on the file system of TMPDIR. Where it can share blocks between files (XFS with reflink,
// btrfs), the new file's audio starts at the old offset in a block, its padding is at most one
// block less one byte longer, and FIEMAP shows its whole audio blocks at the old file's physical
// blocks. Where it cannot (ext4, tmpfs), the file holds exactly the head the writer built and the
// old audio. tests/clone/run.sh runs this on loop-mounted XFS and btrfs.
#include "id3_internal.h"
#include "quorvale_id3tag.h"
#include "test_util.h"
#include "write_paths.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

namespace {

struct Extent {
    uint64_t logical, physical, length;
    uint32_t flags;
};

// The file's extents as FIEMAP reports them (data flushed first, so that none is delayed).
std::vector<Extent> extents_of(const std::string& path) {
    std::vector<Extent> out;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return out;
    const unsigned max = 512;
    std::vector<uint8_t> buf(sizeof(fiemap) + max * sizeof(fiemap_extent));
    fiemap* map = (fiemap*)buf.data();
    map->fm_start = 0;
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = max;
    if (ioctl(fd, FS_IOC_FIEMAP, map) == 0) {
        for (unsigned i = 0; i < map->fm_mapped_extents; i++) {
            const fiemap_extent& e = map->fm_extents[i];
            out.push_back({e.fe_logical, e.fe_physical, e.fe_length, e.fe_flags});
        }
    }
    close(fd);
    return out;
}

// The physical address of a logical offset, with the extent's flags; false in a hole.
bool physical_at(const std::vector<Extent>& map, uint64_t off, uint64_t* phys, uint32_t* flags) {
    for (const Extent& e : map) {
        if (off >= e.logical && off < e.logical + e.length) {
            *phys = e.physical + (off - e.logical);
            *flags = e.flags;
            return true;
        }
    }
    return false;
}

uint64_t fs_block(const std::string& dir) {
    struct statfs fs;
    return statfs(dir.c_str(), &fs) == 0 ? (uint64_t)fs.f_bsize : 0;
}

// Whether dst can share src's blocks: a whole-file clone.
bool clone_file(const std::string& src, const std::string& dst) {
    int in = open(src.c_str(), O_RDONLY);
    int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool ok = in >= 0 && out >= 0 && ioctl(out, FICLONE, in) == 0;
    if (in >= 0)
        close(in);
    if (out >= 0)
        close(out);
    return ok;
}

Bytes random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    Bytes out(n);
    for (uint8_t& b : out)
        b = (uint8_t)gen();
    return out;
}

std::string json_of(const std::string& path) {
    char* json = id3_read(path.c_str());
    std::string text = json ? json : "(null)";
    id3_free_string(json);
    return text;
}

const Bytes FLAC_STREAMINFO = flac_block(0, repeat(0x11, 34));

// Whether every whole block of the new file from new_off on, for len bytes, is the old file's
// block at old_off onwards, shared.
bool blocks_shared(const std::string& new_path, uint64_t new_off, const std::string& old_path,
                   uint64_t old_off, uint64_t len, uint64_t block) {
    std::vector<Extent> new_map = extents_of(new_path), old_map = extents_of(old_path);
    uint64_t first = (new_off + block - 1) / block * block, blocks = 0;
    for (uint64_t at = first; at + block <= new_off + len; at += block) {
        uint64_t phys_new = 0, phys_old = 0;
        uint32_t flags = 0, old_flags = 0;
        if (!physical_at(new_map, at, &phys_new, &flags) ||
            !physical_at(old_map, at - new_off + old_off, &phys_old, &old_flags) ||
            phys_new != phys_old || !(flags & FIEMAP_EXTENT_SHARED))
            return false;
        blocks++;
    }
    return blocks > 0;
}

// An M4A file as iTunes and ffmpeg (without faststart) write it: ftyp, mdat, then moov with the
// one chunk offset into mdat and a title.
const Bytes M4A_FTYP = mp4_atom("ftyp", S("M4A ") + be32(0x200) + S("M4A isommp42"));
Bytes m4a_moov_last(const Bytes& samples) {
    uint32_t samples_at = (uint32_t)M4A_FTYP.size() + 8;
    Bytes stbl = mp4_atom("stbl", mp4_atom("stsd", be32(0) + be32(0)) +
                                      mp4_atom("stco", be32(0) + be32(1) + be32(samples_at)));
    Bytes dinf = mp4_atom("dinf", mp4_atom("dref", be32(0) + be32(1) + mp4_atom("url ", be32(1))));
    Bytes mdia =
        mp4_atom("mdia", mp4_atom("mdhd", repeat(0, 24)) +
                             mp4_atom("hdlr", be32(0) + be32(0) + S("soun") + repeat(0, 13)) +
                             mp4_atom("minf", dinf + stbl));
    Bytes trak = mp4_atom("trak", mp4_atom("tkhd", repeat(0, 84)) + mdia);
    Bytes hdlr = mp4_atom("hdlr", be32(0) + be32(0) + S("mdirappl") + be32(0) + be32(0) + B({0}));
    Bytes ilst = mp4_atom("ilst", mp4_atom("\251nam", mp4_data(S("Old"))));
    Bytes udta = mp4_atom("udta", mp4_atom("meta", be32(0) + hdlr + ilst));
    return M4A_FTYP + mp4_atom("mdat", samples) +
           mp4_atom("moov", mp4_atom("mvhd", repeat(0, 100)) + trak + udta);
}

// An ID3v1 tag: title, artist, album, year, comment and genre in their fixed fields.
Bytes id3v1_tag(const std::string& title) {
    Bytes field = S(title);
    field.resize(30, 0);
    return S("TAG") + field + repeat(0, 30 + 30 + 4 + 30) + B({17});
}

} // namespace

TEST(Clone, WrittenFileAndSharedAudio) {
    TempDir dir;
    // The audio is long enough for whole blocks of every block size a file system uses.
    const Bytes audio = random_bytes(300 * 1024 + 777, 7);
    const Bytes small_audio = random_bytes(700, 8);
    Bytes old_tag = id3_tag(4, 0, id3_frame4("TIT2", id3_text("Old")) + repeat(0, 1001));
    Bytes big_tag = id3_tag(3, 0, id3_frame3("TPE1", id3_text(std::string(9000, 'a'), 0)));
    struct Case {
        const char* name;
        bool flac;
        Bytes before;
        uint64_t audio_off;
    } cases[] = {
        {"mp3 with a tag", false, old_tag + audio, old_tag.size()},
        {"mp3 without a tag", false, audio, 0},
        {"mp3 with a tag longer than two blocks", false, big_tag + audio, big_tag.size()},
        {"mp3 with less than a block of audio", false, old_tag + small_audio, old_tag.size()},
        {"flac without padding", true,
         S("fLaC") + FLAC_STREAMINFO + flac_block(4, vorbis_comment("v", {"A=b"}), true) + audio,
         4 + FLAC_STREAMINFO.size() + 4 + vorbis_comment("v", {"A=b"}).size()},
        {"flac with padding", true,
         S("fLaC") + FLAC_STREAMINFO + flac_block(1, repeat(0, 300), true) + audio,
         4 + FLAC_STREAMINFO.size() + 4 + 300},
    };
    const uint64_t block = fs_block(dir.path);
    ASSERT_GT(block, 0u);
    // Whether this file system clones at all decides what is expected.
    ASSERT_TRUE(write_file(dir.file("probe"), audio));
    const bool clones = clone_file(dir.file("probe"), dir.file("probe-copy"));
    printf("block size %llu, file system %s clone\n", (unsigned long long)block,
           clones ? "can" : "cannot");

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.file(c.flac ? "song.flac" : "song.mp3");
        std::string old = dir.file("old");
        ASSERT_TRUE(write_file(path, c.before));
        // The old file's blocks stay reachable after the rename through a clone of it (or, where
        // there is none, a second name).
        unlink(old.c_str());
        if (clones) {
            ASSERT_TRUE(clone_file(path, old));
        } else {
            ASSERT_EQ(link(path.c_str(), old.c_str()), 0);
        }
        std::vector<Extent> old_map = extents_of(old);

        id3_record t;
        id3_record_init(&t);
        id3_record_set_str(&t.title, "New");
        id3_change change = {named_fields_of(&t), 0, nullptr, 0};
        // The head the writer builds: what a file system without clones gets before the audio.
        id3_file f;
        ASSERT_EQ(id3_file_open(&f, path.c_str()), 0) << id3_last_error();
        id3_head head = {};
        ASSERT_EQ(build_head_for(&f, c.flac ? ID3_FMT_FLAC : ID3_FMT_MP3, &t, change, &head), 0);
        id3_file_close(&f);
        Bytes built(head.data, head.data + head.len);
        id3_head_release(&head);
        ASSERT_EQ(head.audio_off, c.audio_off);
        std::string plain = dir.file(c.flac ? "plain.flac" : "plain.mp3");
        Bytes audio_part(c.before.begin() + (long)c.audio_off, c.before.end());
        ASSERT_TRUE(write_file(plain, built + audio_part));

        int rc =
            c.flac ? write_record_flac(path.c_str(), &t, 0) : write_record_mp3(path.c_str(), &t);
        id3_record_free(&t);
        ASSERT_EQ(rc, 0) << id3_last_error();
        Bytes after = read_file(path);

        // Reads back as the plain layout does, and the audio is the old audio.
        EXPECT_EQ(json_of(path), json_of(plain));
        ASSERT_GE(after.size(), built.size() + audio_part.size());
        uint64_t extra = after.size() - built.size() - audio_part.size();
        uint64_t new_audio_off = built.size() + extra;
        EXPECT_TRUE(Bytes(after.begin() + (long)new_audio_off, after.end()) == audio_part);
        EXPECT_TRUE(Bytes(after.begin() + (long)built.size(),
                          after.begin() + (long)new_audio_off) == Bytes(extra, 0))
            << "the added padding is not zeros";
        if (!clones || audio_part.size() <= block) {
            EXPECT_EQ(extra, 0u);
            EXPECT_TRUE(after == built + audio_part) << "the bytes differ from the copy's";
            continue;
        }
        EXPECT_LT(extra, block);
        EXPECT_EQ(new_audio_off % block, c.audio_off % block);
        // The padding counts the added bytes: the ID3v2 size or the PADDING block's length.
        if (c.flac) {
            uint64_t at = 4;
            bool last = false;
            while (!last && at + 4 <= after.size()) {
                last = (after[at] & 0x80) != 0;
                if (last) {
                    EXPECT_EQ(after[at] & 0x7F, 1) << "the last block is not PADDING";
                }
                at += 4 + ((uint64_t)after[at + 1] << 16 | (uint64_t)after[at + 2] << 8 |
                           after[at + 3]);
            }
            EXPECT_EQ(at, new_audio_off);
        } else {
            EXPECT_EQ(id3_syncsafe32(after.data() + ID3_SIZE_AT) + (uint64_t)ID3_HEADER_LEN,
                      new_audio_off);
        }
        // Every whole block of the new audio is the old file's block at the same place.
        std::vector<Extent> new_map = extents_of(path);
        uint64_t first = (new_audio_off + block - 1) / block * block;
        uint64_t shared = 0, blocks = 0;
        for (uint64_t at = first; at + block <= after.size(); at += block) {
            blocks++;
            uint64_t phys_new = 0, phys_old = 0;
            uint32_t flags = 0, old_flags = 0;
            ASSERT_TRUE(physical_at(new_map, at, &phys_new, &flags)) << "hole at " << at;
            ASSERT_TRUE(
                physical_at(old_map, at - new_audio_off + c.audio_off, &phys_old, &old_flags));
            if (phys_new == phys_old && (flags & FIEMAP_EXTENT_SHARED))
                shared++;
        }
        EXPECT_GT(blocks, 0u);
        EXPECT_EQ(shared, blocks) << "audio blocks not shared with the old file";
    }
}

// A batch shares the audio as a single write does: on a file system that clones, every whole
// audio block of each file is the old file's block; elsewhere each file is the copy.
TEST(Clone, BatchSharesEachFilesAudio) {
    TempDir dir;
    const uint64_t block = fs_block(dir.path);
    ASSERT_GT(block, 0u);
    Bytes tag = id3_tag(4, 0, id3_frame4("TIT2", id3_text("Old")) + repeat(0, 500));
    std::vector<std::string> paths;
    std::vector<Bytes> audios;
    for (unsigned i = 0; i < 3; i++) {
        paths.push_back(dir.file("song" + std::to_string(i) + ".mp3"));
        audios.push_back(random_bytes(100 * 1024 + 33 * i, 20 + i));
        ASSERT_TRUE(write_file(paths[i], tag + audios[i]));
    }
    const bool clones = clone_file(paths[0], dir.file("probe"));
    std::string list = "[";
    for (size_t i = 0; i < paths.size(); i++) {
        if (clones) {
            ASSERT_TRUE(clone_file(paths[i], paths[i] + ".old"));
        }
        list += (i ? ",\"" : "\"") + paths[i] + "\"";
    }
    list += "]";
    ASSERT_EQ(id3_batch(list.c_str(), "{\"title\":\"Batch\"}"), 3) << id3_last_error();
    for (size_t i = 0; i < paths.size(); i++) {
        SCOPED_TRACE(paths[i]);
        Bytes after = read_file(paths[i]);
        ASSERT_GT(after.size(), audios[i].size());
        uint64_t audio_off = after.size() - audios[i].size();
        EXPECT_TRUE(Bytes(after.begin() + (long)audio_off, after.end()) == audios[i]);
        EXPECT_NE(json_of(paths[i]).find("\"title\":\"Batch\""), std::string::npos);
        EXPECT_EQ(id3_syncsafe32(after.data() + ID3_SIZE_AT) + (uint64_t)ID3_HEADER_LEN, audio_off);
        if (!clones)
            continue;
        EXPECT_EQ(audio_off % block, tag.size() % block);
        std::vector<Extent> new_map = extents_of(paths[i]);
        std::vector<Extent> old_map = extents_of(paths[i] + ".old");
        uint64_t first = (audio_off + block - 1) / block * block;
        for (uint64_t at = first; at + block <= after.size(); at += block) {
            uint64_t phys_new = 0, phys_old = 0;
            uint32_t flags = 0, old_flags = 0;
            ASSERT_TRUE(physical_at(new_map, at, &phys_new, &flags));
            ASSERT_TRUE(physical_at(old_map, at - audio_off + tag.size(), &phys_old, &old_flags));
            ASSERT_EQ(phys_new, phys_old) << "block at " << at << " not shared";
            ASSERT_TRUE(flags & FIEMAP_EXTENT_SHARED);
        }
    }
}

// The bytes around the shared ones: the start of an M4A file that stays before its new moov (ftyp
// and mdat, whose whole blocks are shared and the rest copied after them), and the ID3v1 tag
// written after an MP3 file's shared audio. Each lands after the shared blocks, where the file's
// position must be once they are shared: the file reads back with the new title and keeps every
// byte of its audio.
TEST(Clone, BytesCopiedAfterTheSharedBlocks) {
    TempDir dir;
    const uint64_t block = fs_block(dir.path);
    ASSERT_GT(block, 0u);
    const Bytes audio = random_bytes(300 * 1024 + 777, 9);
    Bytes v2 = id3_tag(4, 0, id3_frame4("TIT2", id3_text("Old")) + repeat(0, 700));
    struct Case {
        const char* name;
        Bytes before;
        uint64_t shared_from, shared_len; // the old file's bytes expected at the same place
    } cases[] = {
        {"song.m4a", m4a_moov_last(audio), 0, M4A_FTYP.size() + 8 + audio.size()},
        {"song.mp3", v2 + audio + id3v1_tag("Old"), v2.size(), audio.size()},
    };
    ASSERT_TRUE(write_file(dir.file("probe"), audio));
    const bool clones = clone_file(dir.file("probe"), dir.file("probe-copy"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.file(c.name), old = dir.file(std::string("old-") + c.name);
        ASSERT_TRUE(write_file(path, c.before));
        if (clones) {
            ASSERT_TRUE(clone_file(path, old));
        }
        EXPECT_EQ(id3_write(path.c_str(), "{\"title\":\"New\"}"), 0) << id3_last_error();
        Bytes after = read_file(path);
        EXPECT_NE(json_of(path).find("\"title\":\"New\""), std::string::npos) << json_of(path);
        // Where the kept bytes or the audio lie in the new file: at the start of an M4A file,
        // before the ID3v1 tag of an MP3 file.
        bool mp3 = c.shared_from > 0;
        if (after.size() < c.shared_len + (mp3 ? 128 : 0)) {
            ADD_FAILURE() << "the new file is too short: " << after.size() << " bytes";
            continue;
        }
        uint64_t new_from = mp3 ? after.size() - 128 - c.shared_len : 0;
        Bytes old_part(c.before.begin() + (long)c.shared_from,
                       c.before.begin() + (long)(c.shared_from + c.shared_len));
        EXPECT_TRUE(Bytes(after.begin() + (long)new_from,
                          after.begin() + (long)(new_from + c.shared_len)) == old_part)
            << "the old bytes are not where they belong";
        if (mp3) {
            Bytes v1(after.end() - 128, after.end());
            EXPECT_TRUE(Bytes(v1.begin(), v1.begin() + 6) == S("TAGNew")) << hex(v1);
        }
        if (clones) {
            EXPECT_TRUE(blocks_shared(path, new_from, old, c.shared_from, c.shared_len, block))
                << "not written on the path that shares blocks";
        }
    }
}
