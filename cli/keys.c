/* Property keys a person types: --set and --remove take a key of the property table or one the
 * file already holds; any other key is taken for a typo, refused with the nearest known keys,
 * unless --set-custom marks it as intended. */
#include "cli.h"

#include "quorvale_id3tag.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The keys of the property table of docs/properties.md. The library has the table but no call
 * that lists it, so the program keeps this copy. */
static const char* const PROPERTY_TABLE[] = {"TITLE",
                                             "ARTIST",
                                             "ALBUM",
                                             "ALBUMARTIST",
                                             "TRACKNUMBER",
                                             "DISCNUMBER",
                                             "DATE",
                                             "ORIGINALDATE",
                                             "RELEASEDATE",
                                             "GENRE",
                                             "COMPOSER",
                                             "LYRICIST",
                                             "CONDUCTOR",
                                             "REMIXER",
                                             "COMMENT",
                                             "LYRICS",
                                             "COMPILATION",
                                             "BPM",
                                             "GROUPING",
                                             "SUBTITLE",
                                             "DISCSUBTITLE",
                                             "WORK",
                                             "MOVEMENTNAME",
                                             "MOVEMENTNUMBER",
                                             "TITLESORT",
                                             "ARTISTSORT",
                                             "ALBUMSORT",
                                             "ALBUMARTISTSORT",
                                             "COMPOSERSORT",
                                             "ARTISTS",
                                             "ENCODEDBY",
                                             "ENCODING",
                                             "COPYRIGHT",
                                             "LABEL",
                                             "ISRC",
                                             "MEDIA",
                                             "MOOD",
                                             "LANGUAGE",
                                             "INITIALKEY",
                                             "PODCASTDESC",
                                             "LONGDESCRIPTION",
                                             "PODCASTCATEGORY",
                                             "PODCASTKEYWORDS",
                                             "PODCASTURL",
                                             "PODCASTID",
                                             "TVSHOW",
                                             "TVNETWORK",
                                             "TVEPISODEID",
                                             "LENGTH",
                                             "ORIGINALALBUM",
                                             "ORIGINALARTIST",
                                             "ORIGINALLYRICIST",
                                             "ORIGINALFILENAME",
                                             "OWNER",
                                             "RADIOSTATION",
                                             "RADIOSTATIONOWNER",
                                             "PRODUCEDNOTICE",
                                             "ENCODINGTIME",
                                             "TAGGINGDATE",
                                             "PLAYLISTDELAY",
                                             "FILETYPE",
                                             "ARRANGER",
                                             "ENGINEER",
                                             "PRODUCER",
                                             "DJMIXER",
                                             "MIXER",
                                             "PERFORMER",
                                             "MUSICBRAINZ_TRACKID",
                                             "MUSICBRAINZ_ALBUMID",
                                             "MUSICBRAINZ_ARTISTID",
                                             "MUSICBRAINZ_ALBUMARTISTID",
                                             "MUSICBRAINZ_RELEASEGROUPID",
                                             "MUSICBRAINZ_RELEASETRACKID",
                                             "MUSICBRAINZ_WORKID",
                                             "RELEASESTATUS",
                                             "RELEASETYPE",
                                             "RELEASECOUNTRY",
                                             "ACOUSTID_ID",
                                             "ACOUSTID_FINGERPRINT",
                                             "MUSICIP_PUID",
                                             "ASIN",
                                             "BARCODE",
                                             "CATALOGNUMBER",
                                             "SCRIPT",
                                             "REPLAYGAIN_TRACK_GAIN",
                                             "REPLAYGAIN_TRACK_PEAK",
                                             "REPLAYGAIN_ALBUM_GAIN",
                                             "REPLAYGAIN_ALBUM_PEAK",
                                             "ARTISTWEBPAGE",
                                             "COPYRIGHTURL",
                                             "FILEWEBPAGE",
                                             "AUDIOSOURCEWEBPAGE",
                                             "RADIOSTATIONWEBPAGE",
                                             "PAYMENTWEBPAGE",
                                             "PUBLISHERWEBPAGE"};
#define TABLE_SIZE (sizeof PROPERTY_TABLE / sizeof PROPERTY_TABLE[0])

/* How many suggestions an unknown key gets. */
#define MAX_SUGGESTIONS 3

/* How far (in edits) a suggestion may be from a key of `len` characters: a short key is near
 * too many keys to tell which one was meant. */
static size_t suggestion_distance(size_t len) {
    return len <= 3 ? 1 : len < 8 ? 2 : 3;
}

