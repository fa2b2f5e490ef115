// The JSON form (json_form.cpp) of a record, of a property map and of a path list.
#ifndef QID3_JSON_FORM_H
#define QID3_JSON_FORM_H

#include "properties.h"

// What a tags object removes: the fields given as null (ID3_NAMED_* bits), and the front covers
// when "cover" is null.
struct id3_removals {
    uint32_t fields;
    int cover;
};
// JSON mapping of a tag record. from_json fills *removed, when given, with what the object removes,
// and *props, when given, with its "properties" member.
char* id3_record_to_json(const id3_record* t);
int32_t id3_record_from_json(id3_record* t, const char* text, id3_removals* removed = nullptr,
                             id3_prop_edits* props = nullptr);
// {"format":...,"properties":{"KEY":["value",...]},"pictures":[...]}: keys in the order of their
// first value, values and pictures in the map's order. NULL with a message.
char* id3_property_map_to_json(const id3_property_map* p);
// The string members of a JSON array of paths, in order, each with its byte count (a member may
// hold U+0000). One malloc'd block holds the entries and their texts. NULL with a message
// ("invalid dir_json", "dir_json must be array of paths", "oom").
struct id3_path {
    const char* text;
    uint64_t len;
};
id3_path* id3_paths_from_json(const char* text, uint64_t* count);
using id3_owned_paths = std::unique_ptr<id3_path, id3_free_deleter>;

#endif
