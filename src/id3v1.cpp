// The ID3v1 tag at the end of a file: reading its fields, bringing it in step with a write, and
// the genre numbers.
#include "id3v1.h"
#include "id3v2.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The genre numbers of ID3v1 and their names, as Winamp extended the list (0 to 191; 255 is
// none). Where other programs spell a name differently, most of them agree on the one here.
static const char* const kV1Genres[] = {"Blues",
                                        "Classic Rock",
                                        "Country",
                                        "Dance",
                                        "Disco",
                                        "Funk",
                                        "Grunge",
                                        "Hip-Hop",
                                        "Jazz",
                                        "Metal",
                                        "New Age",
                                        "Oldies",
                                        "Other",
                                        "Pop",
                                        "R&B",
                                        "Rap",
                                        "Reggae",
                                        "Rock",
                                        "Techno",
                                        "Industrial",
                                        "Alternative",
                                        "Ska",
                                        "Death Metal",
                                        "Pranks",
                                        "Soundtrack",
                                        "Euro-Techno",
                                        "Ambient",
                                        "Trip-Hop",
                                        "Vocal",
                                        "Jazz+Funk",
                                        "Fusion",
                                        "Trance",
                                        "Classical",
                                        "Instrumental",
                                        "Acid",
                                        "House",
                                        "Game",
                                        "Sound Clip",
                                        "Gospel",
                                        "Noise",
                                        "AlternRock",
                                        "Bass",
                                        "Soul",
                                        "Punk",
                                        "Space",
                                        "Meditative",
                                        "Instrumental Pop",
                                        "Instrumental Rock",
                                        "Ethnic",
                                        "Gothic",
                                        "Darkwave",
                                        "Techno-Industrial",
                                        "Electronic",
                                        "Pop-Folk",
                                        "Eurodance",
                                        "Dream",
                                        "Southern Rock",
                                        "Comedy",
                                        "Cult",
                                        "Gangsta",
                                        "Top 40",
                                        "Christian Rap",
                                        "Pop/Funk",
                                        "Jungle",
                                        "Native American",
                                        "Cabaret",
                                        "New Wave",
                                        "Psychedelic",
                                        "Rave",
                                        "Showtunes",
                                        "Trailer",
                                        "Lo-Fi",
                                        "Tribal",
                                        "Acid Punk",
                                        "Acid Jazz",
                                        "Polka",
                                        "Retro",
                                        "Musical",
                                        "Rock & Roll",
                                        "Hard Rock",
                                        "Folk",
                                        "Folk-Rock",
                                        "National Folk",
                                        "Swing",
                                        "Fast Fusion",
                                        "Bebop",
                                        "Latin",
                                        "Revival",
                                        "Celtic",
                                        "Bluegrass",
                                        "Avantgarde",
                                        "Gothic Rock",
                                        "Progressive Rock",
                                        "Psychedelic Rock",
                                        "Symphonic Rock",
                                        "Slow Rock",
                                        "Big Band",
                                        "Chorus",
                                        "Easy Listening",
                                        "Acoustic",
                                        "Humour",
                                        "Speech",
                                        "Chanson",
                                        "Opera",
                                        "Chamber Music",
                                        "Sonata",
                                        "Symphony",
                                        "Booty Bass",
                                        "Primus",
                                        "Porn Groove",
                                        "Satire",
                                        "Slow Jam",
                                        "Club",
                                        "Tango",
                                        "Samba",
                                        "Folklore",
                                        "Ballad",
                                        "Power Ballad",
                                        "Rhythmic Soul",
                                        "Freestyle",
                                        "Duet",
                                        "Punk Rock",
                                        "Drum Solo",
                                        "A Cappella",
                                        "Euro-House",
                                        "Dance Hall",
                                        "Goa",
                                        "Drum & Bass",
                                        "Club-House",
                                        "Hardcore Techno",
                                        "Terror",
                                        "Indie",
                                        "BritPop",
                                        "Afro-Punk",
                                        "Polsk Punk",
                                        "Beat",
                                        "Christian Gangsta Rap",
                                        "Heavy Metal",
                                        "Black Metal",
                                        "Crossover",
                                        "Contemporary Christian",
                                        "Christian Rock",
                                        "Merengue",
                                        "Salsa",
                                        "Thrash Metal",
                                        "Anime",
                                        "Jpop",
                                        "Synthpop",
                                        "Abstract",
                                        "Art Rock",
                                        "Baroque",
                                        "Bhangra",
                                        "Big Beat",
                                        "Breakbeat",
                                        "Chillout",
                                        "Downtempo",
                                        "Dub",
                                        "EBM",
                                        "Eclectic",
                                        "Electro",
                                        "Electroclash",
                                        "Emo",
                                        "Experimental",
                                        "Garage",
                                        "Global",
                                        "IDM",
                                        "Illbient",
                                        "Industro-Goth",
                                        "Jam Band",
                                        "Krautrock",
                                        "Leftfield",
                                        "Lounge",
                                        "Math Rock",
                                        "New Romantic",
                                        "Nu-Breakz",
                                        "Post-Punk",
                                        "Post-Rock",
                                        "Psytrance",
                                        "Shoegaze",
                                        "Space Rock",
                                        "Trop Rock",
                                        "World Music",
                                        "Neoclassical",
                                        "Audiobook",
                                        "Audio Theatre",
                                        "Neue Deutsche Welle",
                                        "Podcast",
                                        "Indie Rock",
                                        "G-Funk",
                                        "Dubstep",
                                        "Garage Rock",
                                        "Psybient"};
