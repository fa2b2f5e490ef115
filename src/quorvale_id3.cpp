// The exported functions: each clears the error text, checks its arguments and hands the call to
// the source that does the work (reading.cpp, writing.cpp, batch.cpp).
#include "quorvale_id3tag.h"
#include "error_code.h"
#include "operations.h"
#include "platform.h"

#include <stdlib.h>

char* id3_read(const char* path) {
    id3_clear_error();
    if (!path) {
        id3_set_error("NULL path");
        return nullptr;
    }
    return id3_read_json(path);
}

char* id3_read_all(const char* path) {
    id3_clear_error();
    if (!path) {
        id3_set_error("NULL path");
        return nullptr;
    }
    return id3_read_all_json(path);
}

char* id3_read_data(const void* data, uint64_t size) {
    id3_clear_error();
    if (!data && size > 0) {
        id3_set_error("NULL argument");
        return nullptr;
    }
    return id3_read_image_json((const uint8_t*)data, size);
}

char* id3_read_all_data(const void* data, uint64_t size) {
    id3_clear_error();
    if (!data && size > 0) {
        id3_set_error("NULL argument");
        return nullptr;
    }
    return id3_read_all_image_json((const uint8_t*)data, size);
}

int32_t id3_write(const char* path, const char* tags_json) {
    id3_clear_error();
    if (!path || !tags_json) {
        id3_set_error("NULL argument");
        return -1;
    }
    return id3_write_tags(path, tags_json);
}

int32_t id3_extract_cover(const char* path, const char* out_path) {
    id3_clear_error();
    if (!path || !out_path) {
        id3_set_error("NULL argument");
        return -1;
    }
    return id3_extract_front_cover(path, out_path);
}

int32_t id3_set_cover(const char* path, const char* image_path) {
    id3_clear_error();
    if (!path || !image_path) {
        id3_set_error("NULL argument");
        return -1;
    }
    return id3_write_cover(path, image_path);
}

int32_t id3_batch(const char* dir_json, const char* tags_json) {
    id3_clear_error();
    if (!dir_json || !tags_json) {
        id3_set_error("NULL argument");
        return -1;
    }
    return id3_write_batch(dir_json, tags_json);
}

char* id3_batch_results(const char* dir_json, const char* tags_json) {
    id3_clear_error();
    if (!dir_json || !tags_json) {
        id3_set_error("NULL argument");
        return nullptr;
    }
    return id3_write_batch_results(dir_json, tags_json);
}

const char* id3_last_error(void) {
    return id3_error_text();
}

int32_t id3_use_utf8_paths(int32_t on) {
    id3_clear_error();
#ifdef _WIN32
    plat_set_utf8_paths(on != 0);
#else
    (void)on; // paths are the system's bytes already
#endif
    return 0;
}

int32_t id3_last_error_code(void) {
    return id3_error_code_of(id3_error_text());
}

void id3_free_string(char* text) {
    free(text);
}
