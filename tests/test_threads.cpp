// Calls from several threads at once, with no lock: each thread's error text describes its own
// last call. The threads mix every export over files they share (read only, and one file all of
// them write) and files of their own, and each failure's message must name the thread's own file.
// QID3_THREAD_CALLS sets the calls per thread (the ThreadSanitizer stage runs 10,000).
#include "quorvale_id3tag.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

struct Paths {
    std::string shared_mp3, shared_flac, shared_written, cover_png;
};

struct ThreadFiles {
    std::string own_mp3, own_flac, missing, cover_out;
};

// The first few wrong outcomes of one thread, and how many there were.
struct Faults {
    int count = 0;
    std::string first;
    void note(int call, const std::string& what) {
        if (count++ < 5)
            first += "call " + std::to_string(call) + ": " + what + "\n";
    }
};

std::string last_error() {
    return id3_last_error();
}

// A read that must succeed and leave the error text empty.
void expect_read(char* json, int call, const char* what, Faults* f) {
    if (!json)
        f->note(call, std::string(what) + " failed: " + last_error());
    else if (!last_error().empty())
        f->note(call, std::string(what) + " left an error: " + last_error());
    id3_free_string(json);
}

void expect_missing(const std::string& missing, int call, const char* what, Faults* f) {
    std::string want = "cannot open: " + missing + " (No such file or directory)";
    if (last_error() != want)
        f->note(call, std::string(what) + ": \"" + last_error() + "\", not \"" + want + "\"");
}

void run_thread(const Paths& p, const ThreadFiles& own, int thread, int calls, Faults* f) {
    std::string missing_list = "[\"" + own.missing + "\"]";
    for (int call = 0; call < calls; call++) {
        std::string tags = "{\"title\":\"thread " + std::to_string(thread) + " call " +
                           std::to_string(call) + "\"}";
        switch (call % 10) {
        case 0:
            if (id3_read(own.missing.c_str()))
                f->note(call, "missing file read");
            expect_missing(own.missing, call, "read", f);
            break;
        case 1:
            expect_read(id3_read(p.shared_mp3.c_str()), call, "shared read", f);
            break;
        case 2:
            expect_read(id3_read_all(p.shared_flac.c_str()), call, "shared read_all", f);
            break;
        case 3:
            if (id3_read_all(own.missing.c_str()))
                f->note(call, "missing file read_all");
            expect_missing(own.missing, call, "read_all", f);
            break;
        case 4:
            if (id3_write(call % 20 == 4 ? own.own_mp3.c_str() : own.own_flac.c_str(),
                          tags.c_str()) != 0)
                f->note(call, "own write failed: " + last_error());
            break;
        case 5: {
            std::string list = "[\"" + own.own_flac + "\",\"" + own.missing + "\"]";
            if (id3_batch(list.c_str(), tags.c_str()) != 1)
                f->note(call, "batch did not write one file: " + last_error());
            expect_missing(own.missing, call, "batch", f);
            break;
        }
        case 6:
            if (id3_extract_cover(p.shared_mp3.c_str(), own.cover_out.c_str()) != 0)
                f->note(call, "extract_cover failed: " + last_error());
            else if (!last_error().empty())
                f->note(call, "extract_cover left an error: " + last_error());
            break;
        case 7:
            if (id3_set_cover(own.missing.c_str(), p.cover_png.c_str()) == 0)
                f->note(call, "set_cover of a missing file succeeded");
            expect_missing(own.missing, call, "set_cover", f);
            break;
        case 8: {
            char* results = id3_batch_results(missing_list.c_str(), tags.c_str());
            std::string text = results ? results : "";
            id3_free_string(results);
            if (text.find("cannot open: " + own.missing + " ") == std::string::npos)
                f->note(call, "batch_results: " + text);
            else if (!last_error().empty())
                f->note(call, "batch_results left an error: " + last_error());
            break;
        }
        case 9:
            // Every thread writes this one file: each write is whole, one after another.
            if (id3_write(p.shared_written.c_str(), tags.c_str()) != 0)
                f->note(call, "shared write failed: " + last_error());
            break;
        }
    }
}

int calls_per_thread() {
    const char* text = getenv("QID3_THREAD_CALLS");
    int n = text ? atoi(text) : 0;
    return n > 0 ? n : 1000;
}

TEST(Threads, EachThreadSeesItsOwnErrorText) {
    const int threads = 8;
    const int calls = calls_per_thread();
    TempDir dir;
    std::string samples = QID3_SAMPLES_DIR;
    Paths p{samples + "/sample.mp3", samples + "/sample.flac", dir.file("shared.flac"),
            samples + "/cover.png"};
    ASSERT_TRUE(write_file(p.shared_written, read_file(samples + "/sample.flac")));
    std::vector<ThreadFiles> own(threads);
    for (int t = 0; t < threads; t++) {
        std::string n = std::to_string(t);
        own[t] = {dir.file("own" + n + ".mp3"), dir.file("own" + n + ".flac"),
                  dir.file("missing" + n + ".mp3"), dir.file("cover" + n + ".jpg")};
        ASSERT_TRUE(write_file(own[t].own_mp3, read_file(samples + "/sample.mp3")));
        ASSERT_TRUE(write_file(own[t].own_flac, read_file(samples + "/sample.flac")));
    }
    std::vector<Faults> faults(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back(run_thread, std::cref(p), std::cref(own[t]), t, calls, &faults[t]);
    for (std::thread& th : pool)
        th.join();
    for (int t = 0; t < threads; t++)
        EXPECT_EQ(faults[t].count, 0) << "thread " << t << ":\n" << faults[t].first;

    // The last write of each file is whole: its title is one thread's title.
    char* shared = id3_read(p.shared_written.c_str());
    ASSERT_NE(shared, nullptr) << id3_last_error();
    EXPECT_NE(std::string(shared).find("\"title\":\"thread "), std::string::npos) << shared;
    id3_free_string(shared);
}

// A thread's failure does not show in another thread's text, nor its success clear it.
TEST(Threads, AnotherThreadsCallsLeaveTheTextAlone) {
    EXPECT_EQ(id3_read("/nonexistent/quorvale/a.mp3"), nullptr);
    std::string mine = id3_last_error();
    std::string theirs;
    std::thread other([&] {
        theirs = id3_last_error(); // a new thread starts with an empty text
        char* ok = id3_read((std::string(QID3_SAMPLES_DIR) + "/sample.mp3").c_str());
        id3_free_string(ok);
        EXPECT_EQ(id3_read("/nonexistent/quorvale/b.mp3"), nullptr);
    });
    other.join();
    EXPECT_EQ(theirs, "");
    EXPECT_EQ(std::string(id3_last_error()), mine);
    EXPECT_EQ(mine, "cannot open: /nonexistent/quorvale/a.mp3 (No such file or directory)");
}

} // namespace