#define V1_GENRE_COUNT (sizeof kV1Genres / sizeof kV1Genres[0])

// Other spellings of genre names in common use, so that a name written by another program (or by
// an earlier version of this library) still gets its number in an ID3v1 tag.
static const struct {
    const char* name;
    uint8_t number;
} kV1GenreAliases[] = {{"Jazz-Funk", 29},   {"Alternative Rock", 40}, {"Alt. Rock", 40},
                       {"Gangsta Rap", 59}, {"Folk Rock", 81},        {"Fast-Fusion", 84},
                       {"Avant-garde", 90}, {"Dancehall", 125},       {"Hardcore", 129},
                       {"Worldbeat", 133}};

// The name of ID3v1 genre number n, or NULL past the table.
const char* id3_v1_genre_name(unsigned n) {
    return n < V1_GENRE_COUNT ? kV1Genres[n] : nullptr;
}

// Whether name is genre_name, ignoring ASCII case.
static bool same_genre_name(const char* name, const char* genre_name) {
    size_t len = strlen(genre_name);
    return strlen(name) == len && plat_strnicmp(name, genre_name, len) == 0;
}

// The ID3v1 number of a genre name (255, none, for a name outside the table).
uint8_t id3_v1_genre_number(const char* name) {
    for (size_t i = 0; i < V1_GENRE_COUNT; i++)
        if (same_genre_name(name, kV1Genres[i]))
            return (uint8_t)i;
    for (const auto& alias : kV1GenreAliases)
        if (same_genre_name(name, alias.name))
            return alias.number;
    return 255;
}

// Whether the file's last 128 bytes (v1, after the ID3v2 tag that ends at v2_end) are an ID3v1
// tag.
bool id3_v1_is_tag(const uint8_t* v1, uint64_t size, uint64_t v2_end) {
    return size >= ID3_V1_TAG_LEN && size - ID3_V1_TAG_LEN >= v2_end && memcmp(v1, "TAG", 3) == 0;
}

// A Latin-1 field of an ID3v1 tag as UTF-8, trailing spaces and padding left out. -1 when memory
// runs out.
int id3_v1_text(const uint8_t* p, uint64_t n, char** out) {
    uint64_t len = 0;
    while (len < n && p[len] != 0)
        len++;
    while (len > 0 && p[len - 1] == ' ')
        len--;
    *out = id3_decode_id3_text(0, p, len);
    return *out ? 0 : -1;
}

