// The JSON form of a tag record (what id3_read gives and id3_write takes) and of a batch's list of
// paths. yyjson is used here and nowhere else.
#include "json_form.h"

#include <yyjson.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>

char* id3_record_to_json(const id3_record* t) {
    yyjson_mut_doc* doc = yyjson_mut_doc_new(nullptr);
    if (!doc) {
        id3_set_error("oom");
        return nullptr;
    }
    // Without an object the document has no root and the write below fails.
    yyjson_mut_val* root = yyjson_mut_obj(doc);
    if (root) {
        yyjson_mut_doc_set_root(doc, root);
        // Values refer to the record's texts; the record does not change before the write.
        bool added = yyjson_mut_obj_add_str(doc, root, "title", t->title ? t->title : "") &&
                     yyjson_mut_obj_add_str(doc, root, "artist", t->artist ? t->artist : "") &&
                     yyjson_mut_obj_add_str(doc, root, "album", t->album ? t->album : "") &&
                     yyjson_mut_obj_add_str(doc, root, "genre", t->genre ? t->genre : "") &&
                     yyjson_mut_obj_add_str(doc, root, "date", t->date ? t->date : "") &&
                     yyjson_mut_obj_add_str(doc, root, "track", t->track ? t->track : "") &&
                     yyjson_mut_obj_add_str(doc, root, "format", id3_format_name(t->format)) &&
                     yyjson_mut_obj_add_bool(doc, root, "has_cover",
                                             t->has_cover != 0 || t->cover_size != 0) &&
                     (t->cover_mime[0] == '\0' ||
                      yyjson_mut_obj_add_str(doc, root, "cover_mime", t->cover_mime));
        // An object missing a member would misreport the file's tags.
        if (!added) {
            yyjson_mut_doc_free(doc);
            id3_set_error("oom");
            return nullptr;
        }
    }
    char* text =
        yyjson_mut_write_opts(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr, nullptr, nullptr);
    yyjson_mut_doc_free(doc);
    if (!text) {
        id3_set_error("json write failed");
        return nullptr;
    }
    return text;
}

// Adds the property map's "properties" object to root: one array per key, the keys in the order
// of their first value. The values are grouped by sorting their indices by key (and by index
// within a key), so that a map of many values takes no quadratic time. False when memory runs
// out.
static bool add_properties(yyjson_mut_doc* doc, yyjson_mut_val* root, const id3_property_map* p) {
    yyjson_mut_val* object = yyjson_mut_obj(doc);
    if (!object || !yyjson_mut_obj_add_val(doc, root, "properties", object))
        return false;
    if (p->count == 0)
        return true;
    if (p->count > SIZE_MAX / (2 * sizeof(uint64_t)))
        return false;
    // order: the value indices sorted by key; firsts: for each key, its first index and where its
    // run starts in order.
    uint64_t* order = (uint64_t*)malloc((size_t)p->count * 2 * sizeof(uint64_t));
    if (!order)
        return false;
    std::unique_ptr<uint64_t, id3_free_deleter> hold(order);
    uint64_t* firsts = order + p->count;
    for (uint64_t i = 0; i < p->count; i++)
        order[i] = i;
    const id3_prop* items = p->items;
    std::stable_sort(order, order + p->count, [items](uint64_t a, uint64_t b) {
        return strcmp(items[a].key, items[b].key) < 0;
    });
    uint64_t runs = 0;
    for (uint64_t i = 0; i < p->count; i++) {
        if (i == 0 || strcmp(items[order[i]].key, items[order[i - 1]].key) != 0)
            firsts[runs++] = i;
    }
    // Runs by the index of their first value: the key's place in the file.
    std::sort(firsts, firsts + runs,
              [order](uint64_t a, uint64_t b) { return order[a] < order[b]; });
    for (uint64_t r = 0; r < runs; r++) {
        uint64_t at = firsts[r];
        const char* key = items[order[at]].key;
        yyjson_mut_val* values = yyjson_mut_arr(doc);
        if (!values || !yyjson_mut_obj_add(object, yyjson_mut_str(doc, key), values))
            return false;
        for (uint64_t i = at; i < p->count && strcmp(items[order[i]].key, key) == 0; i++) {
            const id3_prop& item = items[order[i]];
            if (!yyjson_mut_arr_add_strn(doc, values, item.value, (size_t)item.value_len))
                return false;
        }
    }
    return true;
}

