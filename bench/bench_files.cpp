// Fixture files for the benchmarks, built byte by byte so that every run measures the same layout.
#include "bench_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

using Bytes = std::vector<uint8_t>;

namespace {

// xorshift64: cheap noise for audio filler and picture bodies, the same on every run.
struct noise {
    uint64_t state;
};

void fill_noise(noise* n, uint8_t* out, uint64_t count) {
    for (uint64_t i = 0; i < count; i++) {
        if ((i & 7) == 0) {
            n->state ^= n->state << 13;
            n->state ^= n->state >> 7;
            n->state ^= n->state << 17;
        }
        out[i] = (uint8_t)(n->state >> ((i & 7) * 8));
    }
}

void put(Bytes* b, const void* p, size_t n) {
    const uint8_t* bytes = (const uint8_t*)p;
    b->insert(b->end(), bytes, bytes + n);
}
void put_text(Bytes* b, const char* text) {
    put(b, text, strlen(text));
}
void put_be16(Bytes* b, uint32_t v) {
    uint8_t p[2] = {(uint8_t)(v >> 8), (uint8_t)v};
    put(b, p, 2);
}
void put_be24(Bytes* b, uint32_t v) {
    uint8_t p[3] = {(uint8_t)(v >> 16), (uint8_t)(v >> 8), (uint8_t)v};
    put(b, p, 3);
}
void put_be32(Bytes* b, uint32_t v) {
    uint8_t p[4] = {(uint8_t)(v >> 24), (uint8_t)(v >> 16), (uint8_t)(v >> 8), (uint8_t)v};
    put(b, p, 4);
}
void put_be64(Bytes* b, uint64_t v) {
    put_be32(b, (uint32_t)(v >> 32));
    put_be32(b, (uint32_t)v);
}
void put_le32(Bytes* b, uint32_t v) {
    uint8_t p[4] = {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
    put(b, p, 4);
}
void put_syncsafe(Bytes* b, uint32_t v) {
    uint8_t p[4] = {(uint8_t)((v >> 21) & 0x7F), (uint8_t)((v >> 14) & 0x7F),
                    (uint8_t)((v >> 7) & 0x7F), (uint8_t)(v & 0x7F)};
    put(b, p, 4);
}

// ---------------------------------------------------------------------------------------------
// MP3: ID3v2 tag, then MPEG-1 Layer III frames (128 kbit/s, 44.1 kHz: 417 bytes each).

const uint64_t ID3_PADDING = 1024;
const uint64_t MPEG_FRAME = 417;

void id3_frame(Bytes* tag, int version, const char* id, const Bytes& body) {
    put_text(tag, id);
    if (version == 4)
        put_syncsafe(tag, (uint32_t)body.size());
    else
        put_be32(tag, (uint32_t)body.size());
    put_be16(tag, 0);
    put(tag, body.data(), body.size());
}

// Version 3 frames carry UTF-16 with a byte order mark, as most v2.3 writers emit them; version
// 4 frames carry UTF-8.
void id3_text_frame(Bytes* tag, int version, const char* id, const char* text) {
    Bytes body;
    if (version == 4) {
        body.push_back(3);
        put_text(&body, text);
    } else {
        body.push_back(1);
        body.push_back(0xFF);
        body.push_back(0xFE);
        for (const char* p = text; *p; p++) {
            body.push_back((uint8_t)*p);
            body.push_back(0);
        }
    }
    id3_frame(tag, version, id, body);
}

Bytes id3_tag(int version, const Bytes& picture) {
    Bytes frames;
    id3_text_frame(&frames, version, "TIT2", BENCH_TITLE);
    id3_text_frame(&frames, version, "TPE1", BENCH_ARTIST);
    id3_text_frame(&frames, version, "TALB", BENCH_ALBUM);
    id3_text_frame(&frames, version, "TCON", BENCH_GENRE);
    if (version == 4)
        id3_text_frame(&frames, version, "TDRC", BENCH_DATE);
    else
        id3_text_frame(&frames, version, "TYER", "2024");
    id3_text_frame(&frames, version, "TRCK", BENCH_TRACK);
    Bytes apic;
    apic.push_back(0);
    put_text(&apic, "image/jpeg");
    apic.push_back(0);
    apic.push_back(3); // front cover
    apic.push_back(0); // empty description
    put(&apic, picture.data(), picture.size());
    id3_frame(&frames, version, "APIC", apic);

    Bytes tag;
    put_text(&tag, "ID3");
    tag.push_back((uint8_t)version);
    tag.push_back(0);
    tag.push_back(0);
    put_syncsafe(&tag, (uint32_t)(frames.size() + ID3_PADDING));
    put(&tag, frames.data(), frames.size());
    tag.resize(tag.size() + ID3_PADDING, 0);
    return tag;
}

// ---------------------------------------------------------------------------------------------
// FLAC: STREAMINFO, VORBIS_COMMENT, PICTURE, 8 KB PADDING (as the reference encoder leaves it),
// then frames.

void flac_block(Bytes* file, uint8_t type, bool last, const Bytes& body) {
    file->push_back((uint8_t)(type | (last ? 0x80 : 0)));
    put_be24(file, (uint32_t)body.size());
    put(file, body.data(), body.size());
}

void vorbis_comment(Bytes* body, const char* key, const char* value) {
    std::string text = std::string(key) + "=" + value;
    put_le32(body, (uint32_t)text.size());
    put_text(body, text.c_str());
}

Bytes flac_head(const Bytes& picture, uint64_t total_samples) {
    Bytes file;
    put_text(&file, "fLaC");
    Bytes info;
    put_be16(&info, 4096);
    put_be16(&info, 4096);
    put_be24(&info, 0);
    put_be24(&info, 0);
    // 20 bits sample rate, 3 bits channels - 1, 5 bits bits per sample - 1, 36 bits samples.
    put_be64(&info, (uint64_t)44100 << 44 | (uint64_t)1 << 41 | (uint64_t)15 << 36 |
                        (total_samples & 0xFFFFFFFFFull));
    info.resize(info.size() + 16, 0); // MD5 of the audio
    flac_block(&file, 0, false, info);

    Bytes vc;
    const char vendor[] = "reference libFLAC 1.4.2 20221022";
    put_le32(&vc, (uint32_t)strlen(vendor));
    put_text(&vc, vendor);
    put_le32(&vc, 6);
    vorbis_comment(&vc, "TITLE", BENCH_TITLE);
    vorbis_comment(&vc, "ARTIST", BENCH_ARTIST);
    vorbis_comment(&vc, "ALBUM", BENCH_ALBUM);
    vorbis_comment(&vc, "GENRE", BENCH_GENRE);
    vorbis_comment(&vc, "DATE", BENCH_DATE);
    vorbis_comment(&vc, "TRACKNUMBER", BENCH_TRACK);
    flac_block(&file, 4, false, vc);

    Bytes pic;
    put_be32(&pic, 3);
    put_be32(&pic, 10);
    put_text(&pic, "image/jpeg");
    put_be32(&pic, 0); // description length
    put_be32(&pic, 500);
    put_be32(&pic, 500);
    put_be32(&pic, 24);
    put_be32(&pic, 0);
    put_be32(&pic, (uint32_t)picture.size());
    put(&pic, picture.data(), picture.size());
    flac_block(&file, 6, false, pic);

    flac_block(&file, 1, true, Bytes(8192, 0));
    return file;
}

// Audio filler: noise with a frame start (MPEG frame header or FLAC frame sync) every `period`
// bytes, so that a reader looking at the audio sees frame-like data.
void audio_filler(Bytes* file, uint64_t count, noise* n, const uint8_t* sync, uint64_t sync_len,
                  uint64_t period) {
    uint64_t start = file->size();
    file->resize(start + count);
    uint8_t* out = file->data() + start;
    fill_noise(n, out, count);
    for (uint64_t pos = 0; pos < count; pos += period)
        memcpy(out + pos, sync, count - pos < sync_len ? count - pos : sync_len);
}

// ---------------------------------------------------------------------------------------------
// M4A: ftyp, moov (mvhd, udta/meta/ilst) and one mdat box holding the rest of the file, with the
// moov box either before or after mdat.

Bytes atom(const char* type, const Bytes& payload) {
    Bytes a;
    put_be32(&a, (uint32_t)(payload.size() + 8));
    put(&a, type, 4);
    put(&a, payload.data(), payload.size());
    return a;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        put(&out, p.data(), p.size());
    return out;
}

Bytes data_atom(uint32_t type_code, const Bytes& value) {
    Bytes payload;
    put_be32(&payload, type_code);
    put_be32(&payload, 0); // locale
    put(&payload, value.data(), value.size());
    return atom("data", payload);
}

Bytes text_item(const char* type, const char* text) {
    Bytes value;
    put_text(&value, text);
    return atom(type, data_atom(1, value));
}

Bytes m4a_ftyp() {
    Bytes ftyp;
    put_text(&ftyp, "M4A ");
    put_be32(&ftyp, 0);
    put_text(&ftyp, "M4A mp42isom");
    return atom("ftyp", ftyp);
}

Bytes m4a_moov(const Bytes& picture) {
    Bytes mvhd(100, 0);
    mvhd[15] = 0x03; // timescale 1000
    mvhd[14] = 0xE8;
    mvhd[21] = 0x01; // rate 1.0
    mvhd[24] = 0x01; // volume 1.0
    mvhd[99] = 0x02; // next track id
    Bytes hdlr(4 + 4, 0);
    put_text(&hdlr, "mdirappl");
    hdlr.resize(hdlr.size() + 8 + 1, 0);
    Bytes trkn;
    put_be32(&trkn, 3);        // reserved, track 3
    put_be32(&trkn, 12 << 16); // total 12, reserved
    Bytes ilst = cat({text_item("\xA9nam", BENCH_TITLE),
                      text_item("\xA9"
                                "ART",
                                BENCH_ARTIST),
                      text_item("\xA9"
                                "alb",
                                BENCH_ALBUM),
                      text_item("\xA9gen", BENCH_GENRE),
                      text_item("\xA9"
                                "day",
                                "2024"),
                      atom("trkn", data_atom(0, trkn)), atom("covr", data_atom(13, picture))});
    Bytes meta_payload(4, 0); // version and flags
    Bytes meta_children = cat({atom("hdlr", hdlr), atom("ilst", ilst)});
    put(&meta_payload, meta_children.data(), meta_children.size());
    return atom("moov", cat({atom("mvhd", mvhd), atom("udta", atom("meta", meta_payload))}));
}

// The mdat box of `size` bytes (header included) with noise as its payload.
void m4a_mdat(Bytes* file, uint64_t size, noise* n) {
    put_be32(file, (uint32_t)size);
    put_text(file, "mdat");
    uint64_t start = file->size();
    file->resize(start + size - 8);
    fill_noise(n, file->data() + start, size - 8);
}

} // namespace

Bytes bench_picture(uint64_t size, uint32_t seed) {
    Bytes pic(size);
    noise n{0x9E3779B97F4A7C15ull ^ seed};
    fill_noise(&n, pic.data(), size);
    static const uint8_t start[20] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',
                                      0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
    if (size >= sizeof start + 2) {
        memcpy(pic.data(), start, sizeof start);
        pic[size - 2] = 0xFF;
        pic[size - 1] = 0xD9;
    }
    return pic;
}

Bytes bench_file_bytes(const bench_file_spec& spec, bench_layout* layout) {
    Bytes picture = bench_picture(spec.cover_size, (uint32_t)spec.kind);
    noise n{0x2545F4914F6CDD1Dull + spec.total_size};
    Bytes file;
    if (spec.kind == KIND_M4A_HEAD || spec.kind == KIND_M4A_TAIL) {
        Bytes ftyp = m4a_ftyp(), moov = m4a_moov(picture);
        uint64_t head = ftyp.size() + moov.size();
        uint64_t mdat = spec.total_size > head + 16 ? spec.total_size - head : 16;
        file.reserve(head + mdat);
        put(&file, ftyp.data(), ftyp.size());
        if (spec.kind == KIND_M4A_TAIL)
            m4a_mdat(&file, mdat, &n);
        layout->tag_offset = file.size();
        layout->tag_length = moov.size();
        put(&file, moov.data(), moov.size());
        if (spec.kind == KIND_M4A_HEAD)
            m4a_mdat(&file, mdat, &n);
        return file;
    }
    if (spec.kind == KIND_FLAC)
        file = flac_head(picture, spec.total_size / 4 * 4);
    else
        file = id3_tag(spec.kind == KIND_MP3_V24 ? 4 : 3, picture);
    layout->tag_offset = 0;
    layout->tag_length = file.size();
    uint64_t audio = spec.total_size > file.size() + 16 ? spec.total_size - file.size() : 16;
    file.reserve(file.size() + audio);
    if (spec.kind == KIND_FLAC) {
        static const uint8_t flac_sync[2] = {0xFF, 0xF8};
        audio_filler(&file, audio, &n, flac_sync, 2, 4096);
    } else {
        // MPEG-1 Layer III, 128 kbit/s, 44.1 kHz, joint stereo.
        static const uint8_t mpeg_header[4] = {0xFF, 0xFB, 0x90, 0x64};
        audio_filler(&file, audio, &n, mpeg_header, 4, MPEG_FRAME);
    }
    return file;
}

bool bench_write_sparse(const std::string& path, const bench_file_spec& spec,
                        bench_layout* layout) {
    if (spec.kind != KIND_MP3_V23 && spec.kind != KIND_MP3_V24 && spec.kind != KIND_FLAC)
        return false;
    bench_file_spec start = spec;
    start.total_size = 64 * 1024 + spec.cover_size + 16 * 1024;
    if (start.total_size > spec.total_size)
        return false;
    if (!bench_write_file(path, bench_file_bytes(start, layout)))
        return false;
    return truncate(path.c_str(), (off_t)spec.total_size) == 0;
}

const char* bench_kind_name(bench_kind kind) {
    switch (kind) {
    case KIND_MP3_V23:
        return "mp3v23";
    case KIND_MP3_V24:
        return "mp3v24";
    case KIND_FLAC:
        return "flac";
    case KIND_M4A_HEAD:
        return "m4a_moovfirst";
    case KIND_M4A_TAIL:
        return "m4a_moovlast";
    }
    return "?";
}

std::string bench_size_name(uint64_t bytes) {
    char text[32];
    const uint64_t GB = 1024ull * 1024 * 1024;
    if (bytes >= GB && bytes % GB == 0)
        snprintf(text, sizeof text, "%lluGB", (unsigned long long)(bytes / GB));
    else if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0)
        snprintf(text, sizeof text, "%lluMB", (unsigned long long)(bytes / (1024 * 1024)));
    else if (bytes >= 1024 && bytes % 1024 == 0)
        snprintf(text, sizeof text, "%lluKB", (unsigned long long)(bytes / 1024));
    else
        snprintf(text, sizeof text, "%lluB", (unsigned long long)bytes);
    return text;
}

