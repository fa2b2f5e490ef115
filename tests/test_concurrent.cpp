// Several processes and threads write different fields of one file while others read it. Every
// write that reported success must be in the file afterwards (each writer owns one field, and a
// writer that waited for another reads the other's result and adds its own), and every read must
// see a whole, valid tag. QID3_STRESS_ROUNDS sets the rounds per writer (a short run by default).
#include "quorvale_id3tag.h"
#include "test_util.h"
#include "test_watchdog.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

const Bytes kAudio =
    B({0xFF, 0xFB, 0x90, 0x64}) + repeat(0x11, 40000) + B({0xFF, 0xFB, 0x90, 0x64});
const char* const kFields[] = {"title", "artist", "album", "genre", "date", "track"};

Bytes start_mp3() {
    return id3_tag(4, 0,
                   id3_frame4("TIT2", id3_text("start")) + id3_frame4("TPE1", id3_text("start")) +
                       id3_frame4("TALB", id3_text("start")) +
                       id3_frame4("TCON", id3_text("start")) +
                       id3_frame4("TDRC", id3_text("1000")) + id3_frame4("TRCK", id3_text("1"))) +
           kAudio;
}

Bytes start_flac() {
    return S("fLaC") + flac_block(0, repeat(0x10, 34)) +
           flac_block(4,
                      vorbis_comment("tester", {"TITLE=start", "ARTIST=start", "ALBUM=start",
                                                "GENRE=start", "DATE=1000", "TRACKNUMBER=1"}),
                      true) +
           B({0xFF, 0xF8, 0x69, 0x08}) + repeat(0x22, 40000);
}

int rounds() {
    const char* env = getenv("QID3_STRESS_ROUNDS");
    return env && atoi(env) > 0 ? atoi(env) : 40;
}

// The value writer w gives its field in round r: numbers, so that date and track stay valid.
std::string value_of(int writer, int round) {
    return std::to_string(1000 + writer * 100000 + round);
}

// "field":"value" in a tag's JSON.
std::string pair_text(int field, const std::string& value) {
    return std::string("\"") + kFields[field] + "\":\"" + value + "\"";
}

std::string read_json(const std::string& path) {
    char* json = id3_read(path.c_str());
    std::string text = json ? json : "";
    id3_free_string(json);
    return text;
}

struct Outcome {
    int successes = 0;
    int lost = 0;        // successes not seen in the file right after, or at the end
    int failures = 0;    // reported failures (allowed, but counted)
    int last_round = -1; // the writer's last success
};

// One writer: each round sets its field, then reads the file back. Nobody else writes that field,
// so the value must be there until the writer's next round.
Outcome write_rounds(const std::string& path, int writer, int field) {
    Outcome o;
    for (int r = 0; r < rounds(); r++) {
        std::string json = "{" + pair_text(field, value_of(writer, r)) + "}";
        if (id3_write(path.c_str(), json.c_str()) != 0) {
            o.failures++;
            continue;
        }
        o.successes++;
        o.last_round = r;
        if (read_json(path).find(pair_text(field, value_of(writer, r))) == std::string::npos)
            o.lost++;
    }
    return o;
}

// A reader: every result is a whole tag, with each field present.
int bad_reads(const std::string& path, const std::atomic<bool>& stop) {
    int bad = 0;
    while (!stop.load()) {
        std::string text = read_json(path);
        bool whole = !text.empty();
        for (int f = 0; f < 6 && whole; f++)
            whole = text.find(std::string("\"") + kFields[f] + "\":\"") != std::string::npos;
        if (!whole)
            bad++;
    }
    return bad;
}

struct Tally {
    int successes, lost, failures, bad_reads;
};