static bool add_pictures(yyjson_mut_doc* doc, yyjson_mut_val* root, const id3_property_map* p) {
    yyjson_mut_val* list = yyjson_mut_arr(doc);
    if (!list || !yyjson_mut_obj_add_val(doc, root, "pictures", list))
        return false;
    for (uint64_t i = 0; i < p->picture_count; i++) {
        const id3_picture_info& pic = p->pictures[i];
        yyjson_mut_val* entry = yyjson_mut_arr_add_obj(doc, list);
        if (!entry || !yyjson_mut_obj_add_int(doc, entry, "type", pic.type) ||
            !yyjson_mut_obj_add_str(doc, entry, "mime", pic.mime) ||
            !yyjson_mut_obj_add_str(doc, entry, "description", pic.description) ||
            !yyjson_mut_obj_add_uint(doc, entry, "size", pic.size))
            return false;
    }
    return true;
}

char* id3_property_map_to_json(const id3_property_map* p) {
    yyjson_mut_doc* doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val* root = doc ? yyjson_mut_obj(doc) : nullptr;
    if (root)
        yyjson_mut_doc_set_root(doc, root);
    // Values refer to the map's texts; the map does not change before the write.
    bool added = root && yyjson_mut_obj_add_str(doc, root, "format", id3_format_name(p->format)) &&
                 add_properties(doc, root, p) && add_pictures(doc, root, p);
    char* text = added ? yyjson_mut_write_opts(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr,
                                               nullptr, nullptr)
                       : nullptr;
    yyjson_mut_doc_free(doc);
    if (!text)
        id3_set_error("oom");
    return text;
}

// Whether a JSON text holds a raw byte below 0x20 inside a string, where only its escape may
// stand.
static bool raw_control_in_string(const char* text, size_t len) {
    bool in_string = false;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)text[i];
        if (!in_string) {
            in_string = c == '"';
        } else if (c < 0x20) {
            return true;
        } else if (c == '\\') {
            i++; // the escaped character never ends the string
        } else if (c == '"') {
            in_string = false;
        }
    }
    return false;
}

// Parses strict JSON, except that strings may hold bytes that are not UTF-8: id3_read passes such
// bytes through from the file, and its object must parse again. yyjson's flag for them also lets
// raw control characters into strings, which are refused first. The text is parsed in a copy of
// its own, where the strings are unescaped in place and stay after the document goes: *copy gets
// that malloc'd block, which its taker releases (a value of hundreds of megabytes is then held
// once, not also in the document). NULL when the text is refused or memory runs out.
static yyjson_doc* parse_json(const char* text, char** copy) {
    *copy = nullptr;
    size_t len = strlen(text);
    if (raw_control_in_string(text, len) || len > SIZE_MAX - YYJSON_PADDING_SIZE)
        return nullptr;
    char* in_place = (char*)malloc(len + YYJSON_PADDING_SIZE);
    if (!in_place)
        return nullptr;
    memcpy(in_place, text, len);
    memset(in_place + len, 0, YYJSON_PADDING_SIZE);
    yyjson_doc* doc = yyjson_read_opts(
        in_place, len, YYJSON_READ_INSITU | YYJSON_READ_ALLOW_INVALID_UNICODE, nullptr, nullptr);
    if (!doc)
        free(in_place);
    else
        *copy = in_place;
    return doc;
}

// The first member whose key is exactly `key` (byte for byte), or NULL when there is none. Later
// duplicates never count.
static yyjson_val* obj_member(yyjson_val* obj, const char* key) {
    if (!yyjson_is_obj(obj) || yyjson_obj_size(obj) == 0)
        return nullptr;
    size_t key_len = strlen(key);
    yyjson_obj_iter iter;
    yyjson_obj_iter_init(obj, &iter);
    yyjson_val* k;
    while ((k = yyjson_obj_iter_next(&iter))) {
        if (yyjson_get_len(k) == key_len && memcmp(yyjson_get_str(k), key, key_len) == 0)
            return yyjson_obj_iter_get_val(k);
    }
    return nullptr;
}

// Whether a text can be a property key: one or more bytes, none a control character or '='
// (which ends a Vorbis comment's name). A key beyond printable ASCII (an ID3v2 description or an
// MP4 freeform name) is left to the container to take or refuse.
static bool valid_property_key(const char* key, size_t len) {
    if (len == 0)
        return false;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)key[i];
        if (c < 0x20 || c == 0x7F || c == '=')
            return false;
    }
    return true;
}

