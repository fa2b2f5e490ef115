/* The files a command works on: the FILE operands, with folders walked under -r. */
#include "cli.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

static void paths_add(struct path_list* list, const char* path, size_t len) {
    if (list->failed)
        return;
    if (list->count == list->cap) {
        size_t cap = list->cap ? list->cap * 2 : 16;
        char** grown = (char**)realloc(list->items, cap * sizeof(char*));
        if (!grown) {
            list->failed = 1;
            return;
        }
        list->items = grown;
        list->cap = cap;
    }
    char* copy = (char*)malloc(len + 1);
    if (!copy) {
        list->failed = 1;
        return;
    }
    memcpy(copy, path, len);
    copy[len] = '\0';
    list->items[list->count++] = copy;
}

void paths_free(struct path_list* list) {
    for (size_t i = 0; i < list->count; i++)
        free(list->items[i]);
    free(list->items);
    memset(list, 0, sizeof *list);
}

static int compare_names(const void* a, const void* b) {
    return strcmp(*(char* const*)a, *(char* const*)b);
}

/* 1 when the start of the regular file at `path` is that of a file the library reads: an ID3v2 tag
 * or an MPEG audio frame, "fLaC", an MP4 file-type box near the start, or an Ogg page whose first
 * packet is a Vorbis or Opus identification header (.ogg, .oga and .opus files are told this way,
 * whatever their name). A file that cannot be opened counts as one, so that the command reports
 * why. */
static int looks_like_audio(const char* path) {
    /* An Ogg page: 27 header bytes, as many lacing values as byte 26 says, then the packet. */
    unsigned char head[27 + 255 + 8];
    FILE* file = fopen(path, "rb");
    if (!file)
        return 1;
    size_t len = fread(head, 1, sizeof head, file);
    fclose(file);
    if (len < 4)
        return 0;
    if (memcmp(head, "ID3", 3) == 0 || memcmp(head, "fLaC", 4) == 0 ||
        (head[0] == 0xFF && head[1] >= 0xE0))
        return 1;
    for (size_t p = 4; p + 5 <= len && p + 5 <= 72; p++) {
        if (memcmp(head + p, "ftyp", 4) == 0)
            return 1;
    }
    if (len >= 27 && memcmp(head, "OggS", 4) == 0) {
        size_t packet = 27 + (size_t)head[26];
        if (len >= packet + 8 && (memcmp(head + packet, "\x01vorbis", 7) == 0 ||
                                  memcmp(head + packet, "OpusHead", 8) == 0))
            return 1;
    }
    return 0;
}

enum entry_kind { ENTRY_OTHER, ENTRY_FILE, ENTRY_FOLDER };

/* What is at `path`, following a symbolic link only when `follow_links`. */
static enum entry_kind entry_kind(const char* path, int follow_links) {
#ifdef _WIN32
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return ENTRY_OTHER;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return !follow_links && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? ENTRY_OTHER
                                                                            : ENTRY_FOLDER;
    return ENTRY_FILE;
#else
    struct stat st;
    if ((follow_links ? stat(path, &st) : lstat(path, &st)) != 0)
        return ENTRY_OTHER;
    if (S_ISLNK(st.st_mode))
        return stat(path, &st) == 0 && S_ISREG(st.st_mode) ? ENTRY_FILE : ENTRY_OTHER;
    return S_ISDIR(st.st_mode) ? ENTRY_FOLDER : S_ISREG(st.st_mode) ? ENTRY_FILE : ENTRY_OTHER;
#endif
}

/* The names in the folder `dir` (without "." and ".."), sorted bytewise, into `names`. Returns 0,
 * or -1 when the folder cannot be listed (reported). */
static int list_folder(const char* dir, struct path_list* names) {
#ifdef _WIN32
    struct text_buf pattern = {0};
    buf_append_str(&pattern, dir);
    buf_append_str(&pattern, "\\*");
    WIN32_FIND_DATAA found;
    HANDLE find = pattern.failed ? INVALID_HANDLE_VALUE : FindFirstFileA(pattern.data, &found);
    free(pattern.data);
    if (find == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "%s: %s: cannot list the folder (error %lu)\n", PROGRAM, dir,
                (unsigned long)GetLastError());
        return -1;
    }
    do {
        if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0)
            paths_add(names, found.cFileName, strlen(found.cFileName));
    } while (FindNextFileA(find, &found));
    FindClose(find);
#else
    DIR* folder = opendir(dir);
    if (!folder) {
        fprintf(stderr, "%s: %s: cannot list the folder (%s)\n", PROGRAM, dir, strerror(errno));
        return -1;
    }
    struct dirent* entry;
    while ((entry = readdir(folder)) != NULL) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            paths_add(names, entry->d_name, strlen(entry->d_name));
    }
    closedir(folder);
#endif
    if (names->count > 1)
        qsort(names->items, names->count, sizeof(char*), compare_names);
    return 0;
}

/* Adds the MP3, FLAC, MP4, Ogg Vorbis and Opus files under the folder `dir` to `out`, folder by
 * folder in name order; other files are skipped with a note. Symbolic links to folders are not
 * followed (no loops). Returns 0, or -1 when a folder could not be listed (the walk goes on). */
static int walk_folder(const char* dir, struct path_list* out) {
    struct path_list names = {0};
    int status = list_folder(dir, &names);
    size_t dir_len = strlen(dir);
    while (dir_len > 1 && (dir[dir_len - 1] == '/' || dir[dir_len - 1] == '\\'))
        dir_len--;
    for (size_t i = 0; i < names.count && !names.failed && !out->failed; i++) {
        struct text_buf path = {0};
        buf_append(&path, dir, dir_len);
        buf_append(&path, "/", 1);
        buf_append_str(&path, names.items[i]);
        if (path.failed) {
            out->failed = 1;
        } else {
            switch (entry_kind(path.data, 0)) {
            case ENTRY_FOLDER:
                if (walk_folder(path.data, out) != 0)
                    status = -1;
                break;
            case ENTRY_FILE:
                if (looks_like_audio(path.data))
                    paths_add(out, path.data, path.len);
                else
                    fprintf(stderr,
                            "%s: %s: skipped (not an MP3, FLAC, MP4, Ogg Vorbis or Opus file)\n",
                            PROGRAM, path.data);
                break;
            case ENTRY_OTHER:
                fprintf(stderr, "%s: %s: skipped (not a regular file)\n", PROGRAM, path.data);
                break;
            }
        }
        free(path.data);
    }
    if (names.failed)
        out->failed = 1;
    paths_free(&names);
    out->from_walk = 1;
    return status;
}

/* Turns the FILE operands into the list of paths to work on: with `recursive`, a folder stands for
 * the audio files under it; without, a folder is reported and left out. Returns EXIT_OK, or
 * EXIT_FAILED when a folder was left out or could not be listed (the other paths are still listed)
 * or memory ran out (reported). */
int collect_paths(const char* const* operands, size_t count, int recursive, struct path_list* out) {
    int status = EXIT_OK;
    for (size_t i = 0; i < count && !out->failed; i++) {
        int is_folder = entry_kind(operands[i], 1) == ENTRY_FOLDER;
        if (is_folder && !recursive) {
            fprintf(stderr, "%s: %s: is a folder (-r works on the files under it)\n", PROGRAM,
                    operands[i]);
            status = EXIT_FAILED;
        } else if (is_folder) {
            if (walk_folder(operands[i], out) != 0)
                status = EXIT_FAILED;
        } else {
            paths_add(out, operands[i], strlen(operands[i]));
        }
    }
    return out->failed ? out_of_memory() : status;
}
