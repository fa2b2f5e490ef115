// Benchmarks of the library's exported calls against their floors and against TagLib.
//
//   qid3_bench [--qid3-sizes=100K,10M,100M] [--qid3-dir=DIR] [--qid3-table=FILE] [--qid3-keep]
//              [--qid3-batch=N] [--qid3-no-peak] [--qid3-smoke] [Google Benchmark flags]
//
// The fixture files are generated in a fresh folder (under --qid3-dir, TMPDIR or /tmp) and
// removed at the end. After the run the medians are read back from the JSON results and printed
// as one table of ratios (library / floor, library / TagLib); then the peak memory of writes is
// measured in child processes (qid3_bench_child beside this program).
#include "bench_files.h"
#include "bench_ops.h"
#include "quorvale_id3tag.h"

#include <benchmark/benchmark.h>
#include <yyjson.h>

#include <errno.h>
#include <malloc.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct options {
    std::vector<uint64_t> sizes;
    std::string base_dir;
    std::string table_path;
    bool keep = false;
    bool smoke = false;
    bool peak = true;
    int batch = 100;
};

// One fixture file and the copies the writing cases work on (one per contender, so that no
// contender starts from a file another one has rewritten).
struct fixture {
    bench_file_spec spec;
    std::string name; // "mp3v24_c20KB/100KB"
    std::string path; // read-only cases
    std::string lib_copy, floor_copy, taglib_copy;
    std::string new_cover; // picture file for the set_cover cases
    std::string out_picture;
    std::string lib_error;    // set when the library cannot read the fixture as expected
    std::string taglib_error; // the same for TagLib
};

// One line of the final table: a case on one file, and the benchmark names of its contenders.
struct table_row {
    std::string case_name;
    std::string file;
    uint64_t size;
    std::string lib, floor, taglib;
    std::string floor_dir; // the floor with the folder flush, for the id3_write and batch cases
};

std::deque<fixture> g_fixtures;
std::vector<table_row> g_rows;
std::string g_batch_json; // JSON array of the batch copies for the library
std::vector<std::string> g_batch_floor, g_batch_taglib;

const char* const TITLES[2] = {"Bench title A", "Bench title B"};
const char* const TITLE_JSON[2] = {"{\"title\":\"Bench title A\"}",
                                   "{\"title\":\"Bench title B\"}"};

bool starts_with(const std::string& s, const char* prefix) {
    return s.compare(0, strlen(prefix), prefix) == 0;
}

std::string json_escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Fixtures

std::string make_fixture_file(const std::string& dir, const bench_file_spec& spec,
                              const std::string& stem) {
    std::string ext = spec.kind == KIND_FLAC ? ".flac" : spec.kind == KIND_M4A ? ".m4a" : ".mp3";
    std::string path = dir + "/" + stem + ext;
    if (!bench_write_file(path, bench_file_bytes(spec)))
        return "";
    return path;
}

// Checks that the library and TagLib both read the fixture's tags; a contender that cannot is
// reported as an error of its benchmarks instead of being timed on a failure path.
void check_fixture(fixture* f) {
    char* json = id3_read(f->path.c_str());
    if (!json) {
        f->lib_error = std::string("id3_read failed: ") + id3_last_error();
    } else {
        std::string text = json;
        id3_free_string(json);
        if (text.find("\"title\":\"" BENCH_TITLE "\"") == std::string::npos ||
            text.find("\"has_cover\":true") == std::string::npos)
            f->lib_error = "id3_read gave unexpected tags: " + text;
    }
    taglib_tags t;
    if (!taglib_read(f->path.c_str(), f->spec.kind, &t))
        f->taglib_error = "TagLib cannot read the file";
    else if (t.title != BENCH_TITLE || t.cover_size != f->spec.cover_size)
        f->taglib_error = "TagLib read unexpected tags";
}

