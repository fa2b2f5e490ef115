// Reads an MP3, FLAC, MP4, Ogg Vorbis or Opus file with TagLib and prints what TagLib sees as one
// JSON object:
//
//   taglib_read FILE [PICTURE_DIR]
//
// {"kind":"mp3","id3v2_version":4,"TITLE":["..."],...,"pictures":[{"mime":"...","type":3,
//  "size":225}]}
//
// The six keys are TagLib's property names (TITLE, ARTIST, ALBUM, GENRE, DATE, TRACKNUMBER), each
// with every value the ID3v2 tag, Vorbis comment or MP4 item list gives; "properties" holds every
// property of the file as TagLib reports it (ID3v1 included where TagLib falls back to it). With
// PICTURE_DIR, picture number i is saved there as "picture-<i>", byte for byte. Exit status 0 on
// success, 1 when the file cannot be read.
#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/tpropertymap.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

struct picture_info {
    std::string mime;
    int type;
    TagLib::ByteVector data;
};

std::string json_quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", byte);
            out += esc;
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

std::string property_json(const TagLib::PropertyMap& props) {
    static const char* const keys[] = {"TITLE", "ARTIST", "ALBUM", "GENRE", "DATE", "TRACKNUMBER"};
    std::string out;
    for (const char* key : keys) {
        out += ",";
        out += json_quote(key);
        out += ":[";
        if (props.contains(key)) {
            const TagLib::StringList& values = props[key];
            for (unsigned i = 0; i < values.size(); ++i) {
                if (i > 0) {
                    out += ",";
                }
                out += json_quote(values[i].to8Bit(true));
            }
        }
        out += "]";
    }
    return out;
}

// Every property TagLib reports, under its own names: ,"properties":{"KEY":["value",...],...}
std::string all_properties_json(const TagLib::PropertyMap& props) {
    std::string out = ",\"properties\":{";
    bool first = true;
    for (const auto& entry : props) {
        out += first ? "" : ",";
        first = false;
        out += json_quote(entry.first.to8Bit(true)) + ":[";
        for (unsigned i = 0; i < entry.second.size(); ++i) {
            out += (i > 0 ? "," : "") + json_quote(entry.second[i].to8Bit(true));
        }
        out += "]";
    }
    return out + "}";
}

bool save_picture(const std::string& dir, size_t index, const TagLib::ByteVector& data) {
    std::string path = dir + "/picture-" + std::to_string(index);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        return false;
    }
    size_t written = std::fwrite(data.data(), 1, data.size(), f);
    return std::fclose(f) == 0 && written == data.size();
}

std::string pictures_json(const picture_info* pictures, size_t count, const char* picture_dir) {
    std::string out = ",\"pictures\":[";
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) {
            out += ",";
        }
        out += "{\"mime\":" + json_quote(pictures[i].mime) +
               ",\"type\":" + std::to_string(pictures[i].type) +
               ",\"size\":" + std::to_string(pictures[i].data.size()) + "}";
        if (picture_dir && !save_picture(picture_dir, i, pictures[i].data)) {
            std::fprintf(stderr, "taglib_read: cannot save picture %zu to %s\n", i, picture_dir);
        }
    }
    return out + "]";
}

// Pictures in FLAC's PICTURE form (FLAC blocks, Vorbis comments): the first 16.
std::string flac_pictures_json(const TagLib::List<TagLib::FLAC::Picture*>& list,
                               const char* picture_dir) {
    picture_info pictures[16];
    size_t count = 0;
    for (TagLib::FLAC::Picture* picture : list) {
        if (count < 16) {
            pictures[count++] = {picture->mimeType().to8Bit(true),
                                 static_cast<int>(picture->type()), picture->data()};
        }
    }
    return pictures_json(pictures, count, picture_dir);
}