// Fills the fields the record lacks (NULL or empty) from an ID3v1 tag. -1 when memory runs out.
int id3_v1_fill(const uint8_t* v1, id3_record* t) {
    struct {
        char** field;
        uint64_t at, n;
    } texts[] = {{&t->title, ID3_V1_TITLE_AT, ID3_V1_TEXT_LEN},
                 {&t->artist, ID3_V1_ARTIST_AT, ID3_V1_TEXT_LEN},
                 {&t->album, ID3_V1_ALBUM_AT, ID3_V1_TEXT_LEN},
                 {&t->date, ID3_V1_YEAR_AT, 4}};
    for (const auto& f : texts) {
        if (*f.field && (*f.field)[0] != '\0')
            continue;
        char* text = nullptr;
        if (id3_v1_text(v1 + f.at, f.n, &text) != 0)
            return -1;
        if (text[0] == '\0' && !*f.field) {
            free(text);
            continue;
        }
        free(*f.field);
        *f.field = text;
    }
    char number[4];
    const char* genre = id3_v1_genre_name(v1[ID3_V1_GENRE_AT]);
    if (genre && (!t->genre || t->genre[0] == '\0') && id3_record_set_str(&t->genre, genre) != 0)
        return -1;
    if (v1[ID3_V1_TRACK_AT - 1] == 0 && v1[ID3_V1_TRACK_AT] != 0 &&
        (!t->track || t->track[0] == '\0')) {
        snprintf(number, sizeof number, "%u", v1[ID3_V1_TRACK_AT]);
        if (id3_record_set_str(&t->track, number) != 0)
            return -1;
    }
    return 0;
}

// A UTF-8 text into an ID3v1 field of n bytes: ISO-8859-1, a character outside it as '?', cut to
// n bytes, padded with 00.
void id3_v1_put_text(uint8_t* field, uint64_t n, const char* text) {
    memset(field, 0, (size_t)n);
    const uint8_t* p = (const uint8_t*)text;
    for (uint64_t o = 0; *p && o < n; o++) {
        uint32_t c = *p++;
        if (c >= 0x80) {
            int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
            c &= 0x3F >> more;
            for (; more > 0 && (*p & 0xC0) == 0x80; more--)
                c = (c << 6) | (*p++ & 0x3F);
        }
        field[o] = c <= 0xFF ? (uint8_t)c : '?';
    }
}

// Brings an ID3v1 tag in step with the fields a write names: the texts as id3_v1_put_text gives
// them, the year from the date's first four bytes, the genre by its number (255, none, for a name
// outside the list), the track in the version 1.1 place when it is a number of 1 to 255 (0
// there, and the full comment kept, otherwise). A named field without text is removed: blank, genre
// 255, track 0.
void id3_v1_update(uint8_t* v1, const id3_record* t, uint32_t named) {
    struct {
        uint32_t field;
        const char* text;
        uint64_t at, n;
    } texts[] = {{ID3_NAMED_TITLE, t->title, ID3_V1_TITLE_AT, ID3_V1_TEXT_LEN},
                 {ID3_NAMED_ARTIST, t->artist, ID3_V1_ARTIST_AT, ID3_V1_TEXT_LEN},
                 {ID3_NAMED_ALBUM, t->album, ID3_V1_ALBUM_AT, ID3_V1_TEXT_LEN},
                 {ID3_NAMED_DATE, t->date, ID3_V1_YEAR_AT, 4}};
    for (const auto& f : texts) {
        if (named & f.field)
            id3_v1_put_text(v1 + f.at, f.n, f.text ? f.text : "");
    }
    if (named & ID3_NAMED_GENRE) {
        v1[ID3_V1_GENRE_AT] = t->genre ? id3_v1_genre_number(t->genre) : 255;
    }
    if (named & ID3_NAMED_TRACK) {
        const char* track = t->track ? t->track : "";
        char* end = nullptr;
        long number = strtol(track, &end, 10);
        bool v11 = v1[ID3_V1_TRACK_AT - 1] == 0;
        if (number >= 1 && number <= 255 && end != track && (*end == '\0' || *end == '/') && v11) {
            v1[ID3_V1_TRACK_AT] = (uint8_t)number;
        } else if (v11) {
            v1[ID3_V1_TRACK_AT] = 0;
        }
    }
}
