// Tag writing on any file. The bytes become a file in a temporary folder (on tmpfs when there is
// one, so the disk flush costs nothing); the file is written with {} and then with a fixed tag
// object:
//   - a file of a writable kind (MP3 or FLAC) is rewritten. After {}, id3_read gives what it gave
//     before, the cover is the same, every old frame or comment the write carries is still there,
//     and a second {} changes nothing. After the fixed object, id3_read and the container's
//     reader give back the written texts and the cover it had is kept. The audio bytes (between
//     the tags, an MP3 file's ID3v1 tag left out) are unchanged throughout;
//   - an MP4 file is written or refused. Written with {}, it stays byte for byte as it was; with
//     the fixed object, the texts read back, the cover is kept, every mdat stays byte for byte in
//     order and every chunk offset that pointed into one points at the same bytes. Refused, it
//     stays byte for byte as it was, with a message;
//   - a FLAC file whose metadata blocks run past its end, and any other file, is refused with the
//     documented message and stays byte for byte as it was;
//   - an Ogg Vorbis or Opus file is either refused and stays as it was, or rewritten as above: its
//     audio pages keep every byte but the sequence numbers and checksums of renumbered pages;
//   - a file so written is then written with a properties object: the keys it names read back
//     with exactly its values, all other keys and pictures as they were, the audio unchanged, and
//     the same object again changes no byte;
//   - no temporary file is left beside it.
#include "fuzz_common.h"
#include "fuzz_write_tags.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

static const char* const WANT_TITLE = "Fuzz title \xE2\x9C\x93";
static const char* const WANT_ARTIST = "\xC3\x84rtist";

static char g_folder[64];
static std::string g_path;

static void remove_folder(void) {
    unlink(g_path.c_str());
    rmdir(g_folder);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    struct stat st;
    const char* base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    snprintf(g_folder, sizeof g_folder, "%s/qid3-fuzz-write-XXXXXX", base);
    fuzz_require(mkdtemp(g_folder) != nullptr, "temporary folder");
    g_path = std::string(g_folder) + "/song";
    atexit(remove_folder);
    return 0;
}

static Bytes read_all(const std::string& path) {
    Bytes out;
    FILE* f = fopen(path.c_str(), "rb");
    fuzz_require(f != nullptr, "the target still exists");
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        out.insert(out.end(), chunk, chunk + n);
    fclose(f);
    return out;
}

static size_t entries_in_folder() {
    DIR* d = opendir(g_folder);
    fuzz_require(d != nullptr, "open the temporary folder");
    size_t n = 0;
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            n++;
    }
    closedir(d);
    return n;
}

// End of a leading ID3v2 tag (with its footer), cut to the file: where an MP3 file's audio starts.
static uint64_t mp3_audio_start(const Bytes& b) {
    if (b.size() < 10 || memcmp(b.data(), "ID3", 3) != 0)
        return 0;
    uint64_t end = 10 + (uint64_t)id3_syncsafe32(b.data() + 6) + ((b[5] & 0x10) ? 10 : 0);
    return end < b.size() ? end : b.size();
}

// Where an MP3 file's audio ends: before an ID3v1 tag (its last 128 bytes when they begin with
// "TAG" and start after the ID3v2 tag), else at the end of the file.
static uint64_t mp3_audio_end(const Bytes& b) {
    uint64_t v1_at = b.size() - ID3_V1_TAG_LEN;
    return b.size() >= ID3_V1_TAG_LEN && v1_at >= mp3_audio_start(b) &&
                   memcmp(b.data() + v1_at, "TAG", 3) == 0
               ? v1_at
               : b.size();
}

// Where a FLAC stream starts: after an ID3v2 tag that it follows right away, else 0.
static uint64_t flac_base(const Bytes& b) {
    uint64_t end = mp3_audio_start(b);
    return end > 0 && b.size() - end >= 4 && memcmp(b.data() + end, "fLaC", 4) == 0 ? end : 0;
}

// Whether what stands at pos can follow a FLAC metadata block: the end of the file; after the
// last block, an audio frame's sync code (FF F8 or FF F9); else a block header of a valid type
// (not 127) whose body fits the file.
static bool flac_goes_on(const Bytes& b, uint64_t pos, bool after_last) {
    if (pos == b.size())
        return true;
    if (after_last)
        return b.size() - pos >= 2 && b[pos] == 0xFF && (b[pos + 1] & 0xFE) == 0xF8;
    return b.size() - pos >= 4 && (b[pos] & 0x7F) != 0x7F &&
           id3_be24(b.data() + pos + 1) <= b.size() - pos - 4;
}

