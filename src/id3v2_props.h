// ID3v2 frames and the property map (id3v2_props.cpp): the properties of a frame area, and what
// a write's properties do to the frames of an MP3 tag.
#ifndef QID3_ID3V2_PROPS_H
#define QID3_ID3V2_PROPS_H

#include "container.h"
#include "id3v2.h"
#include "model.h"

// Adds an item for every frame of a frame area of version `major` to the model, which holds the
// bytes they borrow: each text, comment, user text, lyrics, identifier and URL frame under its
// property key (a pair frame one item per run of pairs of a role), each picture, and every other
// frame as bytes. area_off is where the area lies in the file, UINT64_MAX for a decoded copy. -1
// when memory runs out.
int id3v2_area_items(const uint8_t* area, uint64_t a, uint8_t major, uint64_t area_off,
                     id3_model* m);

// The frames that hold pairs: involved people (TIPL; version 2.3's IPLS takes its form) and
// musicians (TMCL).
#define ID3_PAIRS_PEOPLE 0
#define ID3_PAIRS_MUSICIANS 1
// The new frames of the named properties, and how they change the pair frames (involved people,
// musicians): of a kind whose pairs a property names or that takes new pairs, every readable old
// frame is written again in its place without the named pairs (and goes when none is left); the
// first of them takes the new pairs, which without one make a new frame among the others.
struct id3v2_prop_plan {
    id3_buf frames;
    id3_head lent;           // the large values that the frames borrow, between their own bytes
    bool pairs_rebuilt[2];   // ID3_PAIRS_PEOPLE, ID3_PAIRS_MUSICIANS
    uint64_t first_pairs[2]; // where the first readable old frame of the kind stands in the area
    id3_buf new_pairs[2];    // role and name of each new pair, each text with 00 after it
};
void id3v2_prop_plan_release(id3v2_prop_plan* plan);
// Plans the frames of the properties e names over the old tag. -1 with a message.
int id3v2_plan_properties(const id3_old_tag* old, const id3_prop_edits* e, id3v2_prop_plan* plan);
// Whether the properties name the key of an old frame (pair frames aside). 1, 0, or -1 when
// memory runs out.
int id3v2_frame_named(const id3v2_frame* of, uint8_t major, const id3_prop_edits* e);
// The kind of a pair frame (ID3_PAIRS_*), or -1.
int id3v2_pair_kind(const char* id);
// Writes an old pair frame of a kind the properties change again in its place (at: where it
// stands in the area). -1 when memory runs out.
int id3v2_carry_pair_frame(const id3v2_frame* of, uint8_t major, uint64_t at,
                           const id3v2_prop_plan* plan, const id3_prop_edits* e, id3_buf* to,
                           uint64_t* bytes);

#endif
