// The property map: the table of property keys with the ID3v2 frames and MP4 items that hold
// them, and the record of a file's properties and pictures. Vorbis comments need no column: a
// comment's name is its key. The containers' readers look names up here; a name of no row is
// its own key (a TXXX description, a Vorbis name, an MP4 freeform name, upper-cased).
#include "properties.h"
#include "mp4_atom.h"

#include "platform.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

// Keys, then the frame of each ID3v2 version and the MP4 item. "TXXX:D" is the user text frame
// of description D, "UFID:O" the identifier of owner O, "TIPL:R" (version 2.3: "IPLS:R") the
// involved person of role R; COMM and USLT with an empty description hold COMMENT and LYRICS
// (with a description D, the keys COMMENT:D and LYRICS:D). The MP4 freeform items of iTunes are
// "----:com.apple.iTunes:NAME".
#define ITUNES MP4_ITUNES_FREEFORM
const id3_property_row id3_property_table[] = {
    {"TITLE", "TIT2", "TIT2", "\251nam"},
    {"ARTIST", "TPE1", "TPE1", "\251ART"},
    {"ALBUM", "TALB", "TALB", "\251alb"},
    {"ALBUMARTIST", "TPE2", "TPE2", "aART"},
    {"TRACKNUMBER", "TRCK", "TRCK", "trkn"},
    {"DISCNUMBER", "TPOS", "TPOS", "disk"},
    {"DATE", "TDRC", "TYER", "\251day"},
    {"ORIGINALDATE", "TDOR", "TORY", ITUNES "ORIGINALDATE"},
    {"RELEASEDATE", "TDRL", "TDRL", ITUNES "RELEASEDATE"},
    {"GENRE", "TCON", "TCON", "\251gen"},
    {"COMPOSER", "TCOM", "TCOM", "\251wrt"},
    {"LYRICIST", "TEXT", "TEXT", ITUNES "LYRICIST"},
    {"CONDUCTOR", "TPE3", "TPE3", ITUNES "CONDUCTOR"},
    {"REMIXER", "TPE4", "TPE4", ITUNES "REMIXER"},
    {"COMMENT", "COMM", "COMM", "\251cmt"},
    {"LYRICS", "USLT", "USLT", "\251lyr"},
    {"COMPILATION", "TCMP", "TCMP", "cpil"},
    {"BPM", "TBPM", "TBPM", "tmpo"},
    {"GROUPING", "GRP1", "GRP1", "\251grp"},
    {"SUBTITLE", "TIT3", "TIT3", ITUNES "SUBTITLE"},
    {"DISCSUBTITLE", "TSST", "TSST", ITUNES "DISCSUBTITLE"},
    {"WORK", "TIT1", "TIT1", "\251wrk"},
    {"MOVEMENTNAME", "MVNM", "MVNM", "\251mvn"},
    {"MOVEMENTNUMBER", "MVIN", "MVIN", "\251mvi"},
    {"TITLESORT", "TSOT", "TSOT", "sonm"},
    {"ARTISTSORT", "TSOP", "TSOP", "soar"},
    {"ALBUMSORT", "TSOA", "TSOA", "soal"},
    {"ALBUMARTISTSORT", "TSO2", "TSO2", "soaa"},
    {"COMPOSERSORT", "TSOC", "TSOC", "soco"},
    {"ARTISTS", "TXXX:ARTISTS", "TXXX:ARTISTS", ITUNES "ARTISTS"},
    {"ENCODEDBY", "TENC", "TENC", "\251enc"},
    {"ENCODING", "TSSE", "TSSE", "\251too"},
    {"COPYRIGHT", "TCOP", "TCOP", "cprt"},
    {"LABEL", "TPUB", "TPUB", ITUNES "LABEL"},
    {"ISRC", "TSRC", "TSRC", ITUNES "ISRC"},
    {"MEDIA", "TMED", "TMED", ITUNES "MEDIA"},
    {"MOOD", "TMOO", "TMOO", ITUNES "MOOD"},
    {"LANGUAGE", "TLAN", "TLAN", ITUNES "LANGUAGE"},
    {"INITIALKEY", "TKEY", "TKEY", ITUNES "initialkey"},
    // The podcast and TV items of iTunes, by TagLib's names for them (TagLib does not map ldes
    // and keyw: LONGDESCRIPTION and PODCASTKEYWORDS are names of ours); an ID3v2 tag holds them
    // in TXXX frames of the key, as it holds any key of no frame.
    {"PODCASTDESC", "TXXX:PODCASTDESC", "TXXX:PODCASTDESC", "desc"},
    {"LONGDESCRIPTION", "TXXX:LONGDESCRIPTION", "TXXX:LONGDESCRIPTION", "ldes"},
    {"PODCASTCATEGORY", "TXXX:PODCASTCATEGORY", "TXXX:PODCASTCATEGORY", "catg"},
    {"PODCASTKEYWORDS", "TXXX:PODCASTKEYWORDS", "TXXX:PODCASTKEYWORDS", "keyw"},
    {"PODCASTURL", "TXXX:PODCASTURL", "TXXX:PODCASTURL", "purl"},
    {"PODCASTID", "TXXX:PODCASTID", "TXXX:PODCASTID", "egid"},
    {"TVSHOW", "TXXX:TVSHOW", "TXXX:TVSHOW", "tvsh"},
    {"TVNETWORK", "TXXX:TVNETWORK", "TXXX:TVNETWORK", "tvnn"},
    {"TVEPISODEID", "TXXX:TVEPISODEID", "TXXX:TVEPISODEID", "tven"},
    {"LENGTH", "TLEN", "TLEN", nullptr},
    {"ORIGINALALBUM", "TOAL", "TOAL", nullptr},
    {"ORIGINALARTIST", "TOPE", "TOPE", nullptr},
    {"ORIGINALLYRICIST", "TOLY", "TOLY", nullptr},
    {"ORIGINALFILENAME", "TOFN", "TOFN", nullptr},
    {"OWNER", "TOWN", "TOWN", nullptr},
    {"RADIOSTATION", "TRSN", "TRSN", nullptr},
    {"RADIOSTATIONOWNER", "TRSO", "TRSO", nullptr},
    {"PRODUCEDNOTICE", "TPRO", "TPRO", nullptr},
    {"ENCODINGTIME", "TDEN", "TDEN", nullptr},
    {"TAGGINGDATE", "TDTG", "TDTG", nullptr},
    {"PLAYLISTDELAY", "TDLY", "TDLY", nullptr},
    {"FILETYPE", "TFLT", "TFLT", nullptr},
    {"ARRANGER", "TIPL:arranger", "IPLS:arranger", nullptr},
    {"ENGINEER", "TIPL:engineer", "IPLS:engineer", ITUNES "ENGINEER"},
    {"PRODUCER", "TIPL:producer", "IPLS:producer", ITUNES "PRODUCER"},
    {"DJMIXER", "TIPL:DJ-mix", "IPLS:DJ-mix", ITUNES "DJMIXER"},
    {"MIXER", "TIPL:mix", "IPLS:mix", ITUNES "MIXER"},
    {"MUSICBRAINZ_TRACKID", "UFID:http://musicbrainz.org", "UFID:http://musicbrainz.org",
     ITUNES "MusicBrainz Track Id"},
    {"MUSICBRAINZ_ALBUMID", "TXXX:MusicBrainz Album Id", "TXXX:MusicBrainz Album Id",
     ITUNES "MusicBrainz Album Id"},
    {"MUSICBRAINZ_ARTISTID", "TXXX:MusicBrainz Artist Id", "TXXX:MusicBrainz Artist Id",
     ITUNES "MusicBrainz Artist Id"},
    {"MUSICBRAINZ_ALBUMARTISTID", "TXXX:MusicBrainz Album Artist Id",
     "TXXX:MusicBrainz Album Artist Id", ITUNES "MusicBrainz Album Artist Id"},
    {"MUSICBRAINZ_RELEASEGROUPID", "TXXX:MusicBrainz Release Group Id",
     "TXXX:MusicBrainz Release Group Id", ITUNES "MusicBrainz Release Group Id"},
    {"MUSICBRAINZ_RELEASETRACKID", "TXXX:MusicBrainz Release Track Id",
     "TXXX:MusicBrainz Release Track Id", ITUNES "MusicBrainz Release Track Id"},
    {"MUSICBRAINZ_WORKID", "TXXX:MusicBrainz Work Id", "TXXX:MusicBrainz Work Id",
     ITUNES "MusicBrainz Work Id"},
    {"RELEASESTATUS", "TXXX:MusicBrainz Album Status", "TXXX:MusicBrainz Album Status",
     ITUNES "MusicBrainz Album Status"},
    {"RELEASETYPE", "TXXX:MusicBrainz Album Type", "TXXX:MusicBrainz Album Type",
     ITUNES "MusicBrainz Album Type"},
    {"RELEASECOUNTRY", "TXXX:MusicBrainz Album Release Country",
     "TXXX:MusicBrainz Album Release Country", ITUNES "MusicBrainz Album Release Country"},
    {"ACOUSTID_ID", "TXXX:Acoustid Id", "TXXX:Acoustid Id", ITUNES "Acoustid Id"},
    {"ACOUSTID_FINGERPRINT", "TXXX:Acoustid Fingerprint", "TXXX:Acoustid Fingerprint",
     ITUNES "Acoustid Fingerprint"},
    {"MUSICIP_PUID", "TXXX:MusicIP PUID", "TXXX:MusicIP PUID", ITUNES "MusicIP PUID"},
    {"ASIN", "TXXX:ASIN", "TXXX:ASIN", ITUNES "ASIN"},
    {"BARCODE", "TXXX:BARCODE", "TXXX:BARCODE", ITUNES "BARCODE"},
    {"CATALOGNUMBER", "TXXX:CATALOGNUMBER", "TXXX:CATALOGNUMBER", ITUNES "CATALOGNUMBER"},
    {"SCRIPT", "TXXX:SCRIPT", "TXXX:SCRIPT", ITUNES "SCRIPT"},
    {"REPLAYGAIN_TRACK_GAIN", "TXXX:REPLAYGAIN_TRACK_GAIN", "TXXX:REPLAYGAIN_TRACK_GAIN",
     ITUNES "REPLAYGAIN_TRACK_GAIN"},
    {"REPLAYGAIN_TRACK_PEAK", "TXXX:REPLAYGAIN_TRACK_PEAK", "TXXX:REPLAYGAIN_TRACK_PEAK",
     ITUNES "REPLAYGAIN_TRACK_PEAK"},
    {"REPLAYGAIN_ALBUM_GAIN", "TXXX:REPLAYGAIN_ALBUM_GAIN", "TXXX:REPLAYGAIN_ALBUM_GAIN",
     ITUNES "REPLAYGAIN_ALBUM_GAIN"},
    {"REPLAYGAIN_ALBUM_PEAK", "TXXX:REPLAYGAIN_ALBUM_PEAK", "TXXX:REPLAYGAIN_ALBUM_PEAK",
     ITUNES "REPLAYGAIN_ALBUM_PEAK"},
    {"ARTISTWEBPAGE", "WOAR", "WOAR", nullptr},
    {"COPYRIGHTURL", "WCOP", "WCOP", nullptr},
    {"FILEWEBPAGE", "WOAF", "WOAF", nullptr},
    {"AUDIOSOURCEWEBPAGE", "WOAS", "WOAS", nullptr},
    {"RADIOSTATIONWEBPAGE", "WORS", "WORS", nullptr},
    {"PAYMENTWEBPAGE", "WPAY", "WPAY", nullptr},
    {"PUBLISHERWEBPAGE", "WPUB", "WPUB", nullptr},
};
const size_t id3_property_table_len = sizeof id3_property_table / sizeof id3_property_table[0];