// Bytes that the vendor, the count and the counted comments of a VORBIS_COMMENT body take from its
// start; 0 when they do not all fit its n bytes.
static uint64_t comments_extent(const uint8_t* body, uint64_t n) {
    if (n < 8 || id3_le32(body) > n - 8)
        return 0;
    uint64_t at = 8 + id3_le32(body);
    for (uint32_t left = id3_le32(body + at - 4); left > 0; left--) {
        if (n - at < 4 || id3_le32(body + at) > n - at - 4)
            return 0;
        at += 4 + id3_le32(body + at);
    }
    return at;
}

// The body length of the FLAC block at pos as the reader takes it, UINT64_MAX when it runs past
// the end of the file. Some taggers wrote a VORBIS_COMMENT length short of its comments: when
// they do not fit the declared body, nothing that can follow a block stands at its end, and the
// comments end where something can, the body runs to their end. (The reader looks at most 64 MiB
// past the declared end, more than an input here holds.)
static uint64_t flac_body_len(const Bytes& b, uint64_t pos) {
    uint64_t n = id3_be24(b.data() + pos + 1);
    if (n > b.size() - pos - 4)
        return UINT64_MAX;
    const uint8_t* body = b.data() + pos + 4;
    bool last = (b[pos] & 0x80) != 0;
    if ((b[pos] & 0x7F) != 4 || comments_extent(body, n) != 0 || flac_goes_on(b, pos + 4 + n, last))
        return n;
    uint64_t extent = comments_extent(body, b.size() - pos - 4);
    return extent != 0 && flac_goes_on(b, pos + 4 + extent, last) ? extent : n;
}

// End of the metadata blocks of a FLAC stream at base: after the block with the last-block flag,
// or where fewer than 4 bytes remain. UINT64_MAX when a block runs past the end of the file.
static uint64_t flac_audio_start(const Bytes& b, uint64_t base) {
    uint64_t pos = base + 4;
    for (;;) {
        if (b.size() - pos < 4)
            return pos;
        uint64_t body = flac_body_len(b, pos);
        if (body == UINT64_MAX)
            return UINT64_MAX;
        if (b[pos] & 0x80)
            return pos + 4 + body;
        pos += 4 + body;
    }
}

static bool contains(const Bytes& hay, const uint8_t* p, size_t n) {
    return std::search(hay.begin(), hay.end(), p, p + n) != hay.end();
}