fixture* add_fixture(const std::string& dir, bench_kind kind, uint64_t size, uint64_t cover,
                     bool writable) {
    fixture f;
    f.spec = {kind, size, cover};
    std::string cover_name = bench_size_name(cover);
    f.name = std::string(bench_kind_name(kind)) + "_c" + cover_name + "/" + bench_size_name(size);
    std::string stem =
        std::string(bench_kind_name(kind)) + "_c" + cover_name + "_" + bench_size_name(size);
    f.path = make_fixture_file(dir, f.spec, stem);
    if (f.path.empty()) {
        fprintf(stderr, "qid3_bench: cannot write fixture %s in %s\n", stem.c_str(), dir.c_str());
        exit(2);
    }
    if (writable) {
        f.lib_copy = dir + "/lib_" + stem + f.path.substr(f.path.rfind('.'));
        f.floor_copy = dir + "/floor_" + stem + f.path.substr(f.path.rfind('.'));
        f.taglib_copy = dir + "/taglib_" + stem + f.path.substr(f.path.rfind('.'));
        if (!bench_copy_file(f.path, f.lib_copy) || !bench_copy_file(f.path, f.floor_copy) ||
            !bench_copy_file(f.path, f.taglib_copy)) {
            fprintf(stderr, "qid3_bench: cannot copy fixture %s\n", stem.c_str());
            exit(2);
        }
    }
    f.new_cover = dir + "/new_cover_" + cover_name + ".jpg";
    f.out_picture = dir + "/out_" + stem + ".jpg";
    check_fixture(&f);
    g_fixtures.push_back(f);
    return &g_fixtures.back();
}

// ---------------------------------------------------------------------------------------------
// Registration

// Repetitions and iterations by file size: many short runs for small files, a few single
// iterations for the largest ones.
void shape(benchmark::internal::Benchmark* b, uint64_t size, bool writes, const options& opt) {
    b->UseRealTime();
    if (opt.smoke) {
        b->Iterations(1)->Repetitions(1)->Unit(benchmark::kMicrosecond);
        return;
    }
    if (size <= 2 * 1024 * 1024) {
        b->Repetitions(10)->Unit(benchmark::kMicrosecond);
        if (writes)
            b->Iterations(5);
        else
            b->MinTime(0.05);
    } else if (size <= 32 * 1024 * 1024) {
        b->Repetitions(7)->Unit(benchmark::kMillisecond);
        b->Iterations(writes ? 2 : 10);
    } else {
        b->Repetitions(writes ? 3 : 5)->Unit(benchmark::kMillisecond);
        b->Iterations(writes ? 1 : 2);
    }
}

// What one benchmark does per iteration: a case done by one contender.
enum contender_op {
    OP_LIB_READ,
    OP_FLOOR_READ,
    OP_TAGLIB_READ,
    OP_LIB_WRITE,
    OP_FLOOR_WRITE,
    OP_TAGLIB_WRITE,
    OP_LIB_SET_COVER,
    OP_FLOOR_SET_COVER,
    OP_TAGLIB_SET_COVER,
    OP_LIB_EXTRACT,
    OP_FLOOR_EXTRACT,
    OP_TAGLIB_EXTRACT,
    OP_LIB_BATCH,
    OP_FLOOR_BATCH,
    OP_TAGLIB_BATCH,
    // Floors of the writing cases with the folder flush added (see floor_rewrite).
    OP_FLOOR_WRITE_DIR,
    OP_FLOOR_BATCH_DIR,
};