/* 1 when `key` (upper case) is in the table; a key "BASE:D" (COMMENT:D, LYRICS:D, PERFORMER:I)
 * counts by its BASE. */
int is_table_key(const char* key) {
    const char* colon = strchr(key, ':');
    size_t len = colon ? (size_t)(colon - key) : strlen(key);
    for (size_t i = 0; i < TABLE_SIZE; i++) {
        if (strlen(PROPERTY_TABLE[i]) == len && memcmp(PROPERTY_TABLE[i], key, len) == 0)
            return 1;
    }
    return 0;
}

/* The edit distance between two keys (insertions, deletions, substitutions), counted up to
 * `limit + 1`. */
static size_t edit_distance(const char* a, const char* b, size_t limit) {
    size_t la = strlen(a), lb = strlen(b);
    if (la > lb + limit || lb > la + limit || lb > 255)
        return limit + 1;
    size_t row[256];
    for (size_t j = 0; j <= lb; j++)
        row[j] = j;
    for (size_t i = 1; i <= la; i++) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= lb; j++) {
            size_t above = row[j];
            size_t best = diagonal + (a[i - 1] != b[j - 1]);
            if (above + 1 < best)
                best = above + 1;
            if (row[j - 1] + 1 < best)
                best = row[j - 1] + 1;
            row[j] = best;
            diagonal = above;
        }
    }
    return row[lb];
}

/* Appends " (did you mean A, B or C?)" for the table keys nearest to `key`, or nothing. */
static void append_suggestions(struct text_buf* out, const char* key) {
    const char* chosen[MAX_SUGGESTIONS];
    size_t count = 0;
    size_t furthest = suggestion_distance(strlen(key));
    for (size_t distance = 1; distance <= furthest && count < MAX_SUGGESTIONS; distance++) {
        for (size_t i = 0; i < TABLE_SIZE && count < MAX_SUGGESTIONS; i++) {
            if (edit_distance(key, PROPERTY_TABLE[i], distance) == distance)
                chosen[count++] = PROPERTY_TABLE[i];
        }
        if (count && distance >= 2)
            break; /* keys further off than the nearest add noise */
    }
    for (size_t i = 0; i < count; i++) {
        buf_append_str(out, i == 0 ? " (did you mean " : i + 1 == count ? " or " : ", ");
        buf_append_str(out, chosen[i]);
    }
    if (count)
        buf_append_str(out, "?)");
}

/* 1 when one of the files holds the property `key` (upper case), or when none of them can be
 * read: the key cannot be judged then, and each write reports its file. */
static int held_by_a_file(const char* key, const struct path_list* paths) {
    int any_read = 0;
    for (size_t i = 0; i < paths->count; i++) {
        char* all = id3_read_all(paths->items[i]);
        if (!all)
            continue;
        any_read = 1;
        struct json_member members[KEY_COUNT];
        const char* error;
        size_t where;
        struct property_list held = {0};
        int found = scan_tag_object(all, members, 0, &error, &where) == 0 &&
                    members[KEY_PROPERTIES].type == 'o' &&
                    parse_properties(members[KEY_PROPERTIES].value, &held) == 0 &&
                    properties_find(&held, key) != NULL;
        properties_free(&held);
        id3_free_string(all);
        if (found)
            return 1;
    }
    return !any_read;
}

int check_property_keys(const char* command, const struct write_args* args,
                        const struct path_list* paths) {
    for (size_t i = 0; i < args->property_count; i++) {
        if (args->property_custom[i])
            continue;
        const char* arg = args->property_args[i];
        const char* equals = strchr(arg, '=');
        size_t key_len = equals ? (size_t)(equals - arg) : strlen(arg);
        struct text_buf key = {0};
        buf_append(&key, arg, key_len);
        buf_append(&key, "", 1);
        if (key.failed)
            return out_of_memory();
        for (char* c = key.data; *c; c++) {
            if (*c >= 'a' && *c <= 'z')
                *c = (char)(*c - 'a' + 'A');
        }
        if (is_table_key(key.data) || held_by_a_file(key.data, paths)) {
            free(key.data);
            continue;
        }
        struct text_buf message = {0};
        buf_append_str(&message, command);
        buf_append_str(&message, ": unknown property key '");
        buf_append(&message, arg, key_len);
        buf_append_str(&message, "'");
        append_suggestions(&message, key.data);
        buf_append_str(&message, args->property_removes[i]
                                     ? "; no FILE holds it"
                                     : "; to store it as it is, use --set-custom KEY=VALUE");
        free(key.data);
        int status = message.failed ? out_of_memory() : usage_error(command, message.data);
        free(message.data);
        return status;
    }
    return EXIT_OK;
}
