// Ogg Vorbis and Opus side by side, one run: id3_read against TagLib (the six fields and the first
// picture, audio properties off), and id3_write against the write floor (the header pages read
// and written to a new file, the audio copied in the kernel, the file flushed and renamed, the
// folder flushed), once with the header page count unchanged and once with a change that adds
// or removes a header page, so that every audio page is renumbered.
//
//   qid3_ogg_compare ROUNDS FILE...
//
// Each FILE (.ogg or .opus) is copied beside itself and the copy is used. For the renumbering
// case its header packets should end within a page of 1000 bytes of a page boundary (65025
// bytes of packet data per page): bench/ogg_compare.sh makes such files. Prints medians.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE // copy_file_range
#endif
#include "quorvale_id3tag.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <taglib/flacpicture.h>
#include <taglib/opusfile.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

namespace {

double seconds() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::vector<uint8_t> read_all(const std::string& path) {
    std::vector<uint8_t> out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return out;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        out.insert(out.end(), chunk, chunk + n);
    fclose(f);
    return out;
}

// Where the pages holding the first stream's header packets end (3 Vorbis, 2 Opus), and how many
// pages that is; 0 when the bytes are not such pages.
uint64_t header_end(const std::vector<uint8_t>& b, bool opus, int* pages) {
    int want = opus ? 2 : 3, packets = 0;
    uint64_t pos = 0;
    *pages = 0;
    while (packets < want && b.size() - pos >= 27 && memcmp(&b[pos], "OggS", 4) == 0) {
        uint64_t segments = b[pos + 26], body = 0;
        if (b.size() - pos - 27 < segments)
            return 0;
        for (uint64_t i = 0; i < segments; i++) {
            body += b[pos + 27 + i];
            packets += b[pos + 27 + i] < 255;
        }
        pos += 27 + segments + body;
        (*pages)++;
    }
    return packets >= want && pos <= b.size() ? pos : 0;
}

template <typename OggFile> size_t taglib_read(const char* path) {
    OggFile f(path, false);
    if (!f.isValid() || !f.tag())
        return 0;
    TagLib::Ogg::XiphComment* tag = f.tag();
    size_t n = tag->title().size() + tag->artist().size() + tag->album().size() +
               tag->genre().size() + tag->year() + tag->track() + 1;
    TagLib::List<TagLib::FLAC::Picture*> pictures = tag->pictureList();
    if (!pictures.isEmpty())
        n += pictures.front()->data().size();
    return n;
}

// The write floor: `head` bytes read and written to a new file, the rest copied by the kernel,
// the new file flushed and renamed over the old one, the folder flushed.
bool floor_rewrite(const std::string& path, uint64_t head) {
    int src = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (src < 0 || fstat(src, &st) != 0)
        return false;
    std::vector<uint8_t> region(head);
    std::string temp = path + ".floor-tmp";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && pread(src, region.data(), head, 0) == (ssize_t)head &&
              write(fd, region.data(), head) == (ssize_t)head;
    loff_t in_off = (loff_t)head;
    uint64_t left = (uint64_t)st.st_size - head;
    while (ok && left > 0) {
        ssize_t n = copy_file_range(src, &in_off, fd, nullptr, left, 0);
        ok = n > 0;
        left -= ok ? (uint64_t)n : 0;
    }
    close(src);
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok && rename(temp.c_str(), path.c_str()) == 0;
    std::string folder = path.substr(0, path.rfind('/') + 1);
    int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = ok && dir >= 0 && fsync(dir) == 0;
    if (dir >= 0)
        close(dir);
    return ok;
}

bool write_tags(const std::string& path, const std::string& json) {
    if (id3_write(path.c_str(), json.c_str()) == 0)
        return true;
    fprintf(stderr, "id3_write(%s): %s\n", path.c_str(), id3_last_error());
    return false;
}

int compare(const char* original, int rounds) {
    std::string path = std::string(original) + ".bench-copy";
    std::vector<uint8_t> bytes = read_all(original);
    FILE* copy = fopen(path.c_str(), "wb");
    if (bytes.empty() || !copy || fwrite(bytes.data(), 1, bytes.size(), copy) != bytes.size() ||
        fclose(copy) != 0) {
        fprintf(stderr, "cannot copy %s\n", original);
        return 1;
    }
    bool opus = strstr(original, ".opus") != nullptr;
    std::vector<double> ours, theirs, same, renumbered, floor;
    for (int i = 0; i < rounds; i++) {
        double t0 = seconds();
        char* json = id3_read(path.c_str());
        double t1 = seconds();
        size_t got = opus ? taglib_read<TagLib::Ogg::Opus::File>(path.c_str())
                          : taglib_read<TagLib::Ogg::Vorbis::File>(path.c_str());
        double t2 = seconds();
        if (!json || got == 0) {
            fprintf(stderr, "read failed: %s\n", json ? "TagLib" : id3_last_error());
            return 1;
        }
        id3_free_string(json);
        ours.push_back(t1 - t0);
        theirs.push_back(t2 - t1);
    }
    // Writes: a one-letter change of the title keeps the page count; an album of 1000 bytes or of
    // 3, in turn, moves the header packets across a page boundary.
    const std::string long_album(1000, 'L');
    int pages_short = 0, pages_long = 0;
    for (int i = 0; i < rounds; i++) {
        double t0 = seconds();
        if (!write_tags(path, i % 2 ? R"({"title":"Title A"})" : R"({"title":"Title B"})"))
            return 1;
        double t1 = seconds();
        bool long_one = i % 2 == 0;
        if (!write_tags(path, "{\"album\":\"" + (long_one ? long_album : "Alb") + "\"}"))
            return 1;
        double t2 = seconds();
        int pages = 0;
        uint64_t head = header_end(read_all(path), opus, &pages);
        (long_one ? pages_long : pages_short) = pages;
        double t3 = seconds();
        if (head == 0 || !floor_rewrite(path, head))
            return 1;
        double t4 = seconds();
        same.push_back(t1 - t0);
        renumbered.push_back(t2 - t1);
        floor.push_back(t4 - t3);
    }
    unlink(path.c_str());
    printf("%s (%llu bytes)\n", original, (unsigned long long)bytes.size());
    printf("  read:  id3_read %.1f us, TagLib %.1f us: %.3fx\n", median(ours) * 1e6,
           median(theirs) * 1e6, median(ours) / median(theirs));
    printf("  write: floor %.2f ms; header pages kept %.2f ms (%.3fx); header pages %d <-> %d, "
           "every audio page renumbered, %.2f ms (%.3fx)\n",
           median(floor) * 1e3, median(same) * 1e3, median(same) / median(floor), pages_short,
           pages_long, median(renumbered) * 1e3, median(renumbered) / median(floor));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3 || atoi(argv[1]) < 1) {
        fprintf(stderr, "usage: qid3_ogg_compare ROUNDS FILE...\n");
        return 2;
    }
    int rc = 0;
    for (int i = 2; i < argc; i++)
        rc |= compare(argv[i], atoi(argv[1]));
    return rc;
}