// Runs one iteration; `i` alternates the title so that every write changes the file. Returns ""
// on success, else what failed.
std::string run_op(contender_op op, const fixture* f, unsigned i) {
    const char* title = TITLES[i & 1];
    const char* title_json = TITLE_JSON[i & 1];
    taglib_tags t;
    // Every contender saves the cover to a new file. Emptying an existing file instead makes
    // ext4 start writing it back at close and makes the next emptying wait for the disk, which
    // would time the disk rather than the extraction.
    if (op == OP_LIB_EXTRACT || op == OP_FLOOR_EXTRACT || op == OP_TAGLIB_EXTRACT)
        unlink(f->out_picture.c_str());
    switch (op) {
    case OP_LIB_READ: {
        char* json = id3_read(f->path.c_str());
        if (!json)
            return id3_last_error();
        id3_free_string(json);
        return "";
    }
    case OP_FLOOR_READ:
        return floor_read(f->path.c_str()) >= 0 ? "" : "floor read failed";
    case OP_TAGLIB_READ:
        if (!taglib_read(f->path.c_str(), f->spec.kind, &t))
            return "TagLib read failed";
        benchmark::DoNotOptimize(t.cover_size);
        return "";
    case OP_LIB_WRITE:
        return id3_write(f->lib_copy.c_str(), title_json) == 0 ? "" : id3_last_error();
    case OP_FLOOR_WRITE:
        return floor_rewrite(f->floor_copy.c_str(), 3, nullptr, false) == 0 ? "" : "floor failed";
    case OP_FLOOR_WRITE_DIR:
        return floor_rewrite(f->floor_copy.c_str(), 3, nullptr, true) == 0 ? "" : "floor failed";
    case OP_TAGLIB_WRITE:
        return taglib_write_title(f->taglib_copy.c_str(), f->spec.kind, title) ? ""
                                                                               : "TagLib failed";
    case OP_LIB_SET_COVER:
        return id3_set_cover(f->lib_copy.c_str(), f->new_cover.c_str()) == 0 ? ""
                                                                             : id3_last_error();
    case OP_FLOOR_SET_COVER:
        // The picture is read once and the audio file twice (the load and the writer's read).
        return floor_rewrite(f->floor_copy.c_str(), 2, f->new_cover.c_str(), false) == 0
                   ? ""
                   : "floor failed";
    case OP_TAGLIB_SET_COVER:
        return taglib_set_cover(f->taglib_copy.c_str(), f->spec.kind, f->new_cover.c_str())
                   ? ""
                   : "TagLib failed";
    case OP_LIB_EXTRACT:
        return id3_extract_cover(f->path.c_str(), f->out_picture.c_str()) == 0 ? ""
                                                                               : id3_last_error();
    case OP_FLOOR_EXTRACT:
        return floor_extract(f->path.c_str(), f->spec.cover_size, f->out_picture.c_str()) == 0
                   ? ""
                   : "floor failed";
    case OP_TAGLIB_EXTRACT:
        return taglib_extract_cover(f->path.c_str(), f->spec.kind, f->out_picture.c_str())
                   ? ""
                   : "TagLib failed";
    case OP_LIB_BATCH:
        if (id3_batch(g_batch_json.c_str(), title_json) != (int32_t)g_batch_floor.size())
            return std::string("id3_batch missed files: ") + id3_last_error();
        return "";
    case OP_FLOOR_BATCH:
        for (const std::string& p : g_batch_floor) {
            if (floor_rewrite(p.c_str(), 3, nullptr, false) != 0)
                return "floor failed";
        }
        return "";
    case OP_FLOOR_BATCH_DIR:
        for (const std::string& p : g_batch_floor) {
            if (floor_rewrite(p.c_str(), 3, nullptr, true) != 0)
                return "floor failed";
        }
        return "";
    case OP_TAGLIB_BATCH:
        for (const std::string& p : g_batch_taglib) {
            if (!taglib_write_title(p.c_str(), f->spec.kind, title))
                return "TagLib failed";
        }
        return "";
    }
    return "unknown operation";
}

// A contender that could not read the fixture as expected is reported, not timed.
const std::string& precheck(contender_op op, const fixture* f) {
    static const std::string none;
    switch (op) {
    case OP_LIB_READ:
    case OP_LIB_WRITE:
    case OP_LIB_SET_COVER:
    case OP_LIB_EXTRACT:
    case OP_LIB_BATCH:
        return f->lib_error;
    case OP_TAGLIB_READ:
    case OP_TAGLIB_WRITE:
    case OP_TAGLIB_SET_COVER:
    case OP_TAGLIB_EXTRACT:
    case OP_TAGLIB_BATCH:
        return f->taglib_error;
    default:
        return none;
    }
}

benchmark::internal::Benchmark* register_op(const std::string& name, contender_op op,
                                            const fixture* f) {
    return benchmark::RegisterBenchmark(name.c_str(), [op, f](benchmark::State& state) {
        if (!precheck(op, f).empty())
            state.SkipWithError(precheck(op, f).c_str());
        unsigned i = 0;
        for (auto _ : state) {
            std::string error = run_op(op, f, i++);
            if (!error.empty()) {
                state.SkipWithError(error.c_str());
                break;
            }
        }
    });
}