static bool is_id_char(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The old FLAC comments (each with its length) and PICTURE bodies that a write of {} carries are
// all in the new file.
static void require_flac_items_kept(const Bytes& in, uint64_t base, const Bytes& out) {
    uint64_t pos = base + 4;
    while (in.size() - pos >= 4) {
        uint64_t n = flac_body_len(in, pos);
        const uint8_t* body = in.data() + pos + 4;
        uint8_t type = in[pos] & 0x7F;
        if (type == 6)
            fuzz_require(contains(out, body, n), "an old picture is kept");
        if (type == 4 && n >= 8 && id3_le32(body) <= n - 8) {
            uint64_t at = 8 + id3_le32(body);
            for (uint32_t left = id3_le32(body + at - 4); left > 0 && n - at >= 4; left--) {
                uint64_t len = id3_le32(body + at);
                if (len > n - at - 4)
                    break;
                fuzz_require(contains(out, body + at, 4 + len), "an old comment is kept");
                at += 4 + len;
            }
        }
        if (in[pos] & 0x80)
            break;
        pos += 4 + n;
    }
}

static bool text_is(const char* field, const char* want) {
    return field && strcmp(field, want) == 0;
}

// The fields (bit 0 title ... bit 5 track) that an MP3 file's ID3v1 tag gives where its ID3v2
// tag gives none or an empty text: a write moves them into the ID3v2 tag, in place of its frames.
static uint32_t fields_from_v1(const Bytes& b) {
    if (mp3_audio_end(b) == b.size())
        return 0;
    id3_record whole, v2;
    id3_record_init(&whole);
    id3_record_init(&v2);
    uint32_t fields = 0;
    if (id3_mp3_read(b.data(), b.size(), &whole) == 0 &&
        id3_mp3_read(b.data(), mp3_audio_end(b), &v2) == 0) {
        const char* const had[] = {v2.title, v2.artist, v2.album, v2.genre, v2.date, v2.track};
        const char* const has[] = {whole.title, whole.artist, whole.album,
                                   whole.genre, whole.date,   whole.track};
        for (int i = 0; i < 6; i++)
            fields |= !text_is(has[i], had[i] ? had[i] : "") ? 1u << i : 0;
    }
    id3_record_free(&whole);
    id3_record_free(&v2);
    return fields;
}

// Whether a version 2.3/2.4 frame holds one of the fields (bits as above).
static bool holds_field(const uint8_t* id, uint32_t fields) {
    static const char* const kIds[6][5] = {
        {"TIT2"}, {"TPE1"}, {"TALB"}, {"TCON"}, {"TDRC", "TYER", "TDAT", "TIME", "TRDA"}, {"TRCK"}};
    for (int i = 0; i < 6; i++) {
        for (const char* want : kIds[i])
            if ((fields & (1u << i)) && want && memcmp(id, want, 4) == 0)
                return true;
    }
    return false;
}

// The frames of a plain version 2.3 or 2.4 tag (no tag flags) that a write of {} carries are all
// in the new file: a version 2.4 frame whole, a version 2.3 frame's body. The walk stops at a size
// of 128 or more in a version 2.4 tag, whose reading the reader may choose differently. Frames of
// the fields an ID3v1 tag gives in their place are replaced, unless the reader could not read them
// (compressed or encrypted): those are kept.
static void require_mp3_frames_kept(const Bytes& in, const Bytes& out) {
    uint32_t from_v1 = fields_from_v1(in);
    if (in.size() < 10 || memcmp(in.data(), "ID3", 3) != 0 || (in[3] != 3 && in[3] != 4) ||
        in[5] != 0)
        return;
    uint64_t end = std::min<uint64_t>(10 + id3_syncsafe32(in.data() + 6), in.size());
    uint64_t pos = 10;
    while (end - pos >= 10 && in[pos] != 0) {
        const uint8_t* hdr = in.data() + pos;
        uint64_t n = id3_be32(hdr + 4); // equal to the syncsafe reading below 128
        if ((in[3] == 4 && n >= 128) || n > end - pos - 10)
            return;
        bool id =
            is_id_char(hdr[0]) && is_id_char(hdr[1]) && is_id_char(hdr[2]) && is_id_char(hdr[3]);
        // Version 2.3 dates take their version 2.4 form: the year (or a TDRC), day and time join
        // in TDRC, and the recording dates and size have none.
        bool v3_date = in[3] == 3 && (memcmp(hdr, "TYER", 4) == 0 || memcmp(hdr, "TDAT", 4) == 0 ||
                                      memcmp(hdr, "TIME", 4) == 0 || memcmp(hdr, "TRDA", 4) == 0 ||
                                      memcmp(hdr, "TSIZ", 4) == 0 || memcmp(hdr, "TDRC", 4) == 0);
        if (id && n > 0 && !v3_date && !(in[3] == 3 && (hdr[9] & 0xC0)) &&
            !(holds_field(hdr, from_v1) && !(in[3] == 4 && (hdr[9] & 0x0C)))) {
            if (in[3] == 4)
                fuzz_require(contains(out, hdr, 10 + n), "an old frame is kept byte for byte");
            else
                fuzz_require(contains(out, hdr + 10, n), "an old frame's body is kept");
        }
        pos += 10 + n;
    }
}

static bool is_ogg(int32_t fmt) {
    return fmt == ID3_FMT_OGG || fmt == ID3_FMT_OPUS;
}

// Ogg page: "OggS", version, flags, granule (8), serial (4) at 14, sequence (4) at 18, checksum
// (4) at 22, segment count at 26, the lacing, the body. The length of the whole page at pos, or 0
// when the bytes end within it.
static uint64_t ogg_page_len(const Bytes& b, uint64_t pos) {
    if (b.size() - pos < 27)
        return 0;
    uint64_t segments = b[pos + 26];
    if (b.size() - pos - 27 < segments)
        return 0;
    uint64_t len = 27 + segments;
    for (uint64_t i = 0; i < segments; i++)
        len += b[pos + 27 + i];
    return len <= b.size() - pos ? len : 0;
}

// Where the pages holding the first stream's header packets (3 Vorbis, 2 Opus) end.
static uint64_t ogg_audio_start(const Bytes& b, int32_t fmt) {
    int want = fmt == ID3_FMT_OGG ? 3 : 2, packets = 0;
    uint64_t pos = 0, len;
    uint32_t serial = b.size() >= 18 ? id3_le32(b.data() + 14) : 0;
    while (packets < want && (len = ogg_page_len(b, pos)) > 0) {
        if (id3_le32(b.data() + pos + 14) == serial) {
            for (uint64_t i = 0; i < b[pos + 26]; i++)
                packets += b[pos + 27 + i] < 255;
        }
        pos += len;
    }
    fuzz_require(packets >= want, "a written Ogg file's header pages are whole");
    return pos;
}

// Whether the Ogg audio after the header pages is the same in both, but for the sequence numbers
// and checksums of renumbered pages.
static bool ogg_same_audio(const Bytes& in, uint64_t in_at, const Bytes& out, uint64_t out_at) {
    if (in.size() - in_at != out.size() - out_at)
        return false;
    if (memcmp(in.data() + in_at, out.data() + out_at, in.size() - in_at) == 0)
        return true;
    while (in_at < in.size()) {
        uint64_t len = ogg_page_len(in, in_at);
        if (len == 0 || ogg_page_len(out, out_at) != len ||
            memcmp(in.data() + in_at, out.data() + out_at, 18) != 0 ||
            memcmp(in.data() + in_at + 26, out.data() + out_at + 26, len - 26) != 0)
            return false;
        in_at += len;
        out_at += len;
    }
    return true;
}

static int read_record(int32_t fmt, const Bytes& b, uint64_t base, id3_record* t) {
    id3_record_init(t);
    t->format = fmt;
    if (is_ogg(fmt))
        return id3_ogg_read(b.data(), b.size(), t);
    if (fmt == ID3_FMT_MP4)
        return id3_mp4_read(b.data(), b.size(), t);
    return fmt == ID3_FMT_MP3 ? id3_mp3_read(b.data(), b.size(), t)
                              : id3_flac_read(b.data() + base, b.size() - base, t);
}

// An MP4 atom in a file image: its start, header length and whole size.
struct mp4_box {
    uint64_t at, header, size;
    char type[5];
};

// The atoms of b[start, end) as far as they tile it.
static std::vector<mp4_box> mp4_boxes(const Bytes& b, uint64_t start, uint64_t end) {
    std::vector<mp4_box> out;
    uint64_t pos = start;
    while (end - pos >= 8) {
        mp4_box x = {pos, 8, id3_be32(b.data() + pos), {0}};
        memcpy(x.type, b.data() + pos + 4, 4);
        if (x.size == 1) {
            if (end - pos < 16)
                break;
            x.size = id3_be64(b.data() + pos + 8);
            x.header = 16;
        } else if (x.size == 0) {
            x.size = end - pos;
        }
        if (x.size < x.header || x.size > end - pos)
            break;
        out.push_back(x);
        pos += x.size;
    }
    return out;
}

static const mp4_box* mp4_child(const std::vector<mp4_box>& boxes, const char* type) {
    for (const mp4_box& x : boxes) {
        if (memcmp(x.type, type, 4) == 0)
            return &x;
    }
    return nullptr;
}

// The payloads of the top-level mdat atoms, in order.
static std::vector<Bytes> mp4_media(const Bytes& b) {
    std::vector<Bytes> out;
    for (const mp4_box& x : mp4_boxes(b, 0, b.size())) {
        if (memcmp(x.type, "mdat", 4) == 0)
            out.emplace_back(b.begin() + x.at + x.header, b.begin() + x.at + x.size);
    }
    return out;
}

// Every entry of every stco and co64 table at moov/trak/mdia/minf/stbl, in order.
static std::vector<uint64_t> mp4_chunk_offsets(const Bytes& b) {
    std::vector<uint64_t> out;
    std::vector<mp4_box> top = mp4_boxes(b, 0, b.size());
    const mp4_box* moov = mp4_child(top, "moov");
    if (!moov)
        return out;
    for (const mp4_box& trak : mp4_boxes(b, moov->at + moov->header, moov->at + moov->size)) {
        if (memcmp(trak.type, "trak", 4) != 0)
            continue;
        const mp4_box* box = &trak;
        std::vector<mp4_box> level;
        for (const char* type : {"mdia", "minf", "stbl"}) {
            level = mp4_boxes(b, box->at + box->header, box->at + box->size);
            box = mp4_child(level, type);
            if (!box)
                break;
        }
        if (!box)
            continue;
        for (const mp4_box& t : mp4_boxes(b, box->at + box->header, box->at + box->size)) {
            uint64_t width = memcmp(t.type, "co64", 4) == 0 ? 8 : 4;
            if ((width == 4 && memcmp(t.type, "stco", 4) != 0) || t.size - t.header < 8)
                continue;
            const uint8_t* p = b.data() + t.at + t.header;
            uint64_t count = std::min<uint64_t>(id3_be32(p + 4), (t.size - t.header - 8) / width);
            for (uint64_t i = 0; i < count; i++)
                out.push_back(width == 8 ? id3_be64(p + 8 + i * 8) : id3_be32(p + 8 + i * 4));
        }
    }
    return out;
}

// The bytes of b at off up to 16, as far as they lie in one mdat's payload; none elsewhere.
static Bytes mp4_sample_at(const Bytes& b, uint64_t off) {
    for (const mp4_box& x : mp4_boxes(b, 0, b.size())) {
        uint64_t start = x.at + x.header, end = x.at + x.size;
        if (memcmp(x.type, "mdat", 4) == 0 && off >= start && off < end)
            return Bytes(b.begin() + off, b.begin() + std::min<uint64_t>(end, off + 16));
    }
    return {};
}

static void write_input(const uint8_t* data, size_t size) {
    FILE* f = fopen(g_path.c_str(), "wb");
    fuzz_require(f != nullptr, "create the input file");
    fuzz_require((size == 0 || fwrite(data, 1, size, f) == size) && fclose(f) == 0,
                 "write the input file");
}

// id3_read's text, or "" when it fails.
static std::string read_json() {
    char* json = id3_read(g_path.c_str());
    std::string out = json ? json : "";
    free(json);
    return out;
}

// Whether two objects of id3_read are the same, cover_mime left out when told.
static bool same_json(const std::string& a, const std::string& b, bool but_mime) {
    if (!but_mime)
        return a == b;
    yyjson_doc* da = yyjson_read(a.data(), a.size(), YYJSON_READ_ALLOW_INVALID_UNICODE);
    yyjson_doc* db = yyjson_read(b.data(), b.size(), YYJSON_READ_ALLOW_INVALID_UNICODE);
    fuzz_require(da && db, "id3_read gives JSON");
    bool same = true;
    for (const char* key : {"title", "artist", "album", "genre", "date", "track", "format"}) {
        size_t la = 0, lb = 0;
        const char* va = fuzz_json_str(yyjson_doc_get_root(da), key, &la);
        const char* vb = fuzz_json_str(yyjson_doc_get_root(db), key, &lb);
        same = same && va && vb && la == lb && memcmp(va, vb, la) == 0;
    }
    same = same && yyjson_equals(yyjson_obj_get(yyjson_doc_get_root(da), "has_cover"),
                                 yyjson_obj_get(yyjson_doc_get_root(db), "has_cover"));
    yyjson_doc_free(da);
    yyjson_doc_free(db);
    return same;
}

// The cover id3_extract_cover gives, or nothing.
static Bytes cover_of() {
    std::string out = std::string(g_folder) + "/cover";
    Bytes cover;
    if (id3_extract_cover(g_path.c_str(), out.c_str()) == 0)
        cover = read_all(out);
    unlink(out.c_str());
    return cover;
}

// The property map id3_read_all gives: each key's values, and the pictures as JSON text.
struct PropertyMap {
    std::map<std::string, std::vector<std::string>> values;
    std::string pictures;
};

// False when id3_read_all fails: it looks into more of the tags than id3_read (every item of an
// MP4 list), and may find damage there.
static bool read_properties(PropertyMap* out) {
    char* json = id3_read_all(g_path.c_str());
    if (!json)
        return false;
    yyjson_doc* doc = yyjson_read(json, strlen(json), YYJSON_READ_ALLOW_INVALID_UNICODE);
    free(json);
    fuzz_require(doc != nullptr, "id3_read_all gives JSON");
    out->values.clear();
    yyjson_val* root = yyjson_doc_get_root(doc);
    yyjson_obj_iter iter;
    yyjson_obj_iter_init(yyjson_obj_get(root, "properties"), &iter);
    while (yyjson_val* key = yyjson_obj_iter_next(&iter)) {
        std::vector<std::string>& values = out->values[yyjson_get_str(key)];
        size_t i, n;
        yyjson_val* v;
        yyjson_arr_foreach(yyjson_obj_iter_get_val(key), i, n, v) {
            values.emplace_back(yyjson_get_str(v), yyjson_get_len(v));
        }
    }
    char* pictures = yyjson_val_write(yyjson_obj_get(root, "pictures"),
                                      YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr);
    fuzz_require(pictures != nullptr, "the pictures render");
    out->pictures = pictures;
    free(pictures);
    yyjson_doc_free(doc);
    return true;
}

// A file just written by the fixed object, written with the properties object: each key it
// names reads back with exactly its values (COMPOSER not at all), every other key and every
// picture as before, and writing the same object again changes no byte. An MP4 file may be
// refused where its layout does not let its item list grow; it then stays as it was.
static void check_property_write(bool may_refuse) {
    static const std::map<std::string, std::vector<std::string>> kNamed = {
        {"ALBUMARTIST", {"AA 1", "AA 2"}},
        {"MUSICBRAINZ_ALBUMID", {"mb-id"}},
        {"PRODUCER", {"P"}},
        {"COMMENT", {"c"}},
        {"FUZZ KEY", {"x", "y"}},
        {"COMPOSER", {}}};
    PropertyMap before, after;
    bool readable = read_properties(&before);
    std::string read_error = id3_last_error();
    Bytes old_file = read_all(g_path);
    int32_t rc = id3_write(g_path.c_str(), FUZZ_WRITE_PROPS);
    fuzz_require(entries_in_folder() == 1, "no temporary file is left");
    if (!readable) {
        // The properties a write names are compared with what the file reads as first.
        fuzz_require(rc != 0 && read_error == id3_last_error() && read_all(g_path) == old_file,
                     "a file whose properties cannot be read refuses them, unchanged");
        return;
    }
    if (rc != 0 && may_refuse) {
        fuzz_require(id3_has_error() && read_all(g_path) == old_file,
                     "a refused file is unchanged");
        return;
    }
    fuzz_require(rc == 0, "the properties are written");
    fuzz_require(read_properties(&after), "id3_read_all reads the written file");
    for (const auto& kv : kNamed) {
        if (kv.second.empty())
            fuzz_require(after.values.count(kv.first) == 0, "a removed key is gone");
        else
            fuzz_require(after.values[kv.first] == kv.second, "a named key has its values");
        before.values.erase(kv.first);
        after.values.erase(kv.first);
    }
    fuzz_require(after.values == before.values, "the keys not named keep their values");
    fuzz_require(after.pictures == before.pictures, "the pictures are kept");
    Bytes written = read_all(g_path);
    fuzz_require(id3_write(g_path.c_str(), FUZZ_WRITE_PROPS) == 0 && read_all(g_path) == written,
                 "the same properties again change nothing");
}

// Every mdat of an MP4 file kept in order, and every chunk offset that pointed into one still
// pointing at the same bytes.
static void require_media_kept(const Bytes& input, const Bytes& output) {
    fuzz_require(mp4_media(output) == mp4_media(input), "every mdat is kept in order");
    std::vector<uint64_t> old_offsets = mp4_chunk_offsets(input);
    std::vector<uint64_t> new_offsets = mp4_chunk_offsets(output);
    fuzz_require(old_offsets.size() == new_offsets.size(), "the chunk offsets are all kept");
    for (size_t i = 0; i < old_offsets.size(); i++) {
        Bytes sample = mp4_sample_at(input, old_offsets[i]);
        fuzz_require(sample.empty() || mp4_sample_at(output, new_offsets[i]) == sample,
                     "a chunk offset points at the same sample bytes");
    }
}

// An MP4 file: {} keeps it byte for byte; the fixed object is read back with every sample where
// it was found. Any refusal leaves the file as it was.
static void check_mp4(const Bytes& input) {
    id3_record before;
    read_record(ID3_FMT_MP4, input, 0, &before);
    int32_t rc = id3_write(g_path.c_str(), "{}");
    fuzz_require(entries_in_folder() == 1, "no temporary file is left");
    fuzz_require(read_all(g_path) == input, "{} keeps an MP4 file byte for byte, or refuses it");
    fuzz_require(rc == 0 || id3_has_error(), "a refusal has a message");

    rc = id3_write(g_path.c_str(), FUZZ_WRITE_TAGS);
    Bytes output = read_all(g_path);
    fuzz_require(entries_in_folder() == 1, "no temporary file is left");
    if (rc != 0) {
        fuzz_require(id3_has_error() && output == input, "a refused MP4 file is unchanged");
        id3_record_free(&before);
        return;
    }
    id3_record after;
    fuzz_require(read_record(ID3_FMT_MP4, output, 0, &after) == 0, "the written file reads back");
    fuzz_require(text_is(after.title, WANT_TITLE) && text_is(after.artist, WANT_ARTIST) &&
                     (!after.album || text_is(after.album, "")) && text_is(after.genre, "Rock") &&
                     text_is(after.date, "2024-05-01") && text_is(after.track, "3/12"),
                 "the written texts read back");
    fuzz_require(after.cover_size == before.cover_size &&
                     (before.cover_size == 0 ||
                      memcmp(after.cover_data, before.cover_data, before.cover_size) == 0),
                 "the cover is kept byte for byte");
    require_media_kept(input, output);
    check_property_write(true);
    require_media_kept(input, read_all(g_path));
    id3_record_free(&after);
    id3_record_free(&before);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes input(data, data + size);
    write_input(data, size);

    int32_t fmt = size < 4 ? ID3_FMT_UNKNOWN : id3_detect_fmt(data, size);
    uint64_t base = fmt == ID3_FMT_MP3 ? flac_base(input) : 0;
    if (base > 0 || fmt == ID3_FMT_FLAC)
        fmt = ID3_FMT_FLAC;
    bool writable = fmt == ID3_FMT_MP3 || fmt == ID3_FMT_FLAC || is_ogg(fmt);
    if (fmt == ID3_FMT_MP4) {
        check_mp4(input);
        return 0;
    }
    bool damaged = fmt == ID3_FMT_FLAC && flac_audio_start(input, base) == UINT64_MAX;
    // An ID3v2 tag whose size runs past the end of the file is refused too.
    bool tag_past_end = fmt == ID3_FMT_MP3 && size >= ID3_HEADER_LEN &&
                        memcmp(data, "ID3", 3) == 0 &&
                        ID3_HEADER_LEN + (uint64_t)id3_syncsafe32(data + ID3_SIZE_AT) > size;
    id3_record before;
    id3_record_init(&before);
    if (writable)
        read_record(fmt, input, base, &before);
    std::string json_before = read_json();
    Bytes cover_before = cover_of();

    int32_t rc = id3_write(g_path.c_str(), "{}");
    std::string msg = id3_last_error();
    Bytes output = read_all(g_path);
    fuzz_require(entries_in_folder() == 1, "no temporary file is left");

    if (!writable || damaged || tag_past_end) {
        fuzz_require(rc == -1, "only MP3 and FLAC files with whole metadata are written");
        const char* want = damaged        ? "FLAC metadata runs past the end of the file"
                           : tag_past_end ? "ID3v2 tag runs past the end of the file"
                                          : "unsupported format for write";
        fuzz_require(msg == want, "refusal message");
        fuzz_require(output == input, "a refused file is unchanged");
        id3_record_free(&before);
        return 0;
    }
    if (is_ogg(fmt) && rc != 0) {
        // Damaged pages, several streams, audio on a header page: refused, with a message.
        fuzz_require(!msg.empty(), "a refused Ogg file has a message");
        fuzz_require(output == input, "a refused file is unchanged");
        id3_record_free(&before);
        return 0;
    }
    fuzz_require(rc == 0, "an MP3 or FLAC file on tmpfs is written");
    // A write that names nothing changes nothing that is read, and keeps every carried item. Only
    // an MP3 tag of a version other than 2.3 and 2.4 is written anew from the record, and a
    // picture without a MIME type then gets image/jpeg.
    bool regenerated = fmt == ID3_FMT_MP3 && size >= 10 && memcmp(data, "ID3", 3) == 0 &&
                       data[3] != 3 && data[3] != 4;
    if (!json_before.empty())
        fuzz_require(same_json(read_json(), json_before, regenerated), "{} reads back as before");
    fuzz_require(cover_of() == cover_before, "{} keeps the cover");
    if (fmt == ID3_FMT_FLAC)
        require_flac_items_kept(input, base, output);
    else if (fmt == ID3_FMT_MP3)
        require_mp3_frames_kept(input, output);
    fuzz_require(id3_write(g_path.c_str(), "{}") == 0 && read_all(g_path) == output,
                 "a second {} changes nothing");

    // Then every field named.
    rc = id3_write(g_path.c_str(), FUZZ_WRITE_TAGS);
    fuzz_require(rc == 0, "the rewritten file is written again");
    Bytes second = read_all(g_path);
    fuzz_require(entries_in_folder() == 1, "no temporary file is left");
    char* json = id3_read(g_path.c_str());
    fuzz_require(json != nullptr, "id3_read reads the written file");
    yyjson_doc* doc = yyjson_read(json, strlen(json), YYJSON_READ_ALLOW_INVALID_UNICODE);
    fuzz_require(doc != nullptr, "id3_read gives JSON");
    yyjson_val* root = yyjson_doc_get_root(doc);
    fuzz_require(
        fuzz_same_text(root, "title", WANT_TITLE) && fuzz_same_text(root, "artist", WANT_ARTIST) &&
            fuzz_same_text(root, "album", "") && fuzz_same_text(root, "genre", "Rock") &&
            fuzz_same_text(root, "date", "2024-05-01") && fuzz_same_text(root, "track", "3/12") &&
            fuzz_same_text(root, "format",
                           fmt == ID3_FMT_MP3    ? "mp3"
                           : fmt == ID3_FMT_FLAC ? "flac"
                           : fmt == ID3_FMT_OGG  ? "ogg"
                                                 : "opus"),
        "id3_read gives the written texts");
    yyjson_doc_free(doc);
    free(json);

    id3_record after;
    fuzz_require(read_record(fmt, second, base, &after) == 0, "the written file reads back");
    // An empty album over a file without one is no change, so no empty album is added.
    fuzz_require(text_is(after.title, WANT_TITLE) && text_is(after.artist, WANT_ARTIST) &&
                     (!after.album || text_is(after.album, "")) && text_is(after.genre, "Rock") &&
                     text_is(after.date, "2024-05-01") && text_is(after.track, "3/12"),
                 "the written texts read back");
    if (before.cover_data && before.cover_size > 0) {
        fuzz_require(after.cover_size == before.cover_size &&
                         memcmp(after.cover_data, before.cover_data, before.cover_size) == 0,
                     "the cover is kept byte for byte");
        // A carried picture keeps its MIME type as it stands, an empty one too; a picture written
        // anew from the record without one is labelled image/jpeg.
        // A version 2.2 picture whose image format the reader gives no MIME type for takes
        // "image/" and that format in its version 2.4 form.
        bool converted = regenerated && before.cover_mime[0] == '\0' &&
                         strncmp(after.cover_mime, "image/", 6) == 0;
        const char* mime =
            before.cover_mime[0] || !regenerated ? before.cover_mime : ID3_DEFAULT_MIME;
        fuzz_require(converted || strcmp(after.cover_mime, mime) == 0,
                     "the cover's MIME type is kept");
    } else {
        // An empty old picture is carried as it is; none appears where there was none.
        fuzz_require(after.cover_size == 0 && !after.cover_data == !before.cover_data,
                     "no cover appears");
    }

    check_property_write(false);
    Bytes props_written = read_all(g_path);
    if (is_ogg(fmt)) {
        fuzz_require(ogg_same_audio(input, ogg_audio_start(input, fmt), second,
                                    ogg_audio_start(second, fmt)) &&
                         ogg_same_audio(input, ogg_audio_start(input, fmt), props_written,
                                        ogg_audio_start(props_written, fmt)),
                     "the Ogg audio pages are unchanged but for their numbers");
        id3_record_free(&after);
        id3_record_free(&before);
        return 0;
    }
    uint64_t in_audio = fmt == ID3_FMT_MP3 ? mp3_audio_start(input) : flac_audio_start(input, base);
    uint64_t out_audio =
        fmt == ID3_FMT_MP3 ? mp3_audio_start(second) : flac_audio_start(second, base);
    // An MP3 file's ID3v1 tag follows the named fields and stays at the end.
    uint64_t in_end = fmt == ID3_FMT_MP3 ? mp3_audio_end(input) : input.size();
    uint64_t out_end = fmt == ID3_FMT_MP3 ? mp3_audio_end(second) : second.size();
    fuzz_require(input.size() - in_end == second.size() - out_end, "an ID3v1 tag is kept");
    uint64_t audio_len = in_end - in_audio;
    fuzz_require(out_end - out_audio == audio_len &&
                     (audio_len == 0 ||
                      memcmp(second.data() + out_audio, input.data() + in_audio, audio_len) == 0),
                 "the audio bytes are unchanged");
    uint64_t props_audio =
        fmt == ID3_FMT_MP3 ? mp3_audio_start(props_written) : flac_audio_start(props_written, base);
    uint64_t props_end = fmt == ID3_FMT_MP3 ? mp3_audio_end(props_written) : props_written.size();
    fuzz_require(props_end - props_audio == audio_len &&
                     (audio_len == 0 || memcmp(props_written.data() + props_audio,
                                               input.data() + in_audio, audio_len) == 0),
                 "the audio bytes are unchanged by the properties");
    id3_record_free(&after);
    id3_record_free(&before);
    return 0;
}