// The keys that name pictures in Vorbis comments: pictures are set with their own call.
static bool is_picture_key(const char* key) {
    return strcmp(key, "METADATA_BLOCK_PICTURE") == 0 || strcmp(key, "COVERART") == 0 ||
           strcmp(key, "COVERARTMIME") == 0;
}

// One member of "properties" into the next change of *e, whose items have room for it: the key
// upper-cased and copied, each value left where it lies in the parsed text. -1 with a message.
// A key named twice is found afterwards, over all keys at once.
static int add_property_change(yyjson_val* key, yyjson_val* list, id3_prop_edits* e) {
    const char* name = yyjson_get_str(key);
    size_t name_len = yyjson_get_len(key);
    // Messages show a key only when it is fit to be shown.
    if (!valid_property_key(name, name_len)) {
        bool printable = true;
        for (size_t i = 0; i < name_len; i++)
            printable = printable && (unsigned char)name[i] >= 0x20;
        id3_set_error("invalid property key: %s", printable ? name : "");
        return -1;
    }
    id3_prop_edit edit = {nullptr, nullptr, 0};
    if (id3_record_store_text(&edit.key, name, name_len) != 0) {
        id3_set_error("oom");
        return -1;
    }
    for (char* c = edit.key; *c; c++) {
        if (*c >= 'a' && *c <= 'z')
            *c = (char)(*c - 'a' + 'A');
    }
    const char* message = nullptr;
    if (is_picture_key(edit.key))
        message = "pictures are not properties: %s";
    else if (!yyjson_is_arr(list))
        message = "property values must be a list of strings: %s";
    size_t n = message ? 0 : yyjson_arr_size(list);
    edit.values = n > 0 ? (char**)calloc(n, sizeof(char*)) : nullptr;
    if (!message && n > 0 && !edit.values)
        message = "oom";
    yyjson_arr_iter iter;
    yyjson_arr_iter_init(list, &iter);
    yyjson_val* value;
    while (!message && (value = yyjson_arr_iter_next(&iter))) {
        if (!yyjson_is_str(value))
            message = "property values must be a list of strings: %s";
        else if (memchr(yyjson_get_str(value), 0, yyjson_get_len(value)))
            message = "NUL character in tag value: %s";
        else // in the parsed text, which the changes take over
            edit.values[edit.count++] = (char*)yyjson_get_str(value);
    }
    e->items[e->count++] = edit; // released with *e on every path
    if (message) {
        id3_set_error(message, edit.key);
        return -1;
    }
    return 0;
}

// The "properties" member (absent or null: none) into *e. -1 with a message.
static int properties_from_json(yyjson_val* member, id3_prop_edits* e) {
    if (!member || yyjson_is_null(member))
        return 0;
    if (!yyjson_is_obj(member)) {
        id3_set_error("properties must be an object");
        return -1;
    }
    size_t n = yyjson_obj_size(member);
    e->items = n > 0 ? (id3_prop_edit*)calloc(n, sizeof(id3_prop_edit)) : nullptr;
    if (n > 0 && !e->items) {
        id3_set_error("oom");
        return -1;
    }
    yyjson_obj_iter iter;
    yyjson_obj_iter_init(member, &iter);
    yyjson_val* key;
    int rc = 0;
    while (rc == 0 && (key = yyjson_obj_iter_next(&iter)))
        rc = add_property_change(key, yyjson_obj_iter_get_val(key), e);
    // A key that repeats an earlier one is refused as if at its place among the members: before
    // anything else wrong with it or a later member (a member stops the walk only after its key is
    // taken, or with a key that is not). The keys taken are ordered once to find it.
    uint64_t taken = e->count;
    if (id3_prop_edits_index(e) != 0) {
        id3_prop_edits_free(e);
        id3_set_error("oom");
        return -1;
    }
    uint64_t repeat = id3_prop_edits_first_repeat(e);
    if (repeat < taken) {
        id3_set_error("property named twice: %s", e->items[repeat].key);
        rc = -1;
    }
    if (rc != 0)
        id3_prop_edits_free(e);
    return rc;
}