// Whether spec is "ID" (an empty qualifier) or "ID:QUALIFIER" (the qualifier compared without
// regard to ASCII case).
static bool id3_spec_matches(const char* spec, const char* id, const char* qualifier,
                             uint64_t qualifier_len) {
    if (!spec || strncmp(spec, id, 4) != 0)
        return false;
    if (spec[4] == '\0')
        return qualifier_len == 0;
    return spec[4] == ':' && strlen(spec + 5) == qualifier_len &&
           plat_strnicmp(spec + 5, qualifier, (size_t)qualifier_len) == 0;
}

const char* id3_property_of_id3(const char* id, const char* qualifier, uint64_t qualifier_len,
                                int major) {
    for (size_t i = 0; i < id3_property_table_len; i++) {
        const id3_property_row& row = id3_property_table[i];
        const char* spec = major >= 4 ? row.id3v24 : row.id3v23;
        if (id3_spec_matches(spec, id, qualifier, qualifier_len))
            return row.key;
    }
    // Frames of the other version that taggers write anyway (TSOP in a version 2.3 tag).
    for (size_t i = 0; i < id3_property_table_len; i++) {
        const id3_property_row& row = id3_property_table[i];
        const char* spec = major >= 4 ? row.id3v23 : row.id3v24;
        if (id3_spec_matches(spec, id, qualifier, qualifier_len))
            return row.key;
    }
    return nullptr;
}

