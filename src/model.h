// One load of a file (model.cpp): where its parts lie (regions), every item of its tags in the
// file's order (items), and room for the description of its audio. A container's loader fills it
// once per call; the record of six fields and the property map are folds over the items, and a
// write decides per item whether it is kept as it stands, converted, dropped or replaced.
#ifndef QID3_MODEL_H
#define QID3_MODEL_H

#include "properties.h"

// The parts of a file, in the file's order.
#define ID3_REGION_ID3V2 1       // an ID3v2 tag, header to footer
#define ID3_REGION_PADDING 2     // zero bytes a tag holds in reserve
#define ID3_REGION_AUDIO 3       // the audio frames or stream, as far as they are known
#define ID3_REGION_ID3V1 4       // the 128-byte ID3v1 tag at the end
#define ID3_REGION_APE 5         // an APEv2 (or v1) tag, header and footer included
#define ID3_REGION_FLAC_BLOCK 6  // a FLAC metadata block, header included; `type` its block type
#define ID3_REGION_OGG_HEADERS 7 // the pages that hold the header packets of an Ogg stream
#define ID3_REGION_MP4_ATOM 8    // a top-level MP4 atom; `type` its four characters, big-endian
// The payload of the MP4 item list (moov/udta/meta/ilst): its items, inside the moov atom's region.
#define ID3_REGION_MP4_ITEM_LIST 9
// From where a walk stopped at bytes it could not get past (a FLAC block whose body runs past the
// end of the file) to the end of the file.
#define ID3_REGION_DAMAGED 10
struct id3_region {
    int kind;
    uint64_t off;
    uint64_t len;
    uint32_t type;
};

// What an item holds.
#define ID3_ITEM_TEXT 1    // texts: the values, and a qualifier where the format has one
#define ID3_ITEM_PICTURE 2 // a picture: type, MIME type, description and its bytes
#define ID3_ITEM_OTHER 3   // bytes this library does not list, carried as they stand
// A picture whose fields cannot be read: it ranks among the pictures, and when it ranks first the
// record has no cover.
#define ID3_ITEM_BAD_PICTURE 4

// One item of a tag: an ID3v2 frame, an ID3v1 or APE field, a Vorbis comment, a FLAC PICTURE
// block, an MP4 item. Every pointer that is not said to be borrowed is NULL or malloc'd and owned
// by the item.
struct id3_item {
    int tag;  // the ID3_REGION_* kind of the tag it stands in
    int kind; // ID3_ITEM_*
    // The identifier as the format spells it, normalised (an ID3v2.2 frame under its 2.3/2.4
    // name, a Vorbis comment's name as written, an MP4 item's type or "----"). Borrowed: from the
    // loaded bytes or a static table.
    const char* id;
    uint32_t id_len;
    char* qualifier;  // UTF-8: a TXXX or COMM description, a UFID owner, a freeform item's name
    char* key;        // the property key, looked up once; NULL when the item holds no property
    uint64_t key_len; // the key's bytes (0: strlen(key)); a Vorbis comment's name may hold a NUL,
                      // which ends it as a property's key but not as a field's name
    char** values;    // UTF-8 texts, each with a NUL after its value_lens[i] bytes
    uint64_t* value_lens;
    uint64_t value_count;
    // Where the whole item lies in the file (header included), and its bytes as loaded (borrowed:
    // from the file's prefix or a block the model holds; NULL when they were not loaded). raw_off
    // is UINT64_MAX for bytes that lie in the file only in another form (the frames of an
    // unsynchronised ID3v2 tag, or of one whose sizes were made syncsafe). Several items may share
    // one span: an ID3v2 pair frame (TIPL, TMCL) gives one item per run of pairs of one role.
    uint64_t raw_off;
    uint64_t raw_len;
    const uint8_t* raw;
    // A picture's fields; its bytes lie at data (borrowed like raw), data_len of them. (An MP4
    // item of another kind: the value of its first data atom, NULL when it has none.)
    int32_t picture_type;
    char mime[64];
    char* description;
    const uint8_t* data;
    uint64_t data_len;
    // Where the record's cover takes another MIME type than the listing's `mime` (an Ogg COVERART
    // picture, whose type is the first COVERARTMIME comment's even when that is empty): that
    // type, cover_mime_len bytes (borrowed); NULL otherwise.
    const char* cover_mime;
    uint64_t cover_mime_len;
    // Precedence among items that give one record field: the lowest wins (an ID3v2 frame before
    // the ID3v1 field, TDRC before TYER).
    int rank;
    // Damage inside the item that a fold must fail on (ID3_ITEM_DAMAGED_* bits): an MP4 item whose
    // children do not walk to its end gives no property map when it has a key, and no record
    // when the damage comes before its first value.
    int damaged;
};
#define ID3_ITEM_DAMAGED_FOR_PROPS 1
#define ID3_ITEM_DAMAGED_FOR_RECORD 2

// The description of the audio; no loader fills it yet.
struct id3_audio;
struct id3_ogg_stream;

struct id3_model {
    int32_t format;
    id3_region* regions;
    uint64_t region_count;
    uint64_t region_cap;
    id3_item* items;
    uint64_t item_count;
    uint64_t item_cap;
    id3_audio* audio; // NULL: not described
    // An Ogg load: its stream's header pages and packets, for the writer (tag_ogg.cpp); held in
    // `blocks`. NULL otherwise.
    id3_ogg_stream* ogg;
    // Blocks read from the file beyond its prefix or decoded from it, which items borrow from.
    uint8_t** blocks;
    uint64_t block_count;
    uint64_t block_cap;
};

// All zero is the empty model; id3_model_free releases what it owns and empties it.
void id3_model_free(id3_model* m);
struct id3_model_guard {
    id3_model* m;
    ~id3_model_guard() { id3_model_free(m); }
};
// Adds a region. -1 when memory runs out.
int id3_model_add_region(id3_model* m, int kind, uint64_t off, uint64_t len, uint32_t type);
// Adds an all-zero item for the caller to fill; NULL when memory runs out.
id3_item* id3_model_add_item(id3_model* m);
// Adds a copy of n bytes as the item's next value. -1 when memory runs out.
int id3_item_add_value(id3_item* item, const char* text, uint64_t n);
// The folds over the items (fold.cpp): the property map (every item's values under its key, and
// every picture), and the record of six fields and the cover, each field from the item of its key
// that ranks first. 0, or -1 with a message.
int id3_model_props(const id3_model* m, id3_property_map* p);
int id3_model_record(const id3_model* m, id3_record* t);
// The picture the record's cover comes from (the picture that ranks first, when its fields can
// be read), or NULL. id3_model_record notes the cover and its type without its bytes;
// id3_model_copy_cover copies them into the record, for a caller that keeps it beyond the model
// (-1 when memory runs out).
const id3_item* id3_model_cover(const id3_model* m);
int id3_model_copy_cover(const id3_model* m, id3_record* t);
// Takes a malloc'd block that items borrow from, to be released with the model. -1 when memory
// runs out (the block is then released at once).
int id3_model_hold(id3_model* m, uint8_t* block);

#endif