// One case on one file for the three contenders: the library, the floor and TagLib.
void register_case(const char* case_name, const fixture* f, contender_op lib_op, bool writes,
                   const options& opt) {
    std::string prefix = std::string(case_name) + "/";
    table_row row{case_name,
                  f->name,
                  f->spec.total_size,
                  prefix + "lib/" + f->name,
                  prefix + "floor/" + f->name,
                  prefix + "taglib/" + f->name,
                  ""};
    shape(register_op(row.lib, lib_op, f), f->spec.total_size, writes, opt);
    shape(register_op(row.floor, (contender_op)(lib_op + 1), f), f->spec.total_size, writes, opt);
    shape(register_op(row.taglib, (contender_op)(lib_op + 2), f), f->spec.total_size, writes, opt);
    if (lib_op == OP_LIB_WRITE) {
        row.floor_dir = prefix + "floor_dir/" + f->name;
        shape(register_op(row.floor_dir, OP_FLOOR_WRITE_DIR, f), f->spec.total_size, writes, opt);
    }
    g_rows.push_back(row);
}

// id3_batch over `count` copies of one small fixture, against as many floor rewrites and TagLib
// saves.
void register_batch(const std::string& dir, const fixture* f, int count, const options& opt) {
    std::string ext = f->path.substr(f->path.rfind('.'));
    g_batch_json = "[";
    for (int i = 0; i < count; i++) {
        char n[16];
        snprintf(n, sizeof n, "%03d", i);
        std::string lib = dir + "/batch_lib_" + n + ext;
        std::string floor = dir + "/batch_floor_" + n + ext;
        std::string taglib = dir + "/batch_taglib_" + n + ext;
        if (!bench_copy_file(f->path, lib) || !bench_copy_file(f->path, floor) ||
            !bench_copy_file(f->path, taglib)) {
            fprintf(stderr, "qid3_bench: cannot copy batch files\n");
            exit(2);
        }
        g_batch_json += (i ? ",\"" : "\"") + json_escape(lib) + "\"";
        g_batch_floor.push_back(floor);
        g_batch_taglib.push_back(taglib);
    }
    g_batch_json += "]";

    std::string file = std::to_string(count) + "x" + f->name;
    table_row row{"id3_batch",
                  file,
                  f->spec.total_size * (uint64_t)count,
                  "id3_batch/lib/" + file,
                  "id3_batch/floor/" + file,
                  "id3_batch/taglib/" + file,
                  "id3_batch/floor_dir/" + file};
    const std::pair<const std::string*, contender_op> contenders[] = {
        {&row.lib, OP_LIB_BATCH},
        {&row.floor, OP_FLOOR_BATCH},
        {&row.taglib, OP_TAGLIB_BATCH},
        {&row.floor_dir, OP_FLOOR_BATCH_DIR}};
    for (const auto& c : contenders) {
        benchmark::internal::Benchmark* b = register_op(*c.first, c.second, f);
        b->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);
        b->Repetitions(opt.smoke ? 1 : 5);
    }
    g_rows.push_back(row);
}

// ---------------------------------------------------------------------------------------------
// Results

struct result {
    std::vector<double> times_ns;
    double aggregate_median_ns = -1;
    std::string error;
};

double to_ns(double v, const char* unit) {
    if (!unit || strcmp(unit, "ns") == 0)
        return v;
    if (strcmp(unit, "us") == 0)
        return v * 1e3;
    if (strcmp(unit, "ms") == 0)
        return v * 1e6;
    return v * 1e9;
}