int32_t id3_record_from_json(id3_record* t, const char* text, id3_removals* removed,
                             id3_prop_edits* props) {
    if (removed)
        *removed = id3_removals{0, 0};
    if (!text) {
        id3_set_error("null tags_json");
        return -1;
    }
    char* parsed = nullptr;
    yyjson_doc* doc = parse_json(text, &parsed);
    id3_owned_text parsed_owner(parsed);
    if (!doc) {
        id3_set_error("invalid tags JSON");
        return -1;
    }
    yyjson_val* root = yyjson_doc_get_root(doc);
    if (!yyjson_is_obj(root)) {
        yyjson_doc_free(doc);
        id3_set_error("tags JSON must be object");
        return -1;
    }
    struct member {
        const char* key;
        char** field;
        yyjson_val* value;
    };
    member members[] = {{"title", &t->title, nullptr}, {"artist", &t->artist, nullptr},
                        {"album", &t->album, nullptr}, {"genre", &t->genre, nullptr},
                        {"date", &t->date, nullptr},   {"track", &t->track, nullptr}};
    id3_removals found = {0, yyjson_is_null(obj_member(root, "cover"))};
    for (size_t i = 0; i < 6; i++) {
        member& m = members[i];
        m.value = obj_member(root, m.key);
        // Only a string or null under "date" decides; anything else gives way to "year".
        if (m.field == &t->date && !yyjson_is_str(m.value) && !yyjson_is_null(m.value)) {
            m.key = "year";
            m.value = obj_member(root, m.key);
        }
        if (yyjson_is_null(m.value))
            found.fields |= 1u << i;
        // A text field ends at its first NUL: the value would be stored cut short.
        if (yyjson_is_str(m.value) && memchr(yyjson_get_str(m.value), 0, yyjson_get_len(m.value))) {
            yyjson_doc_free(doc);
            id3_set_error("NUL character in tag value: %s", m.key);
            return -1;
        }
    }
    if (props && properties_from_json(obj_member(root, "properties"), props) != 0) {
        yyjson_doc_free(doc);
        return -1;
    }
    // A value that cannot be copied fails the call: a write that then succeeded would silently
    // keep the file's old tag.
    bool copied = true;
    for (const member& m : members) {
        if (yyjson_is_str(m.value))
            copied = copied && id3_record_set_str(m.field, yyjson_get_str(m.value)) == 0;
    }
    yyjson_doc_free(doc);
    if (!copied) {
        if (props)
            id3_prop_edits_free(props);
        id3_set_error("oom");
        return -1;
    }
    // The property values lie in the parsed text: it goes with them.
    if (props && props->count > 0)
        props->texts = parsed_owner.release();
    if (removed)
        *removed = found;
    return 0;
}

id3_path* id3_paths_from_json(const char* text, uint64_t* count) {
    *count = 0;
    char* parsed = nullptr;
    yyjson_doc* doc = parse_json(text, &parsed);
    id3_owned_text parsed_owner(parsed);
    if (!doc) {
        id3_set_error("invalid dir_json");
        return nullptr;
    }
    yyjson_val* root = yyjson_doc_get_root(doc);
    if (!yyjson_is_arr(root)) {
        yyjson_doc_free(doc);
        id3_set_error("dir_json must be array of paths");
        return nullptr;
    }
    // One block: the entries, then each path's bytes with a NUL after them.
    uint64_t n = 0, text_bytes = 0;
    yyjson_arr_iter iter;
    yyjson_val* item;
    yyjson_arr_iter_init(root, &iter);
    while ((item = yyjson_arr_iter_next(&iter))) {
        if (yyjson_is_str(item)) {
            n++;
            text_bytes += yyjson_get_len(item) + 1;
        }
    }
    uint64_t entries_bytes = (n > 0 ? n : 1) * sizeof(id3_path);
    id3_path* paths = (id3_path*)malloc((size_t)(entries_bytes + text_bytes));
    if (!paths) {
        yyjson_doc_free(doc);
        id3_set_error("oom");
        return nullptr;
    }
    char* out = (char*)paths + entries_bytes;
    uint64_t i = 0;
    yyjson_arr_iter_init(root, &iter);
    while ((item = yyjson_arr_iter_next(&iter))) {
        if (!yyjson_is_str(item))
            continue;
        size_t len = yyjson_get_len(item);
        memcpy(out, yyjson_get_str(item), len);
        out[len] = '\0';
        paths[i].text = out;
        paths[i].len = len;
        out += len + 1;
        i++;
    }
    yyjson_doc_free(doc);
    *count = n;
    return paths;
}
