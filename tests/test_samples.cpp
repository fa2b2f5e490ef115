// The committed sample files, made by scripts/make-samples.sh with ffmpeg, flac and metaflac, read
// through the public interface. The expected texts are the values the script put in; mutagen and
// ffprobe report the same values for these files.
#include "quorvale_id3tag.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string sample(const std::string& name) {
    return std::string(QID3_SAMPLES_DIR) + "/" + name;
}

struct SampleCase {
    const char* file;
    const char* json;
    const char* cover_file;
};

const std::vector<SampleCase> SAMPLES = {
    // ID3v2.3: UTF-16 texts for title, artist and album (the album holds an em dash, U+2014),
    // ISO-8859-1 for the others, the year in TYER, a JPEG front cover.
    {"sample.mp3",
     "{\"title\":\"Señal de prueba\",\"artist\":\"Zoë Quorvale\",\"album\":\"Muestras — uno\","
     "\"genre\":\"Ambient\",\"date\":\"2026\",\"track\":\"3/12\",\"format\":\"mp3\","
     "\"has_cover\":true,\"cover_mime\":\"image/jpeg\"}",
     "cover.jpg"},
    // VORBIS_COMMENT with the keys in upper case and a PNG front cover in a PICTURE block.
    {"sample.flac",
     "{\"title\":\"Forêt d'été\",\"artist\":\"Ångström Trio\",\"album\":\"Échantillons\","
     "\"genre\":\"Électronique\",\"date\":\"2025-11-30\",\"track\":\"4\",\"format\":\"flac\","
     "\"has_cover\":true,\"cover_mime\":\"image/png\"}",
     "cover.png"},
    // The ilst also holds a ©day item with 2024, read as the date.
    {"sample.m4a",
     "{\"title\":\"Ōmiya at night\",\"artist\":\"Søren Quorvale\",\"album\":\"Überblick\","
     "\"genre\":\"Jazz\",\"date\":\"2024\",\"track\":\"7/9\",\"format\":\"mp4\","
     "\"has_cover\":true,\"cover_mime\":\"image/png\"}",
     "cover.png"},
};

} // namespace

TEST(Samples, CoverFilesAreTheExpectedPictures) {
    Bytes jpeg = read_file(sample("cover.jpg"));
    ASSERT_GT(jpeg.size(), 3u);
    EXPECT_EQ(Bytes(jpeg.begin(), jpeg.begin() + 3), B({0xFF, 0xD8, 0xFF}));
    Bytes png = read_file(sample("cover.png"));
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(Bytes(png.begin(), png.begin() + 8),
              B({0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}));
}

TEST(Samples, ReadGivesTheTagsThatWerePutIn) {
    for (const SampleCase& s : SAMPLES) {
        char* json = id3_read(sample(s.file).c_str());
        ASSERT_NE(json, nullptr) << s.file << ": " << id3_last_error();
        EXPECT_EQ(std::string(json), s.json) << s.file;
        id3_free_string(json);
    }
}

TEST(Samples, ExtractedCoverIsTheOriginalPicture) {
    TempDir dir;
    for (const SampleCase& s : SAMPLES) {
        std::string out = dir.file(std::string(s.file) + ".cover");
        ASSERT_EQ(id3_extract_cover(sample(s.file).c_str(), out.c_str()), 0)
            << s.file << ": " << id3_last_error();
        Bytes expected = read_file(sample(s.cover_file));
        ASSERT_FALSE(expected.empty()) << s.cover_file;
        EXPECT_EQ(read_file(out), expected) << s.file;
    }
}