std::map<std::string, result> load_results(const std::string& path) {
    std::map<std::string, result> out;
    yyjson_doc* doc = yyjson_read_file(path.c_str(), 0, nullptr, nullptr);
    if (!doc)
        return out;
    yyjson_val* list = yyjson_obj_get(yyjson_doc_get_root(doc), "benchmarks");
    size_t idx, max;
    yyjson_val* b;
    yyjson_arr_foreach(list, idx, max, b) {
        const char* run_name = yyjson_get_str(yyjson_obj_get(b, "run_name"));
        if (!run_name)
            continue;
        // Google Benchmark appends the run's settings ("/min_time:0.050/repeats:10/real_time").
        std::string name = run_name;
        for (const char* suffix : {"/min_time:", "/iterations:", "/repeats:", "/real_time"}) {
            size_t at = name.find(suffix);
            if (at != std::string::npos)
                name.resize(at);
        }
        result& r = out[name];
        if (yyjson_get_bool(yyjson_obj_get(b, "error_occurred"))) {
            const char* msg = yyjson_get_str(yyjson_obj_get(b, "error_message"));
            r.error = msg ? msg : "error";
            continue;
        }
        double t = to_ns(yyjson_get_num(yyjson_obj_get(b, "real_time")),
                         yyjson_get_str(yyjson_obj_get(b, "time_unit")));
        const char* type = yyjson_get_str(yyjson_obj_get(b, "run_type"));
        const char* agg = yyjson_get_str(yyjson_obj_get(b, "aggregate_name"));
        if (type && strcmp(type, "iteration") == 0)
            r.times_ns.push_back(t);
        else if (agg && strcmp(agg, "median") == 0)
            r.aggregate_median_ns = t;
    }
    yyjson_doc_free(doc);
    return out;
}

// The median of the repetitions, or -1 when the benchmark did not run or failed.
double median_ns(const std::map<std::string, result>& results, const std::string& name,
                 std::string* error) {
    auto it = results.find(name);
    if (it == results.end())
        return -1;
    if (!it->second.error.empty()) {
        if (error && error->empty())
            *error = name + ": " + it->second.error;
        return -1;
    }
    std::vector<double> v = it->second.times_ns;
    if (v.empty())
        return it->second.aggregate_median_ns;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string fmt_time(double ns) {
    char text[32];
    if (ns < 0)
        return "-";
    if (ns < 1e6)
        snprintf(text, sizeof text, "%.1f us", ns / 1e3);
    else if (ns < 1e9)
        snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
    else
        snprintf(text, sizeof text, "%.3f s", ns / 1e9);
    return text;
}

std::string fmt_ratio(double a, double b) {
    char text[32];
    if (a < 0 || b <= 0)
        return "-";
    snprintf(text, sizeof text, "%.2fx", a / b);
    return text;
}

// The target a row is held to, and whether it is met.
std::string verdict(const table_row& row, double lib, double floor, double taglib) {
    if (lib < 0 || floor <= 0)
        return "";
    const uint64_t TEN_MB = 10ull * 1024 * 1024;
    std::string out;
    if (row.case_name == "id3_read" && row.size >= TEN_MB)
        out = lib / floor <= 1.10 ? "<=1.10x floor: met" : "<=1.10x floor: MISSED";
    if (row.case_name == "id3_read" && row.size <= 128 * 1024) {
        out = lib - floor < 20e3 ? "<20 us over floor: met" : "<20 us over floor: MISSED";
        if (starts_with(row.file, "mp3") && taglib > 0)
            out += lib < taglib ? "; faster than TagLib: met" : "; faster than TagLib: MISSED";
    }
    if (row.case_name == "id3_write")
        out = lib / floor <= 1.10 ? "<=1.10x floor: met" : "<=1.10x floor: MISSED";
    return out;
}

int print_table(const std::map<std::string, result>& results, FILE* out) {
    int failures = 0;
    fprintf(out, "| case | file | library | floor | TagLib | lib/floor | lib/TagLib | lib-floor "
                 "| target |\n");
    fprintf(out, "|---|---|---:|---:|---:|---:|---:|---:|---|\n");
    for (const table_row& row : g_rows) {
        std::string error;
        double lib = median_ns(results, row.lib, &error);
        double floor = median_ns(results, row.floor, &error);
        double taglib = median_ns(results, row.taglib, &error);
        if (results.count(row.lib) == 0)
            continue; // filtered out
        std::string over = lib >= 0 && floor >= 0 ? fmt_time(lib - floor) : "-";
        if (lib >= 0 && floor >= 0 && lib < floor)
            over = "-" + fmt_time(floor - lib);
        fprintf(out, "| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", row.case_name.c_str(),
                row.file.c_str(), fmt_time(lib).c_str(), fmt_time(floor).c_str(),
                fmt_time(taglib).c_str(), fmt_ratio(lib, floor).c_str(),
                fmt_ratio(lib, taglib).c_str(), over.c_str(),
                verdict(row, lib, floor, taglib).c_str());
        if (!error.empty()) {
            fprintf(out, "|  | error: %s |  |  |  |  |  |  |  |\n", error.c_str());
            failures++;
        }
    }
    fprintf(out, "\nThe writing floors with the folder flush added (the library flushes the folder "
                 "after the rename so that the rename survives a power cut):\n\n");
    fprintf(out, "| case | file | library | floor + folder flush | lib/(floor + folder flush) |\n");
    fprintf(out, "|---|---|---:|---:|---:|\n");
    for (const table_row& row : g_rows) {
        if (row.floor_dir.empty() || results.count(row.floor_dir) == 0)
            continue;
        double lib = median_ns(results, row.lib, nullptr);
        double floor_dir = median_ns(results, row.floor_dir, nullptr);
        fprintf(out, "| %s | %s | %s | %s | %s |\n", row.case_name.c_str(), row.file.c_str(),
                fmt_time(lib).c_str(), fmt_time(floor_dir).c_str(),
                fmt_ratio(lib, floor_dir).c_str());
    }
    return failures;
}

// ---------------------------------------------------------------------------------------------
// Peak memory, measured in child processes

std::string child_program() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "qid3_bench_child";
    self[n] = 0;
    std::string path = self;
    return path.substr(0, path.rfind('/') + 1) + "qid3_bench_child";
}