bool ends_with(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

int read_mp3(const char* path, const char* picture_dir) {
    TagLib::MPEG::File file(path);
    if (!file.isValid()) {
        std::fprintf(stderr, "taglib_read: TagLib cannot read %s\n", path);
        return 1;
    }
    TagLib::ID3v2::Tag* tag = file.ID3v2Tag();
    int version = tag ? static_cast<int>(tag->header()->majorVersion()) : 0;
    std::string out = "{\"kind\":\"mp3\",\"id3v2_version\":" + std::to_string(version);
    out += property_json(tag ? tag->properties() : TagLib::PropertyMap());
    out += all_properties_json(file.properties());
    picture_info pictures[16];
    size_t count = 0;
    if (tag) {
        const TagLib::ID3v2::FrameList& frames = tag->frameListMap()["APIC"];
        for (TagLib::ID3v2::Frame* frame : frames) {
            auto* apic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(frame);
            if (apic && count < 16) {
                pictures[count++] = {apic->mimeType().to8Bit(true), static_cast<int>(apic->type()),
                                     apic->picture()};
            }
        }
    }
    out += pictures_json(pictures, count, picture_dir);
    std::printf("%s}\n", out.c_str());
    return 0;
}

int read_flac(const char* path, const char* picture_dir) {
    TagLib::FLAC::File file(path);
    if (!file.isValid()) {
        std::fprintf(stderr, "taglib_read: TagLib cannot read %s\n", path);
        return 1;
    }
    std::string out = "{\"kind\":\"flac\"";
    out += property_json(file.xiphComment() ? file.xiphComment()->properties()
                                            : TagLib::PropertyMap());
    out += all_properties_json(file.properties());
    out += flac_pictures_json(file.pictureList(), picture_dir);
    std::printf("%s}\n", out.c_str());
    return 0;
}

// Ogg Vorbis and Opus: the comment packet's properties and pictures. kind is "ogg" or "opus".
template <typename OggFile>
int read_ogg(const char* path, const char* kind, const char* picture_dir) {
    OggFile file(path);
    if (!file.isValid() || !file.tag()) {
        std::fprintf(stderr, "taglib_read: TagLib cannot read %s\n", path);
        return 1;
    }
    std::string out = std::string("{\"kind\":\"") + kind + "\"";
    out += property_json(file.tag()->properties());
    out += all_properties_json(file.properties());
    out += flac_pictures_json(file.tag()->pictureList(), picture_dir);
    std::printf("%s}\n", out.c_str());
    return 0;
}

// MP4 pictures have no picture type: each covr picture is given type 3, its MIME type from the
// data type code (13 JPEG, 14 PNG).
int read_mp4(const char* path, const char* picture_dir) {
    TagLib::MP4::File file(path);
    if (!file.isValid()) {
        std::fprintf(stderr, "taglib_read: TagLib cannot read %s\n", path);
        return 1;
    }
    TagLib::MP4::Tag* tag = file.tag();
    std::string out = "{\"kind\":\"mp4\"";
    out += property_json(tag ? tag->properties() : TagLib::PropertyMap());
    out += all_properties_json(file.properties());
    picture_info pictures[16];
    size_t count = 0;
    if (tag && tag->contains("covr")) {
        for (const TagLib::MP4::CoverArt& art : tag->item("covr").toCoverArtList()) {
            if (count < 16) {
                const char* mime =
                    art.format() == TagLib::MP4::CoverArt::PNG ? "image/png" : "image/jpeg";
                pictures[count++] = {mime, 3, art.data()};
            }
        }
    }
    out += pictures_json(pictures, count, picture_dir);
    std::printf("%s}\n", out.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: taglib_read FILE [PICTURE_DIR]\n");
        return 2;
    }
    const char* picture_dir = argc == 3 ? argv[2] : nullptr;
    if (ends_with(argv[1], ".flac")) {
        return read_flac(argv[1], picture_dir);
    }
    if (ends_with(argv[1], ".mp3")) {
        return read_mp3(argv[1], picture_dir);
    }
    if (ends_with(argv[1], ".m4a")) {
        return read_mp4(argv[1], picture_dir);
    }
    if (ends_with(argv[1], ".ogg")) {
        return read_ogg<TagLib::Ogg::Vorbis::File>(argv[1], "ogg", picture_dir);
    }
    if (ends_with(argv[1], ".opus")) {
        return read_ogg<TagLib::Ogg::Opus::File>(argv[1], "opus", picture_dir);
    }
    std::fprintf(stderr, "taglib_read: expected a .mp3, .flac, .m4a, .ogg or .opus file: %s\n",
                 argv[1]);
    return 2;
}
