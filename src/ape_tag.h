// The APE tag at the end of an MP3 file (ape_tag.cpp), which a write keeps in step with the
// named fields.
#ifndef QID3_APE_TAG_H
#define QID3_APE_TAG_H

#include "replace.h"
#include "properties.h"

// An APE tag as found at the end of the file, header (if any) to footer.
struct id3_ape_tag {
    uint64_t len;
    id3_owned_bytes bytes;
    uint64_t items_at;  // where the items start in bytes
    uint64_t items_len; // up to the footer
};

// Reads the APE tag that ends at `end`, after the ID3v2 tag (which ends at audio_off). 1 with the
// tag in *tag, 0 when there is none or it is damaged in any way, -1 with a message when the file
// cannot be read.
int id3_ape_find(const id3_file* f, uint64_t audio_off, uint64_t end, id3_ape_tag* tag);
// The tag with the items of the named fields replaced, into out; *changed is false when nothing
// differs. -1 when memory runs out.
int id3_ape_update(const id3_ape_tag* tag, const id3_record* t, id3_change change, id3_buf* out,
                   bool* changed);

#endif