struct child_result {
    bool ok = false;
    std::string report; // what the child printed: its memory figures
};

child_result run_child(const std::vector<std::string>& args) {
    child_result r;
    std::string program = child_program();
    int pipe_fd[2];
    if (pipe(pipe_fd) != 0)
        return r;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fd[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipe_fd[0]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fd[1]);
    if (rc != 0) {
        close(pipe_fd[0]);
        return r;
    }
    char buf[512];
    ssize_t n;
    while ((n = read(pipe_fd[0], buf, sizeof buf)) > 0)
        r.report.append(buf, (size_t)n);
    close(pipe_fd[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return r;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    while (!r.report.empty() && (r.report.back() == '\n' || r.report.back() == '\r'))
        r.report.pop_back();
    return r;
}

uint64_t report_value(const std::string& report, const char* key) {
    size_t at = report.find(std::string(key) + "=");
    if (at == std::string::npos)
        return 0;
    return strtoull(report.c_str() + at + strlen(key) + 1, nullptr, 10);
}

int measure_peaks(FILE* out) {
    int failures = 0;
    child_result idle = run_child({"idle"});
    fprintf(out,
            "\nPeak memory of one call in a fresh child process: its resident high-water mark "
            "(VmHWM), and its heap as counted by the child's own malloc. An idle child with the "
            "same libraries loaded peaks at %.1f MB.\n\n",
            report_value(idle.report, "hwm_kb") / 1024.0);
    fprintf(out, "| operation | file | peak RSS | limit 2 x size + 8 MB | heap peak | malloc "
                 "calls | bytes requested / file size | result |\n");
    fprintf(out, "|---|---|---:|---:|---:|---:|---:|---|\n");
    for (const fixture& f : g_fixtures) {
        if (f.lib_copy.empty() || f.spec.total_size < 10ull * 1024 * 1024)
            continue;
        struct op {
            const char* name;
            const char* verb;
            std::string path;
        };
        std::vector<op> ops = {{"id3_write", "lib_write", f.lib_copy},
                               {"id3_set_cover", "lib_set_cover", f.lib_copy},
                               {"floor rewrite", "floor_write", f.floor_copy},
                               {"TagLib save", "taglib_write", f.taglib_copy}};
        for (const op& o : ops) {
            child_result r = run_child({o.verb, o.path, bench_kind_name(f.spec.kind), f.new_cover});
            double size_mb = f.spec.total_size / 1048576.0;
            double limit_mb = 2 * size_mb + 8;
            double rss_mb = report_value(r.report, "hwm_kb") / 1024.0;
            uint64_t requested = report_value(r.report, "requested");
            char line[512];
            snprintf(line, sizeof line,
                     "| %s | %s | %.1f MB | %.1f MB | %.1f MB | %llu | %.2f | %s |\n", o.name,
                     f.name.c_str(), rss_mb, limit_mb,
                     report_value(r.report, "peak_live") / 1048576.0,
                     (unsigned long long)report_value(r.report, "allocs"),
                     (double)requested / (double)f.spec.total_size,
                     !r.ok                ? "FAILED"
                     : rss_mb <= limit_mb ? "within"
                                          : "OVER");
            fputs(line, out);
            if (!r.ok)
                failures++;
        }
    }
    return failures;
}

// ---------------------------------------------------------------------------------------------

bool parse_options(int* argc, char** argv, options* opt) {
    int kept = 1;
    std::string sizes = "100K,10M,100M";
    for (int i = 1; i < *argc; i++) {
        std::string a = argv[i];
        if (starts_with(a, "--qid3-sizes="))
            sizes = a.substr(13);
        else if (starts_with(a, "--qid3-dir="))
            opt->base_dir = a.substr(11);
        else if (starts_with(a, "--qid3-table="))
            opt->table_path = a.substr(13);
        else if (starts_with(a, "--qid3-batch="))
            opt->batch = atoi(a.c_str() + 13);
        else if (a == "--qid3-keep")
            opt->keep = true;
        else if (a == "--qid3-no-peak")
            opt->peak = false;
        else if (a == "--qid3-smoke")
            opt->smoke = true;
        else if (starts_with(a, "--qid3-")) {
            fprintf(stderr, "qid3_bench: unknown option %s\n", a.c_str());
            return false;
        } else
            argv[kept++] = argv[i];
    }
    *argc = kept;
    if (opt->smoke && sizes == "100K,10M,100M")
        sizes = "100K";
    size_t start = 0;
    while (start <= sizes.size()) {
        size_t comma = sizes.find(',', start);
        std::string part =
            sizes.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        uint64_t v = bench_parse_size(part);
        if (v < 64 * 1024) {
            fprintf(stderr, "qid3_bench: bad size '%s' (at least 64K)\n", part.c_str());
            return false;
        }
        opt->sizes.push_back(v);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (opt->batch < 1)
        opt->batch = 1;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    // glibc moves its mmap threshold up after large blocks are freed, and from then on serves
    // them from the heap, where whether a buffer reuses resident pages or faults in new ones
    // depends on what else was allocated around it. That made two contenders doing the same reads
    // differ by up to 40% depending on the order of their small allocations. Fixing the threshold
    // at its default makes every contender map (and fault in) its large buffers afresh, as a
    // process doing one call does.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);

    options opt;
    if (!parse_options(&argc, argv, &opt))
        return 2;
    std::string dir = bench_make_temp_dir(opt.base_dir);
    if (dir.empty()) {
        fprintf(stderr, "qid3_bench: cannot create a temporary folder\n");
        return 2;
    }

    // Google Benchmark's own flags: results also go to a JSON file (read back for the table),
    // the repetitions of all cases are interleaved in random order so that a burst of load on
    // the shared machine spreads over all contenders, and the console shows medians only.
    std::string results_path = dir + "/results.json";
    bool own_out = false;
    for (int i = 1; i < argc; i++) {
        if (starts_with(argv[i], "--benchmark_out="))
            own_out = true;
    }
    std::vector<std::string> extra = {"--benchmark_enable_random_interleaving=true",
                                      "--benchmark_display_aggregates_only=true"};
    if (!own_out) {
        extra.push_back("--benchmark_out=" + results_path);
        extra.push_back("--benchmark_out_format=json");
    }
    std::vector<char*> args(argv, argv + argc);
    // Given after the program name and before the user's flags, so that the user's win.
    args.insert(args.begin() + 1, extra.size(), nullptr);
    for (size_t i = 0; i < extra.size(); i++)
        args[1 + i] = const_cast<char*>(extra[i].c_str());
    for (int i = 1; i < (int)args.size(); i++) {
        if (starts_with(args[i], "--benchmark_out="))
            results_path = args[i] + strlen("--benchmark_out=");
    }
    int bench_argc = (int)args.size();
    args.push_back(nullptr);
    benchmark::Initialize(&bench_argc, args.data());
    if (benchmark::ReportUnrecognizedArguments(bench_argc, args.data()))
        return 2;

    fprintf(stderr, "qid3_bench: generating fixtures in %s\n", dir.c_str());
    const uint64_t KB20 = 20 * 1024, MB1 = 1024 * 1024;
    std::vector<uint8_t> cover_small = bench_picture(KB20, 7), cover_big = bench_picture(MB1, 8);
    if (!bench_write_file(dir + "/new_cover_" + bench_size_name(KB20) + ".jpg", cover_small) ||
        !bench_write_file(dir + "/new_cover_" + bench_size_name(MB1) + ".jpg", cover_big)) {
        fprintf(stderr, "qid3_bench: cannot write pictures\n");
        return 2;
    }

    fixture* batch_source = nullptr;
    for (uint64_t size : opt.sizes) {
        fixture* v23 = add_fixture(dir, KIND_MP3_V23, size, KB20, false);
        fixture* v24 = add_fixture(dir, KIND_MP3_V24, size, KB20, true);
        // A 1 MB cover only in files that are larger than it.
        fixture* v23_big =
            size > 4 * MB1 ? add_fixture(dir, KIND_MP3_V23, size, MB1, false) : nullptr;
        fixture* v24_big =
            size > 4 * MB1 ? add_fixture(dir, KIND_MP3_V24, size, MB1, true) : nullptr;
        fixture* flac = add_fixture(dir, KIND_FLAC, size, KB20, true);
        fixture* m4a = add_fixture(dir, KIND_M4A, size, KB20, false);
        for (fixture* f : {v23, v24, v23_big, v24_big, flac, m4a}) {
            if (f)
                register_case("id3_read", f, OP_LIB_READ, false, opt);
        }
        // The library writes ID3v2.4 whatever it read, so after the first write a v2.3 file is a
        // v2.4 file: the writing cases run on the v2.4 fixtures.
        for (fixture* f : {v24, v24_big, flac}) {
            if (f)
                register_case("id3_write", f, OP_LIB_WRITE, true, opt);
        }
        for (fixture* f : {v24, v24_big, flac}) {
            if (f)
                register_case("id3_set_cover", f, OP_LIB_SET_COVER, true, opt);
        }
        for (fixture* f : {v23, v24, v24_big, flac, m4a}) {
            if (f)
                register_case("id3_extract_cover", f, OP_LIB_EXTRACT, false, opt);
        }
        if (!batch_source || size < batch_source->spec.total_size)
            batch_source = v24;
    }
    register_batch(dir, batch_source, opt.batch, opt);

    int failures = 0;
    for (const fixture& f : g_fixtures) {
        if (!f.lib_error.empty() || !f.taglib_error.empty()) {
            fprintf(stderr, "qid3_bench: %s: %s%s%s\n", f.name.c_str(), f.lib_error.c_str(),
                    f.lib_error.empty() || f.taglib_error.empty() ? "" : "; ",
                    f.taglib_error.c_str());
            failures++;
        }
    }

    // The fixtures were just written: let them reach the disk now, so that their write-back does
    // not compete with the flushes that the writing cases time.
    fprintf(stderr, "qid3_bench: flushing the fixtures to the disk\n");
    sync();

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::map<std::string, result> results = load_results(results_path);
    // The tables go to the console and, when asked, to a file as well.
    char* text = nullptr;
    size_t text_len = 0;
    FILE* table = open_memstream(&text, &text_len);
    if (!table) {
        fprintf(stderr, "qid3_bench: out of memory\n");
        return 2;
    }
    fprintf(table, "Medians of the repetitions (wall-clock time).\n\n");
    failures += print_table(results, table);
    if (opt.peak && !opt.smoke)
        failures += measure_peaks(table);
    fclose(table);
    printf("\n%s", text);
    if (!opt.table_path.empty()) {
        FILE* f = fopen(opt.table_path.c_str(), "w");
        if (!f || fwrite(text, 1, text_len, f) != text_len || fclose(f) != 0)
            fprintf(stderr, "qid3_bench: cannot write %s\n", opt.table_path.c_str());
        else
            fprintf(stderr, "qid3_bench: tables written to %s\n", opt.table_path.c_str());
    }
    free(text);

    if (opt.keep)
        fprintf(stderr, "qid3_bench: fixtures kept in %s\n", dir.c_str());
    else
        bench_remove_tree(dir);
    return failures == 0 ? 0 : 1;
}