uint64_t bench_parse_size(const std::string& text) {
    char* end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 10);
    if (end == text.c_str())
        return 0;
    std::string unit = end;
    if (unit.empty() || unit == "B")
        return v;
    if (unit == "K" || unit == "KB")
        return v * 1024;
    if (unit == "M" || unit == "MB")
        return v * 1024 * 1024;
    if (unit == "G" || unit == "GB")
        return v * 1024 * 1024 * 1024;
    return 0;
}

bool bench_write_file(const std::string& path, const Bytes& data) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

bool bench_copy_file(const std::string& from, const std::string& to) {
    FILE* in = fopen(from.c_str(), "rb");
    if (!in)
        return false;
    FILE* out = fopen(to.c_str(), "wb");
    if (!out) {
        fclose(in);
        return false;
    }
    Bytes chunk(1 << 20);
    bool ok = true;
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), in)) > 0) {
        if (fwrite(chunk.data(), 1, n, out) != n) {
            ok = false;
            break;
        }
    }
    ok = ok && !ferror(in);
    fclose(in);
    return fclose(out) == 0 && ok;
}

std::string bench_make_temp_dir(const std::string& base) {
    std::string root = base;
    if (root.empty()) {
        const char* tmp = getenv("TMPDIR");
        root = tmp && *tmp ? tmp : "/tmp";
    }
    std::string templ = root + "/qid3-bench-XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    if (!mkdtemp(name.data()))
        return "";
    return name.data();
}

void bench_remove_tree(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir) {
        struct dirent* e;
        while ((e = readdir(dir))) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
                continue;
            std::string child = path + "/" + e->d_name;
            struct stat st;
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                bench_remove_tree(child);
            else
                unlink(child.c_str());
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}