// Processes x threads writers (field = process * threads + thread), plus reader threads in a
// process of their own. Each child reports its tally through a pipe.
Tally run(const std::string& path, int processes, int threads) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < processes; p++) {
        pid_t pid = fork();
        if (pid == 0) {
            test_watchdog_arm_child();
            close(fds[0]);
            std::vector<Outcome> outcomes(threads);
            std::vector<std::thread> pool;
            for (int t = 0; t < threads; t++) {
                int writer = p * threads + t;
                pool.emplace_back(
                    [&, writer, t] { outcomes[t] = write_rounds(path, writer, writer); });
            }
            for (std::thread& th : pool)
                th.join();
            // Every writer's last success must still be in the file once all are done: checked
            // by the parent, which knows when all writers have finished.
            Tally sum = {0, 0, 0, 0};
            std::string lasts;
            for (int t = 0; t < threads; t++) {
                sum.successes += outcomes[t].successes;
                sum.lost += outcomes[t].lost;
                sum.failures += outcomes[t].failures;
                lasts += std::to_string(p * threads + t) + " " +
                         std::to_string(outcomes[t].last_round) + "\n";
            }
            std::string line = std::to_string(sum.successes) + " " + std::to_string(sum.lost) +
                               " " + std::to_string(sum.failures) + " 0\n" + lasts;
            ssize_t ignored = write(fds[1], line.data(), line.size());
            (void)ignored;
            _exit(0);
        }
        children.push_back(pid);
    }
    pid_t reader = fork();
    if (reader == 0) {
        test_watchdog_arm_child();
        close(fds[0]);
        // Stopped by SIGTERM from the parent, taken here by sigwait (blocked in every thread).
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        std::atomic<bool> stop{false};
        int bad[2] = {0, 0};
        std::thread r1([&] { bad[0] = bad_reads(path, stop); });
        std::thread r2([&] { bad[1] = bad_reads(path, stop); });
        int sig = 0;
        sigwait(&set, &sig);
        stop = true;
        r1.join();
        r2.join();
        std::string line = "0 0 0 " + std::to_string(bad[0] + bad[1]) + "\n";
        ssize_t ignored = write(fds[1], line.data(), line.size());
        (void)ignored;
        _exit(0);
    }
    close(fds[1]);
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    kill(reader, SIGTERM);
    int status = 0;
    waitpid(reader, &status, 0);
    std::string report;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        report.append(buf, (size_t)n);
    close(fds[0]);

    Tally total = {0, 0, 0, 0};
    std::string final_json = read_json(path);
    size_t at = 0;
    while (at < report.size()) {
        size_t end = report.find('\n', at);
        std::string line = report.substr(at, end - at);
        at = end + 1;
        int a = 0, b = 0, c = 0, d = 0;
        if (sscanf(line.c_str(), "%d %d %d %d", &a, &b, &c, &d) == 4) {
            total.successes += a;
            total.lost += b;
            total.failures += c;
            total.bad_reads += d;
        } else if (sscanf(line.c_str(), "%d %d", &a, &b) == 2 && b >= 0) {
            // A writer's last success, missing from the final file.
            if (final_json.find(pair_text(a, value_of(a, b))) == std::string::npos)
                total.lost++;
        }
    }
    return total;
}

TEST(Concurrent, WritersTakeTurnsAndReadersSeeWholeTags) {
    struct Case {
        const char* name;
        Bytes start;
        int processes, threads;
    };
    const Case cases[] = {
        {"song.mp3", start_mp3(), 3, 2},
        {"song.flac", start_flac(), 3, 2},
        {"threads.mp3", start_mp3(), 1, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path = dir.file(c.name);
        ASSERT_TRUE(write_file(path, c.start));
        Tally t = run(path, c.processes, c.threads);
        EXPECT_GT(t.successes, 0);
        EXPECT_EQ(t.lost, 0) << "of " << t.successes << " successes";
        EXPECT_EQ(t.failures, 0) << "writes that failed";
        EXPECT_EQ(t.bad_reads, 0) << "reads that were not a whole tag";
        EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{c.name});
        printf("%s: %d successes, %d lost, %d failed, %d bad reads\n", c.name, t.successes, t.lost,
               t.failures, t.bad_reads);
    }
}

} // namespace
