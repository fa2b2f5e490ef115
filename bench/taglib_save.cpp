// TagLib's in-place save of a title followed by fsync, timed per call: the peer figure for
// clone_write.py. Build: g++ -O2 bench/taglib_save.cpp $(pkg-config --cflags --libs taglib)
// Usage: a.out FILE...   (MP3 or FLAC; three saves each)
#include <fcntl.h>
#include <unistd.h>

#include <taglib/fileref.h>
#include <taglib/tag.h>

#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        for (int run = 0; run < 3; run++) {
            auto start = std::chrono::steady_clock::now();
            TagLib::FileRef file(argv[i]);
            if (file.isNull())
                return 1;
            file.tag()->setTitle(("run" + std::to_string(run)).c_str());
            bool saved = file.save();
            int fd = open(argv[i], O_RDONLY);
            bool synced = fd >= 0 && fsync(fd) == 0;
            if (fd >= 0)
                close(fd);
            double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
            printf("%s: saved=%d synced=%d %.1f ms\n", argv[i], saved, synced, ms);
        }
    }
    return 0;
}
