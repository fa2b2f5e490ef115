// The path array of the batch call on any text. The paths must never name an existing file: the
// target runs in an empty temporary folder and passes over any input whose array names something
// that exists, so nothing outside can be written. Every listed path then fails to open.
#include "fuzz_common.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

static const char* const TAGS = "{\"title\":\"batch\"}";
static char g_folder[] = "/tmp/qid3-fuzz-batch-XXXXXX";

static void remove_folder(void) {
    rmdir(g_folder);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_require(mkdtemp(g_folder) != nullptr, "temporary folder");
    fuzz_require(chdir(g_folder) == 0, "enter the temporary folder");
    atexit(remove_folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);

    // The library's parse, but for raw control characters inside strings, which it refuses too:
    // what this accepts is what the library may see.
    yyjson_doc* doc =
        yyjson_read(text.c_str(), strlen(text.c_str()), YYJSON_READ_ALLOW_INVALID_UNICODE);
    bool parsed = doc != nullptr;
    bool is_array = doc && yyjson_is_arr(yyjson_doc_get_root(doc));
    size_t string_members = 0;
    bool last_has_nul = false;
    if (is_array) {
        yyjson_arr_iter iter;
        yyjson_arr_iter_init(yyjson_doc_get_root(doc), &iter);
        yyjson_val* item;
        while ((item = yyjson_arr_iter_next(&iter))) {
            if (!yyjson_is_str(item))
                continue;
            struct stat st;
            if (lstat(yyjson_get_str(item), &st) == 0) {
                yyjson_doc_free(doc);
                return 0; // names something that exists: not for this target
            }
            string_members++;
            last_has_nul = strlen(yyjson_get_str(item)) != yyjson_get_len(item);
        }
    }
    yyjson_doc_free(doc);

    int32_t count = id3_batch(text.c_str(), TAGS);
    std::string msg = id3_last_error();
    bool has_control = false;
    for (char c : text)
        has_control = has_control || (unsigned char)c < 0x20;
    if (!parsed || (has_control && count == -1 && msg == "invalid dir_json")) {
        fuzz_require(count == -1 && msg == "invalid dir_json", "invalid array text");
    } else if (!is_array) {
        fuzz_require(count == -1 && msg == "dir_json must be array of paths", "root not an array");
    } else {
        fuzz_require(count == 0, "no path exists, so none is written");
        if (string_members == 0)
            fuzz_require(msg.empty(), "no string member leaves no message");
        else if (last_has_nul)
            fuzz_require(msg == "NUL character in path", "the last path holds U+0000");
        else
            fuzz_require(msg.rfind("cannot open: ", 0) == 0, "the last path's open failure");
    }
    return 0;
}
