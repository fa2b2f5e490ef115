#include "robust_fixtures.h"

#include <stdint.h>

Bytes noise(size_t count, uint32_t seed) {
    Bytes out(count);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < count; i++) {
        x = x * 1664525u + 1013904223u;
        out[i] = (uint8_t)(x >> 24);
    }
    return out;
}

Bytes png_picture(size_t size) {
    Bytes head = B({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A});
    return head + noise(size > head.size() ? size - head.size() : 0, 7);
}

Bytes jpeg_picture(size_t size) {
    Bytes head = B({0xFF, 0xD8, 0xFF, 0xE0});
    return head + noise(size > head.size() ? size - head.size() : 0, 11);
}

// ID3v2.3 frame: identifier, plain 32-bit size, two flag bytes, body.
static Bytes id3v23_frame(const char* id, const Bytes& body) {
    return S(id) + be32((uint32_t)body.size()) + B({0, 0}) + body;
}

static Bytes mp3_frames(size_t cover_size);

Bytes mp3_with_tags(size_t audio_size, size_t cover_size) {
    Bytes area = mp3_frames(cover_size) + repeat(0, 100);
    Bytes tag = S("ID3") + B({3, 0, 0}) + syncsafe((uint32_t)area.size()) + area;
    return tag + B({0xFF, 0xFB, 0x90, 0x64}) + noise(audio_size, 1);
}

Bytes mp3_unsynchronised(size_t audio_size, size_t cover_size) {
    // A 0x00 goes after every 0xFF that a 0x00 or a byte of 0xE0 or above follows.
    Bytes frames = mp3_frames(cover_size);
    Bytes area;
    for (size_t i = 0; i < frames.size(); i++) {
        area.push_back(frames[i]);
        if (frames[i] == 0xFF &&
            (i + 1 == frames.size() || frames[i + 1] == 0x00 || frames[i + 1] >= 0xE0))
            area.push_back(0x00);
    }
    area += repeat(0, 100);
    Bytes tag = S("ID3") + B({3, 0, 0x80}) + syncsafe((uint32_t)area.size()) + area;
    return tag + B({0xFF, 0xFB, 0x90, 0x64}) + noise(audio_size, 4);
}

static Bytes mp3_frames(size_t cover_size) {
    Bytes utf16_artist = B({1, 0xFF, 0xFE});
    for (char c : std::string("Old artist"))
        utf16_artist += B({c, 0});
    utf16_artist += B({0, 0});
    Bytes frames =
        id3v23_frame("TIT2", B({0}) + S("Old title")) + id3v23_frame("TPE1", utf16_artist) +
        id3v23_frame("TALB", B({0}) + S("Old album")) + id3v23_frame("TCON", B({0}) + S("Jazz")) +
        id3v23_frame("TYER", B({0}) + S("1999")) + id3v23_frame("TRCK", B({0}) + S("1/9")) +
        id3v23_frame("COMM", B({0}) + S("eng") + B({0}) + S("dropped on write")) +
        id3v23_frame("APIC", B({0}) + S("image/png") + B({0, 3}) + S("front") + B({0}) +
                                 png_picture(cover_size));
    return frames;
}

static Bytes flac_block(int type, const Bytes& body, bool last) {
    return B({type | (last ? 0x80 : 0)}) + be24((uint32_t)body.size()) + body;
}

static Bytes vorbis_comment_entry(const std::string& text) {
    return le32((uint32_t)text.size()) + S(text);
}

Bytes flac_with_tags(size_t audio_size, size_t cover_size) {
    Bytes streaminfo =
        B({0x10, 0x00, 0x10, 0x00}) + repeat(0, 6) + B({0x0A, 0xC4, 0x42, 0xF0}) + repeat(0, 20);
    Bytes comments = le32(8) + S("testsuit") + le32(6) + vorbis_comment_entry("TITLE=Old title") +
                     vorbis_comment_entry("ARTIST=Old artist") +
                     vorbis_comment_entry("ALBUM=Old album") + vorbis_comment_entry("GENRE=Jazz") +
                     vorbis_comment_entry("DATE=1999") + vorbis_comment_entry("TRACKNUMBER=1/9");
    Bytes mime = S("image/jpeg");
    Bytes picture = be32(3) + be32((uint32_t)mime.size()) + mime + be32(0) + be32(1) + be32(1) +
                    be32(24) + be32(0) + be32((uint32_t)cover_size) + jpeg_picture(cover_size);
    return S("fLaC") + flac_block(0, streaminfo, false) + flac_block(4, comments, false) +
           flac_block(1, repeat(0, 64), false) + flac_block(6, picture, true) +
           B({0xFF, 0xF8, 0x69, 0x08}) + noise(audio_size, 2);
}

static Bytes atom(const char* type, const Bytes& payload) {
    return be32((uint32_t)(8 + payload.size())) + S(type) + payload;
}

static Bytes data_atom(uint32_t type_code, const Bytes& value) {
    return atom("data", be32(type_code) + be32(0) + value);
}

Bytes m4a_with_tags(size_t audio_size, size_t cover_size) {
    Bytes items = atom("\xA9nam", data_atom(1, S("Old title"))) +
                  atom("\xA9"
                       "ART",
                       data_atom(1, S("Old artist"))) +
                  atom("\xA9"
                       "alb",
                       data_atom(1, S("Old album"))) +
                  atom("\xA9gen", data_atom(1, S("Jazz"))) +
                  atom("trkn", data_atom(0, be32(0) + B({0, 1, 0, 9, 0, 0}))) +
                  atom("covr", data_atom(14, png_picture(cover_size)));
    Bytes hdlr = atom("hdlr", repeat(0, 8) + S("mdirappl") + repeat(0, 9));
    Bytes meta = atom("meta", B({0, 0, 0, 0}) + hdlr + atom("ilst", items));
    Bytes moov = atom("moov", atom("mvhd", repeat(0, 100)) + atom("udta", meta));
    Bytes ftyp = atom("ftyp", S("M4A ") + be32(0x200) + S("isomM4A "));
    return ftyp + moov + atom("mdat", noise(audio_size, 3));
}

size_t mp3_audio_offset(const Bytes& file) {
    if (file.size() < 10 || file[0] != 'I' || file[1] != 'D' || file[2] != '3')
        return 0;
    size_t size = (size_t)(file[6] & 0x7F) << 21 | (size_t)(file[7] & 0x7F) << 14 |
                  (size_t)(file[8] & 0x7F) << 7 | (size_t)(file[9] & 0x7F);
    size_t end = 10 + size + ((file[5] & 0x10) ? 10 : 0);
    return end < file.size() ? end : file.size();
}

size_t flac_audio_offset(const Bytes& file) {
    size_t pos = 4;
    while (file.size() - pos >= 4) {
        size_t body = (size_t)file[pos + 1] << 16 | (size_t)file[pos + 2] << 8 | file[pos + 3];
        if (body > file.size() - pos - 4)
            return file.size();
        bool last = file[pos] & 0x80;
        pos += 4 + body;
        if (last)
            break;
    }
    return pos;
}

std::vector<std::string> temp_files_in(const std::string& folder) {
    std::vector<std::string> out;
    for (const std::string& name : list_dir(folder)) {
        if (name.find(".quorvale-tmp.") != std::string::npos)
            out.push_back(name);
    }
    return out;
}
