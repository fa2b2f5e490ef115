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

static Bytes mp3_frames(size_t cover_size);

Bytes mp3_with_tags(size_t audio_size, size_t cover_size) {
    Bytes area = mp3_frames(cover_size) + repeat(0, 100);
    Bytes tag = id3_tag(3, 0, area);
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
    Bytes tag = id3_tag(3, 0x80, area);
    return tag + B({0xFF, 0xFB, 0x90, 0x64}) + noise(audio_size, 4);
}

static Bytes mp3_frames(size_t cover_size) {
    Bytes utf16_artist = B({1, 0xFF, 0xFE});
    for (char c : std::string("Old artist"))
        utf16_artist += B({c, 0});
    utf16_artist += B({0, 0});
    Bytes frames = id3_frame3("TIT2", B({0}) + S("Old title")) + id3_frame3("TPE1", utf16_artist) +
                   id3_frame3("TALB", B({0}) + S("Old album")) +
                   id3_frame3("TCON", B({0}) + S("Jazz")) + id3_frame3("TYER", B({0}) + S("1999")) +
                   id3_frame3("TRCK", B({0}) + S("1/9")) +
                   id3_frame3("COMM", B({0}) + S("eng") + B({0}) + S("dropped on write")) +
                   id3_frame3("APIC", B({0}) + S("image/png") + B({0, 3}) + S("front") + B({0}) +
                                          png_picture(cover_size));
    return frames;
}

Bytes flac_with_tags(size_t audio_size, size_t cover_size) {
    Bytes streaminfo =
        B({0x10, 0x00, 0x10, 0x00}) + repeat(0, 6) + B({0x0A, 0xC4, 0x42, 0xF0}) + repeat(0, 20);
    Bytes comments =
        vorbis_comment("testsuit", {"TITLE=Old title", "ARTIST=Old artist", "ALBUM=Old album",
                                    "GENRE=Jazz", "DATE=1999", "TRACKNUMBER=1/9"});
    Bytes picture = flac_picture(3, "image/jpeg", "", jpeg_picture(cover_size), 1, 1, 24);
    return S("fLaC") + flac_block(0, streaminfo, false) + flac_block(4, comments, false) +
           flac_block(1, repeat(0, 64), false) + flac_block(6, picture, true) +
           B({0xFF, 0xF8, 0x69, 0x08}) + noise(audio_size, 2);
}

Bytes ogg_with_tags(size_t audio_size, size_t cover_size, bool opus) {
    Bytes picture = flac_picture(3, "image/jpeg", "", jpeg_picture(cover_size), 1, 1, 24);
    Bytes comments =
        vorbis_comment("testsuit", {"TITLE=Old title", "ARTIST=Old artist", "ALBUM=Old album",
                                    "GENRE=Jazz", "DATE=1999", "TRACKNUMBER=1/9",
                                    "METADATA_BLOCK_PICTURE=" + base64_text(picture)});
    uint32_t seq = 0;
    Bytes out = ogg_packets(77, &seq, {opus ? opus_head_packet() : vorbis_id_packet()});
    if (opus)
        out += ogg_packets(77, &seq, {S("OpusTags") + comments}, 255, true);
    else
        out += ogg_packets(
            77, &seq, {S("\x03vorbis") + comments + B({1}), S("\x05vorbis") + noise(300, 3)}, 8);
    // Audio packets of 200 bytes, 8 to a page.
    std::vector<Bytes> packets;
    for (size_t done = 0; done < audio_size; done += 200)
        packets.push_back(noise(200, (uint32_t)(4 + done)));
    for (size_t i = 0; i < packets.size(); i += 8) {
        std::vector<Bytes> page(packets.begin() + i,
                                packets.begin() + std::min(packets.size(), i + 8));
        out += ogg_packets(77, &seq, page, 255, false, 960 * (i + 8));
    }
    return out;
}

Bytes m4a_with_tags(size_t audio_size, size_t cover_size) {
    Bytes items = mp4_atom("\xA9nam", mp4_data(S("Old title"))) +
                  mp4_atom("\xA9"
                           "ART",
                           mp4_data(S("Old artist"))) +
                  mp4_atom("\xA9"
                           "alb",
                           mp4_data(S("Old album"))) +
                  mp4_atom("\xA9gen", mp4_data(S("Jazz"))) +
                  mp4_atom("trkn", mp4_data(be32(0) + B({0, 1, 0, 9, 0, 0}), 0)) +
                  mp4_atom("covr", mp4_data(png_picture(cover_size), 14));
    Bytes hdlr = mp4_atom("hdlr", repeat(0, 8) + S("mdirappl") + repeat(0, 9));
    Bytes meta = mp4_atom("meta", B({0, 0, 0, 0}) + hdlr + mp4_atom("ilst", items));
    Bytes moov = mp4_atom("moov", mp4_atom("mvhd", repeat(0, 100)) + mp4_atom("udta", meta));
    Bytes ftyp = mp4_atom("ftyp", S("M4A ") + be32(0x200) + S("isomM4A "));
    return ftyp + moov + mp4_atom("mdat", noise(audio_size, 3));
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