const char* id3_property_of_mp4(const char* name, uint64_t name_len) {
    for (size_t i = 0; i < id3_property_table_len; i++) {
        const char* item = id3_property_table[i].mp4;
        if (!item || strlen(item) != name_len)
            continue;
        // Freeform names are compared without regard to case: taggers differ in it.
        bool freeform = name_len > 4 && memcmp(item, "----", 4) == 0;
        if (freeform ? plat_strnicmp(item, name, (size_t)name_len) == 0
                     : memcmp(item, name, (size_t)name_len) == 0)
            return id3_property_table[i].key;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// The property record

void id3_property_map_free(id3_property_map* p) {
    if (!p)
        return;
    for (uint64_t i = 0; i < p->count; i++) {
        free(p->items[i].key);
        free(p->items[i].value);
    }
    for (uint64_t i = 0; i < p->picture_count; i++)
        free(p->pictures[i].description);
    free(p->items);
    free(p->pictures);
    memset(p, 0, sizeof *p);
}

// A NUL-terminated copy of n bytes; NULL when memory runs out.
static char* copy_bytes(const char* bytes, uint64_t n) {
    char* copy = nullptr;
    return id3_record_store_text(&copy, bytes, n) == 0 ? copy : nullptr;
}

int id3_property_map_add(id3_property_map* p, const char* key, uint64_t key_len, bool upper,
                         const char* value, uint64_t value_len) {
    if (id3_grow_for_one((void**)&p->items, p->count, &p->cap, sizeof(id3_prop)) != 0)
        return -1;
    char* key_copy = copy_bytes(key, key_len);
    char* value_copy = copy_bytes(value, value_len);
    if (!key_copy || !value_copy) {
        free(key_copy);
        free(value_copy);
        return -1;
    }
    if (upper) {
        for (char* c = key_copy; *c; c++) {
            if (*c >= 'a' && *c <= 'z')
                *c = (char)(*c - 'a' + 'A');
        }
    }
    p->items[p->count++] = id3_prop{key_copy, value_copy, value_len};
    return 0;
}

int id3_property_map_add_picture(id3_property_map* p, int32_t type, const char* mime,
                                 uint64_t mime_len, const char* description,
                                 uint64_t description_len, uint64_t size) {
    if (id3_grow_for_one((void**)&p->pictures, p->picture_count, &p->picture_cap,
                         sizeof(id3_picture_info)) != 0)
        return -1;
    id3_picture_info info;
    memset(&info, 0, sizeof info);
    info.type = type;
    info.size = size;
    if (mime_len > sizeof info.mime - 1)
        mime_len = sizeof info.mime - 1;
    if (mime_len > 0)
        memcpy(info.mime, mime, (size_t)mime_len);
    info.description = copy_bytes(description, description_len);
    if (!info.description)
        return -1;
    p->pictures[p->picture_count++] = info;
    return 0;
}

bool id3_property_map_has(const id3_property_map* p, const char* key) {
    for (uint64_t i = 0; i < p->count; i++) {
        if (strcmp(p->items[i].key, key) == 0)
            return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Property changes

const char* const id3_field_keys[ID3_FIELD_COUNT] = {"TITLE", "ARTIST", "ALBUM",
                                                     "GENRE", "DATE",   "TRACKNUMBER"};

static void edit_free(id3_prop_edit* edit) {
    free(edit->values);
    free(edit->key);
}

void id3_prop_edits_free(id3_prop_edits* e) {
    if (!e)
        return;
    for (uint64_t i = 0; i < e->count; i++)
        edit_free(&e->items[i]);
    free(e->items);
    free(e->by_key);
    free(e->texts);
    memset(e, 0, sizeof *e);
}

static unsigned char ascii_upper(char c) {
    return (unsigned char)(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
}

// Orders two keys by their bytes with ASCII letters upper-cased; where one key begins the other,
// the shorter comes first. 0 when they name the same property.
static int compare_keys(const char* a, uint64_t a_len, const char* b, uint64_t b_len) {
    uint64_t n = a_len < b_len ? a_len : b_len;
    for (uint64_t i = 0; i < n; i++) {
        unsigned char x = ascii_upper(a[i]), y = ascii_upper(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a_len == b_len ? 0 : a_len < b_len ? -1 : 1;
}

int id3_prop_edits_index(id3_prop_edits* e) {
    free(e->by_key);
    e->by_key = nullptr;
    if (e->count == 0)
        return 0;
    if (e->count > SIZE_MAX / sizeof(uint64_t))
        return -1;
    e->by_key = (uint64_t*)malloc((size_t)e->count * sizeof(uint64_t));
    if (!e->by_key)
        return -1;
    for (uint64_t i = 0; i < e->count; i++)
        e->by_key[i] = i;
    const id3_prop_edit* items = e->items;
    std::sort(e->by_key, e->by_key + e->count, [items](uint64_t a, uint64_t b) {
        const char* ka = items[a].key;
        const char* kb = items[b].key;
        return compare_keys(ka, strlen(ka), kb, strlen(kb)) < 0;
    });
    return 0;
}

uint64_t id3_prop_edits_first_repeat(const id3_prop_edits* e) {
    uint64_t first = e->count;
    // In each run of equal keys the second smallest position is where the key repeats.
    for (uint64_t start = 0, end; e->by_key && start < e->count; start = end) {
        const char* k = e->items[e->by_key[start]].key;
        uint64_t k_len = strlen(k);
        uint64_t lowest = e->by_key[start], second = e->count;
        for (end = start + 1; end < e->count; end++) {
            const char* other = e->items[e->by_key[end]].key;
            if (compare_keys(other, strlen(other), k, k_len) != 0)
                break;
            uint64_t at = e->by_key[end];
            second = std::min(second, std::max(at, lowest));
            lowest = std::min(lowest, at);
        }
        first = std::min(first, second);
    }
    return first;
}

const id3_prop_edit* id3_prop_edits_find(const id3_prop_edits* e, const char* key,
                                         uint64_t key_len) {
    if (!e || e->count == 0)
        return nullptr;
    if (!e->by_key) {
        for (uint64_t i = 0; i < e->count; i++) {
            const char* k = e->items[i].key;
            if (compare_keys(k, strlen(k), key, key_len) == 0)
                return &e->items[i];
        }
        return nullptr;
    }
    uint64_t low = 0, high = e->count;
    while (low < high) {
        uint64_t mid = low + (high - low) / 2;
        const char* k = e->items[e->by_key[mid]].key;
        if (compare_keys(k, strlen(k), key, key_len) < 0)
            low = mid + 1;
        else
            high = mid;
    }
    if (low == e->count)
        return nullptr;
    const id3_prop_edit* found = &e->items[e->by_key[low]];
    return compare_keys(found->key, strlen(found->key), key, key_len) == 0 ? found : nullptr;
}

int id3_prop_edits_drop_unchanged(id3_prop_edits* e, const id3_property_map* now) {
    if (e->count == 0)
        return 0;
    if (!e->by_key && id3_prop_edits_index(e) != 0)
        return -1;
    // One pass over the map: how many of each change's values it holds in order so far, or
    // DIFFERS once a value or the count differs.
    const uint64_t DIFFERS = UINT64_MAX;
    std::unique_ptr<uint64_t[], id3_free_deleter> matched(
        (uint64_t*)calloc((size_t)e->count, sizeof(uint64_t)));
    if (!matched)
        return -1;
    for (uint64_t i = 0; i < now->count; i++) {
        const id3_prop& item = now->items[i];
        const id3_prop_edit* edit = id3_prop_edits_find(e, item.key, strlen(item.key));
        // A key of the map names a change only when it is the change's key exactly.
        if (!edit || strcmp(item.key, edit->key) != 0)
            continue;
        uint64_t& n = matched[edit - e->items];
        if (n == DIFFERS)
            continue;
        if (n == edit->count || strlen(edit->values[n]) != item.value_len ||
            memcmp(edit->values[n], item.value, (size_t)item.value_len) != 0)
            n = DIFFERS;
        else
            n++;
    }
    uint64_t kept = 0;
    for (uint64_t i = 0; i < e->count; i++) {
        if (matched[i] == e->items[i].count)
            edit_free(&e->items[i]);
        else
            e->items[kept++] = e->items[i];
    }
    e->count = kept;
    return id3_prop_edits_index(e);
}

const id3_property_row* id3_property_row_of(const char* key) {
    for (size_t i = 0; i < id3_property_table_len; i++) {
        if (strcmp(id3_property_table[i].key, key) == 0)
            return &id3_property_table[i];
    }
    return nullptr;
}

bool id3_parse_number(const char* text, unsigned long max, bool pair, long* number, long* total) {
    *total = -1;
    const char* p = text;
    long* target = number;
    for (;;) {
        if (*p < '0' || *p > '9')
            return false;
        unsigned long v = 0;
        while (*p >= '0' && *p <= '9') {
            v = v * 10 + (unsigned long)(*p++ - '0');
            if (v > max)
                return false;
        }
        *target = (long)v;
        if (*p == '\0')
            return true;
        if (*p != '/' || !pair || target == total)
            return false;
        p++;
        target = total;
    }
}

// MP4 items of one value that is a number: the track and disc pairs, the tempo, the compilation
// flag and the movement number. The largest value each holds.
static bool mp4_number_item(const char* item, unsigned long* max, bool* pair) {
    const id3_mp4_item_rule* rule = id3_mp4_item_rule_of(item);
    if (rule->kind != MP4_ITEM_PAIR && rule->kind != MP4_ITEM_NUMBER &&
        rule->kind != MP4_ITEM_TYPED_NUMBER)
        return false;
    *max = rule->max;
    *pair = rule->kind == MP4_ITEM_PAIR;
    return true;
}

// Whether a key can name a Vorbis comment: printable ASCII up to '}' ('=' is refused for every
// container).
static bool is_comment_name(const char* key) {
    for (const char* c = key; *c; c++) {
        if (*c < 0x20 || *c > 0x7D)
            return false;
    }
    return true;
}

int id3_prop_edits_check(const id3_prop_edits* e, int32_t format) {
    int tags = id3_format_info_of(format)->tags;
    bool comments = tags == ID3_TAGS_VORBIS;
    for (uint64_t i = 0; e && i < e->count; i++) {
        const id3_prop_edit& edit = e->items[i];
        if (comments && !is_comment_name(edit.key)) {
            id3_set_error("key not supported by %s: %s", id3_format_name(format), edit.key);
            return -1;
        }
        const id3_property_row* row = id3_property_row_of(edit.key);
        bool one_value = false;
        if (tags == ID3_TAGS_ID3V2) {
            // One lyrics frame per description and language, one identifier per owner.
            one_value = strcmp(edit.key, "LYRICS") == 0 || strncmp(edit.key, "LYRICS:", 7) == 0 ||
                        (row && strncmp(row->id3v24, "UFID", 4) == 0);
        }
        unsigned long max = 0;
        bool pair = false;
        bool number = tags == ID3_TAGS_MP4 && row && mp4_number_item(row->mp4, &max, &pair);
        if ((one_value || number) && edit.count > 1) {
            id3_set_error("several values not supported by %s: %s", id3_format_name(format),
                          edit.key);
            return -1;
        }
        long value = 0, total = 0;
        if (number && edit.count == 1 &&
            !id3_parse_number(edit.values[0], max, pair, &value, &total)) {
            id3_set_error("value not supported by mp4: %s", edit.key);
            return -1;
        }
    }
    return 0;
}
