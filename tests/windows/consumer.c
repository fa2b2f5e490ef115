/*
 * A Windows program that uses quorvale-id3tag.dll through the MSVC import library
 * lib/quorvale-id3tag.lib and the public header alone. It needs no C runtime: besides the DLL it
 * imports only KERNEL32, so clang in MSVC mode and lld-link can build it without Microsoft's CRT
 * and SDK (which Debian does not have).
 *
 * It works in the current folder on files the caller put there: sample.mp3, cover.png and
 * "copy-<snowman>.mp3" (a copy of sample.mp3 whose UTF-8 name has a character outside every ANSI
 * code page; the program's manifest makes UTF-8 its code page). It calls all nine functions and
 * prints one line per call, "NAME RESULT", for the caller to check.
 */
#include <quorvale_id3tag.h>

/* The few KERNEL32 functions used (x64 has one calling convention). */
typedef void* HANDLE;
__declspec(dllimport) HANDLE GetStdHandle(unsigned long which);
__declspec(dllimport) int WriteFile(HANDLE file, const void* data, unsigned long size,
                                    unsigned long* written, void* overlapped);
__declspec(dllimport) unsigned int GetACP(void);
__declspec(dllimport) __declspec(noreturn) void ExitProcess(unsigned int code);

#define STD_OUTPUT_HANDLE ((unsigned long)-11)

static HANDLE out;

static void put(const char* text) {
    unsigned long size = 0;
    while (text[size])
        size++;
    unsigned long written;
    WriteFile(out, text, size, &written, 0);
}

static void put_number(long value) {
    char digits[24];
    int at = (int)sizeof digits - 1;
    int negative = value < 0;
    unsigned long magnitude = negative ? 0ul - (unsigned long)value : (unsigned long)value;
    digits[at] = '\0';
    do {
        digits[--at] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (negative)
        digits[--at] = '-';
    put(digits + at);
}

static void line(const char* name, const char* text) {
    put(name);
    put(" ");
    put(text);
    put("\n");
}

static void result_line(const char* name, long result) {
    put(name);
    put(" ");
    put_number(result);
    if (result < 0) {
        put(" ");
        put(id3_last_error());
    }
    put("\n");
}

/* Prints the JSON of id3_read (id3_read_all when `all`), or NULL and the error text; returns 1
 * when it read. */
static int read_line_of(const char* name, const char* path, int all) {
    char* json = all ? id3_read_all(path) : id3_read(path);
    if (!json) {
        line(name, "NULL");
        line("error", id3_last_error());
        return 0;
    }
    line(name, json);
    id3_free_string(json);
    return 1;
}

static int read_line(const char* name, const char* path) {
    return read_line_of(name, path, 0);
}

/* "copy-" U+2603 ".mp3", in UTF-8 */
#define COPY_NAME "copy-\xE2\x98\x83.mp3"

void consumer_start(void) {
    out = GetStdHandle(STD_OUTPUT_HANDLE);
    put("acp ");
    put_number((long)GetACP());
    put("\n");

    int failures = 0;
    failures += !read_line("read", "sample.mp3");
    failures += !read_line_of("read-all", "sample.mp3", 1);
    failures += read_line("read-missing", "missing.mp3");
    /* "Café ☃" as the title */
    long written = id3_write(COPY_NAME, "{\"title\":\"Caf\xC3\xA9 \xE2\x98\x83\"}");
    result_line("write", written);
    failures += written != 0;
    failures += !read_line("read-copy", COPY_NAME);
    long cover = id3_set_cover(COPY_NAME, "cover.png");
    result_line("set_cover", cover);
    long extracted = id3_extract_cover(COPY_NAME, "cover-out.png");
    result_line("extract_cover", extracted);
    long batch = id3_batch("[\"" COPY_NAME "\", \"missing.mp3\"]", "{\"artist\":\"Batch\"}");
    result_line("batch", batch);
    failures += cover != 0 || extracted != 0 || batch != 1;
    failures += !read_line("read-batch", COPY_NAME);
    char* results = id3_batch_results("[\"" COPY_NAME "\"]", "{\"album\":\"Results\"}");
    line("batch_results", results ? results : "NULL");
    failures += results == 0;
    id3_free_string(results);
    id3_free_string(0);
    ExitProcess(failures ? 1u : 0u);
}
