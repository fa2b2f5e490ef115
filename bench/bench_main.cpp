// Benchmarks of the library's exported calls against their floors and against TagLib.
//
//   qid3_bench [--qid3-sizes=100K,10M,100M] [--qid3-sparse=1G] [--qid3-huge=5G]
//              [--qid3-peak-size=200M] [--qid3-dir=DIR] [--qid3-table=FILE] [--qid3-keep]
//              [--qid3-batch=N] [--qid3-keys=N] [--qid3-no-peak] [--qid3-smoke]
//              [Google Benchmark flags]
//
// The fixture files are generated in a fresh folder (under --qid3-dir, TMPDIR or /tmp) and
// removed at the end. After the timed run the medians are read back from the JSON results and
// printed as tables of ratios (library / floor, library / TagLib) with the target each row is held
// to; then the bytes each read takes from its file (/proc/self/io), the huge sparse file (read
// time, and a write in a child process under an address-space limit), the write of a properties
// object of many keys (--qid3-keys, 1,000,000 by default) and the peak memory of writes in child
// processes (qid3_bench_child beside this program).
#include "bench_files.h"
#include "bench_ops.h"
#include "quorvale_id3tag.h"

#include <benchmark/benchmark.h>
#include <yyjson.h>

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <math.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

const uint64_t KB = 1024, MB = 1024 * 1024, GB = 1024 * 1024 * 1024;

struct options {
    std::vector<uint64_t> sizes;
    uint64_t sparse = GB;          // the sparse MP3 timed with the others; 0: none
    uint64_t huge = 5 * GB;        // the sparse MP3 read and written once; 0: none
    uint64_t peak_size = 200 * MB; // the extra files of the peak-memory table; 0: none
    std::string base_dir;
    std::string table_path;
    bool keep = false;
    bool smoke = false;
    bool peak = true;
    int batch = 100;
    uint64_t keys = 1000000; // the properties object of many keys; 0: none
};

// One fixture file and the copies the writing cases work on (one per contender, so that no
// contender starts from a file another one has rewritten).
struct fixture {
    bench_file_spec spec;
    bench_layout layout;
    bool sparse = false;
    std::string name; // "mp3v24_c20KB/100KB"
    std::string path; // read-only cases
    std::string lib_copy, floor_copy, taglib_copy;
    std::string new_cover; // picture file for the set_cover cases
    std::string out_picture;
    std::string lib_error;    // set when the library cannot read the fixture as expected
    std::string taglib_error; // the same for TagLib
};

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
    OP_LIB_BATCH_AS_WRITES, // the same files through one id3_write each
    OP_FLOOR_BATCH,
    OP_TAGLIB_BATCH,
};

// A case and the operation each contender runs for it.
struct case_def {
    const char* name;
    contender_op lib, floor, taglib;
    bool writes;
};

const case_def CASE_READ = {"id3_read", OP_LIB_READ, OP_FLOOR_READ, OP_TAGLIB_READ, false};
const case_def CASE_WRITE = {"id3_write", OP_LIB_WRITE, OP_FLOOR_WRITE, OP_TAGLIB_WRITE, true};
const case_def CASE_SET_COVER = {"id3_set_cover", OP_LIB_SET_COVER, OP_FLOOR_SET_COVER,
                                 OP_TAGLIB_SET_COVER, true};
const case_def CASE_EXTRACT = {"id3_extract_cover", OP_LIB_EXTRACT, OP_FLOOR_EXTRACT,
                               OP_TAGLIB_EXTRACT, false};

// One line of the main table: a case on one file, and the benchmark names of its contenders.
struct table_row {
    std::string case_name;
    const fixture* f;
    std::string lib, floor, taglib;
};

// The batch: the library's one call, the same files written one call each, the floors, TagLib.
struct batch_row {
    std::string file;
    std::string lib, lib_writes, floor, taglib;
};

std::deque<fixture> g_fixtures;
std::vector<table_row> g_rows;
batch_row g_batch;
std::string g_batch_json; // JSON array of the batch copies for id3_batch
std::vector<std::string> g_batch_writes, g_batch_floor, g_batch_taglib;

const char* const TITLES[2] = {"Bench title A", "Bench title B"};
const char* const TITLE_JSON[2] = {"{\"title\":\"Bench title A\"}",
                                   "{\"title\":\"Bench title B\"}"};

bool starts_with(const std::string& s, const char* prefix) {
    return s.compare(0, strlen(prefix), prefix) == 0;
}

// The text after `prefix` when `arg` starts with it.
bool option_value(const std::string& arg, const char* prefix, std::string* value) {
    if (!starts_with(arg, prefix))
        return false;
    *value = arg.substr(strlen(prefix));
    return true;
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

const char* extension(bench_kind kind) {
    switch (kind) {
    case KIND_FLAC:
        return ".flac";
    case KIND_M4A_HEAD:
    case KIND_M4A_TAIL:
        return ".m4a";
    default:
        return ".mp3";
    }
}

// ---------------------------------------------------------------------------------------------
// Fixtures

// Writes the fixture at `path`, the same bytes for every copy: sparse ones through ftruncate, so
// that no copy takes disk space for its hole.
bool write_fixture(const std::string& path, const fixture& f, bench_layout* layout) {
    if (f.sparse)
        return bench_write_sparse(path, f.spec, layout);
    return bench_write_file(path, bench_file_bytes(f.spec, layout));
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

// A fixture with its copies for the writing cases (when `writable`); exits when the files cannot
// be written.
fixture* add_fixture(const std::string& dir, bench_kind kind, uint64_t size, uint64_t cover,
                     bool writable, bool sparse, const char* prefix = "") {
    fixture f;
    f.spec = {kind, size, cover};
    f.sparse = sparse;
    std::string cover_name = bench_size_name(cover);
    std::string kind_name = std::string(prefix) + bench_kind_name(kind);
    f.name = kind_name + "_c" + cover_name + "/" + bench_size_name(size);
    std::string stem = kind_name + "_c" + cover_name + "_" + bench_size_name(size);
    std::string ext = extension(kind);
    f.path = dir + "/" + stem + ext;
    bool ok = write_fixture(f.path, f, &f.layout);
    if (ok && writable) {
        f.lib_copy = dir + "/lib_" + stem + ext;
        f.floor_copy = dir + "/floor_" + stem + ext;
        f.taglib_copy = dir + "/taglib_" + stem + ext;
        bench_layout unused;
        for (const std::string* copy : {&f.lib_copy, &f.floor_copy, &f.taglib_copy})
            ok = ok && (sparse ? write_fixture(*copy, f, &unused) : bench_copy_file(f.path, *copy));
    }
    if (!ok) {
        fprintf(stderr, "qid3_bench: cannot write fixture %s in %s\n", stem.c_str(), dir.c_str());
        exit(2);
    }
    f.new_cover = dir + "/new_cover_" + cover_name + ".jpg";
    f.out_picture = dir + "/out_" + stem + ".jpg";
    check_fixture(&f);
    g_fixtures.push_back(f);
    return &g_fixtures.back();
}

// ---------------------------------------------------------------------------------------------
// Registration

// Repetitions and iterations. Reads take the tag only, so they are short whatever the file size:
// many short runs. Writes copy the audio: a few single iterations for the large files.
void shape(benchmark::internal::Benchmark* b, uint64_t size, bool writes, const options& opt) {
    b->UseRealTime();
    if (opt.smoke) {
        b->Iterations(1)->Repetitions(1)->Unit(benchmark::kMicrosecond);
        return;
    }
    if (!writes) {
        b->Repetitions(10)->MinTime(0.05)->Unit(benchmark::kMicrosecond);
    } else if (size <= 2 * MB) {
        b->Repetitions(10)->Iterations(5)->Unit(benchmark::kMicrosecond);
    } else if (size <= 32 * MB) {
        b->Repetitions(7)->Iterations(2)->Unit(benchmark::kMillisecond);
    } else {
        b->Repetitions(3)->Iterations(1)->Unit(benchmark::kMillisecond);
    }
}

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
        return floor_read(f->path.c_str(), f->layout) >= 0 ? "" : "floor read failed";
    case OP_TAGLIB_READ:
        if (!taglib_read(f->path.c_str(), f->spec.kind, &t))
            return "TagLib read failed";
        benchmark::DoNotOptimize(t.cover_size);
        return "";
    case OP_LIB_WRITE:
        return id3_write(f->lib_copy.c_str(), title_json) == 0 ? "" : id3_last_error();
    case OP_FLOOR_WRITE:
        return floor_rewrite(f->floor_copy.c_str(), f->layout, nullptr) == 0 ? "" : "floor failed";
    case OP_TAGLIB_WRITE:
        return taglib_write_title(f->taglib_copy.c_str(), f->spec.kind, title) ? ""
                                                                               : "TagLib failed";
    case OP_LIB_SET_COVER:
        return id3_set_cover(f->lib_copy.c_str(), f->new_cover.c_str()) == 0 ? ""
                                                                             : id3_last_error();
    case OP_FLOOR_SET_COVER:
        return floor_rewrite(f->floor_copy.c_str(), f->layout, f->new_cover.c_str()) == 0
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
        return floor_extract(f->path.c_str(), f->layout, f->spec.cover_size,
                             f->out_picture.c_str()) == 0
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
    case OP_LIB_BATCH_AS_WRITES:
        for (const std::string& p : g_batch_writes) {
            if (id3_write(p.c_str(), title_json) != 0)
                return id3_last_error();
        }
        return "";
    case OP_FLOOR_BATCH:
        for (const std::string& p : g_batch_floor) {
            if (floor_rewrite(p.c_str(), f->layout, nullptr) != 0)
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
    case OP_LIB_BATCH_AS_WRITES:
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
void register_case(const case_def& c, const fixture* f, const options& opt) {
    std::string prefix = std::string(c.name) + "/";
    table_row row{c.name, f, prefix + "lib/" + f->name, prefix + "floor/" + f->name,
                  prefix + "taglib/" + f->name};
    const std::pair<const std::string*, contender_op> contenders[] = {
        {&row.lib, c.lib}, {&row.floor, c.floor}, {&row.taglib, c.taglib}};
    for (const auto& one : contenders)
        shape(register_op(*one.first, one.second, f), f->spec.total_size, c.writes, opt);
    g_rows.push_back(row);
}

// id3_batch over `count` copies of one small fixture, against as many id3_write calls, floor
// rewrites and TagLib saves.
void register_batch(const std::string& dir, const fixture* f, int count, const options& opt) {
    std::string ext = extension(f->spec.kind);
    g_batch_json = "[";
    for (int i = 0; i < count; i++) {
        char n[16];
        snprintf(n, sizeof n, "%03d", i);
        std::string lib = dir + "/batch_lib_" + n + ext;
        std::string writes = dir + "/batch_writes_" + n + ext;
        std::string floor = dir + "/batch_floor_" + n + ext;
        std::string taglib = dir + "/batch_taglib_" + n + ext;
        for (const std::string* copy : {&lib, &writes, &floor, &taglib}) {
            if (!bench_copy_file(f->path, *copy)) {
                fprintf(stderr, "qid3_bench: cannot copy batch files\n");
                exit(2);
            }
        }
        g_batch_json += (i ? ",\"" : "\"") + json_escape(lib) + "\"";
        g_batch_writes.push_back(writes);
        g_batch_floor.push_back(floor);
        g_batch_taglib.push_back(taglib);
    }
    g_batch_json += "]";

    std::string file = std::to_string(count) + "x" + f->name;
    g_batch = {file, "id3_batch/lib/" + file, "id3_batch/lib_writes/" + file,
               "id3_batch/floor/" + file, "id3_batch/taglib/" + file};
    const std::pair<const std::string*, contender_op> contenders[] = {
        {&g_batch.lib, OP_LIB_BATCH},
        {&g_batch.lib_writes, OP_LIB_BATCH_AS_WRITES},
        {&g_batch.floor, OP_FLOOR_BATCH},
        {&g_batch.taglib, OP_TAGLIB_BATCH}};
    for (const auto& c : contenders) {
        benchmark::internal::Benchmark* b = register_op(*c.first, c.second, f);
        b->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);
        b->Repetitions(opt.smoke ? 1 : 5);
    }
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

std::string fmt_bytes(uint64_t n) {
    char text[32];
    if (n < 10 * KB)
        snprintf(text, sizeof text, "%llu B", (unsigned long long)n);
    else if (n < 10 * MB)
        snprintf(text, sizeof text, "%.1f KiB", n / 1024.0);
    else
        snprintf(text, sizeof text, "%.1f MiB", n / 1048576.0);
    return text;
}

std::string met(bool ok) {
    return ok ? "met" : "MISSED";
}

// The target a row of the main table is held to, and whether it is met.
std::string verdict(const table_row& row, double lib, double floor, double taglib) {
    if (lib < 0)
        return "";
    if ((row.case_name == CASE_READ.name || row.case_name == CASE_EXTRACT.name) && taglib > 0)
        return "<=1.00x TagLib: " + met(lib <= taglib);
    if (row.case_name == CASE_WRITE.name && floor > 0)
        return "<=1.05x floor: " + met(lib <= 1.05 * floor);
    return "";
}

int print_table(const std::map<std::string, result>& results, FILE* out) {
    int failures = 0;
    fprintf(out, "| case | file | library | floor | TagLib | lib/floor | lib/TagLib | target |\n");
    fprintf(out, "|---|---|---:|---:|---:|---:|---:|---|\n");
    for (const table_row& row : g_rows) {
        if (results.count(row.lib) == 0)
            continue; // filtered out
        std::string error;
        double lib = median_ns(results, row.lib, &error);
        double floor = median_ns(results, row.floor, &error);
        double taglib = median_ns(results, row.taglib, &error);
        fprintf(out, "| %s | %s | %s | %s | %s | %s | %s | %s |\n", row.case_name.c_str(),
                row.f->name.c_str(), fmt_time(lib).c_str(), fmt_time(floor).c_str(),
                fmt_time(taglib).c_str(), fmt_ratio(lib, floor).c_str(),
                fmt_ratio(lib, taglib).c_str(), verdict(row, lib, floor, taglib).c_str());
        if (!error.empty()) {
            fprintf(out, "|  | error: %s |  |  |  |  |  |  |\n", error.c_str());
            failures++;
        }
    }
    if (results.count(g_batch.lib) == 0)
        return failures;
    std::string error;
    double batch = median_ns(results, g_batch.lib, &error);
    double writes = median_ns(results, g_batch.lib_writes, &error);
    double floor = median_ns(results, g_batch.floor, &error);
    double taglib = median_ns(results, g_batch.taglib, &error);
    fprintf(out, "\nid3_batch against the same files written with one id3_write call each:\n\n");
    fprintf(out, "| files | id3_batch | id3_write calls | floors | TagLib saves | batch/writes | "
                 "batch/floors | target |\n");
    fprintf(out, "|---|---:|---:|---:|---:|---:|---:|---|\n");
    fprintf(out, "| %s | %s | %s | %s | %s | %s | %s | %s |\n", g_batch.file.c_str(),
            fmt_time(batch).c_str(), fmt_time(writes).c_str(), fmt_time(floor).c_str(),
            fmt_time(taglib).c_str(), fmt_ratio(batch, writes).c_str(),
            fmt_ratio(batch, floor).c_str(),
            batch >= 0 && writes > 0 ? ("<=0.50x the writes: " + met(batch <= 0.5 * writes)).c_str()
                                     : "");
    if (!error.empty()) {
        fprintf(out, "|  | error: %s |  |  |  |  |  |  |\n", error.c_str());
        failures++;
    }
    return failures;
}

// ---------------------------------------------------------------------------------------------
// Bytes read from the file, from /proc/self/io

struct io_count {
    uint64_t rchar = 0, syscr = 0;
    uint64_t text_len = 0; // bytes this reading of /proc/self/io took itself
    bool ok = false;
};

// The number after `key` in the text of /proc/self/io.
bool io_field(const char* text, const char* key, uint64_t* value) {
    const char* at = strstr(text, key);
    if (!at)
        return false;
    *value = strtoull(at + strlen(key), nullptr, 10);
    return true;
}

io_count read_io() {
    io_count c;
    int fd = open("/proc/self/io", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return c;
    char text[512];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return c;
    text[n] = 0;
    if (!io_field(text, "rchar:", &c.rchar) || !io_field(text, "syscr:", &c.syscr))
        return c;
    c.text_len = (uint64_t)n;
    c.ok = true;
    return c;
}

// What one run of `op` read: rchar counts the bytes every read, pread and copy_file_range of
// the process returned (page cache or not), syscr those calls. The first reading of
// /proc/self/io is counted in the second; it is taken off.
struct io_use {
    uint64_t bytes = 0, calls = 0;
    bool ok = false;
};

io_use measure_io(contender_op op, const fixture* f) {
    io_use u;
    if (!precheck(op, f).empty() || !run_op(op, f, 0).empty()) // warm-up: lazy binding, cache
        return u;
    io_count before = read_io();
    std::string error = run_op(op, f, 0);
    io_count after = read_io();
    if (!error.empty() || !before.ok || !after.ok)
        return u;
    u.bytes = after.rchar - before.rchar - before.text_len;
    u.calls = after.syscr - before.syscr - 1;
    u.ok = true;
    return u;
}

std::string fmt_io(const io_use& u) {
    if (!u.ok)
        return "-";
    return fmt_bytes(u.bytes) + " (" + std::to_string(u.calls) + ")";
}

int measure_bytes_read(FILE* out) {
    int failures = 0;
    fprintf(out, "\nBytes read from the file by one call (rchar of /proc/self/io around the call; "
                 "in brackets the read calls, syscr). The target allows the tag region plus 64 "
                 "KiB.\n\n");
    fprintf(out, "| file | tag region | id3_read | limit | target | id3_extract_cover | TagLib "
                 "read |\n");
    fprintf(out, "|---|---:|---:|---:|---|---:|---:|\n");
    for (const fixture& f : g_fixtures) {
        io_use lib = measure_io(OP_LIB_READ, &f);
        io_use extract = measure_io(OP_LIB_EXTRACT, &f);
        io_use taglib = measure_io(OP_TAGLIB_READ, &f);
        uint64_t limit = f.layout.tag_length + 64 * KB;
        fprintf(out, "| %s | %s | %s | %s | %s | %s | %s |\n", f.name.c_str(),
                fmt_bytes(f.layout.tag_length).c_str(), fmt_io(lib).c_str(),
                fmt_bytes(limit).c_str(), lib.ok ? met(lib.bytes <= limit).c_str() : "FAILED",
                fmt_io(extract).c_str(), fmt_io(taglib).c_str());
        if (!lib.ok)
            failures++;
    }
    return failures;
}

// ---------------------------------------------------------------------------------------------
// Child processes: peak memory, and the write under an address-space limit

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

// The child's arguments for one write of the fixture copy `path`.
std::vector<std::string> child_args(const char* verb, const std::string& path, const fixture& f) {
    return {verb, path, bench_kind_name(f.spec.kind), f.new_cover,
            std::to_string(f.layout.tag_length)};
}

double now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

// The median time of `runs` runs of `op`.
double median_of_runs(contender_op op, const fixture* f, int runs, std::string* error) {
    std::vector<double> t;
    for (int i = 0; i < runs; i++) {
        double start = now_ns();
        std::string e = run_op(op, f, (unsigned)i);
        t.push_back(now_ns() - start);
        if (!e.empty()) {
            *error = e;
            return -1;
        }
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// The bytes after the ID3v2 tag (header, body and footer) of an MP3 file; 0 when it has none.
uint64_t id3_audio_length(const std::string& path) {
    uint8_t h[10];
    FILE* f = fopen(path.c_str(), "rb");
    bool ok = f && fread(h, 1, sizeof h, f) == sizeof h && memcmp(h, "ID3", 3) == 0;
    if (f)
        fclose(f);
    struct stat st;
    if (!ok || stat(path.c_str(), &st) != 0)
        return 0;
    uint64_t tag = 10 + ((uint64_t)(h[6] & 0x7F) << 21 | (uint64_t)(h[7] & 0x7F) << 14 |
                         (uint64_t)(h[8] & 0x7F) << 7 | (uint64_t)(h[9] & 0x7F));
    if (h[5] & 0x10)
        tag += 10;
    return (uint64_t)st.st_size > tag ? (uint64_t)st.st_size - tag : 0;
}

// The huge sparse MP3: read and extraction timed here (median of 11 calls after a warm-up), the
// write run once in a child process whose address space is limited to 1 GiB.
int measure_huge(const std::string& dir, uint64_t size, FILE* out) {
    struct statvfs vfs;
    uint64_t free_bytes =
        statvfs(dir.c_str(), &vfs) == 0 ? (uint64_t)vfs.f_bavail * vfs.f_frsize : 0;
    fprintf(out, "\nThe %s sparse MP3 (mp3v24, 20 KB cover; all but its first blocks a hole).\n\n",
            bench_size_name(size).c_str());
    // The write copies the hole into the new file, which then takes the whole size on the disk.
    if (free_bytes < size + 4 * GB) {
        fprintf(out, "Not run: %s free in %s, %s needed.\n", fmt_bytes(free_bytes).c_str(),
                dir.c_str(), fmt_bytes(size + 4 * GB).c_str());
        return 1;
    }
    fixture* f = add_fixture(dir, KIND_MP3_V24, size, 20 * KB, false, true, "huge_");
    f->lib_copy = dir + "/lib_huge.mp3";
    bench_layout unused;
    if (!write_fixture(f->lib_copy, *f, &unused) || !f->lib_error.empty()) {
        fprintf(out, "Not run: %s\n",
                f->lib_error.empty() ? "cannot write the copy" : f->lib_error.c_str());
        return 1;
    }
    int failures = 0;
    fprintf(out, "| measure | value | target |\n|---|---:|---|\n");
    for (const case_def* c : {&CASE_READ, &CASE_EXTRACT}) {
        std::string error;
        run_op(c->lib, f, 0);
        double lib = median_of_runs(c->lib, f, 11, &error);
        run_op(c->taglib, f, 0);
        double taglib = median_of_runs(c->taglib, f, 11, &error);
        io_use io = measure_io(c->lib, f);
        bool timed = c == &CASE_READ;
        fprintf(out, "| %s, median of 11 (TagLib: %s) | %s | %s |\n", c->name,
                fmt_time(taglib).c_str(), fmt_time(lib).c_str(),
                timed && lib >= 0 ? ("under 10 ms: " + met(lib < 10e6)).c_str() : "");
        fprintf(
            out, "| %s, bytes read (read calls) | %s | %s |\n", c->name, fmt_io(io).c_str(),
            timed && io.ok
                ? ("<= tag + 64 KiB: " + met(io.bytes <= f->layout.tag_length + 64 * KB)).c_str()
                : "");
        if (!error.empty() || lib < 0) {
            fprintf(out, "| error | %s | |\n", error.c_str());
            failures++;
        }
    }
    std::vector<std::string> args = child_args("lib_write", f->lib_copy, *f);
    args.insert(args.begin(), "--as-limit=" + std::to_string(GB));
    child_result r = run_child(args);
    // The new tag may be longer or shorter than the old one; the audio after it must be the
    // same length.
    uint64_t audio_before = size - f->layout.tag_length;
    uint64_t audio_after = id3_audio_length(f->lib_copy);
    fprintf(out,
            "| id3_write in a child with RLIMIT_AS = 1 GiB | %s, %.3f s, peak RSS %.1f MB, audio "
            "%s | succeeds: %s |\n",
            r.ok ? "succeeded" : "FAILED", report_value(r.report, "ns") / 1e9,
            report_value(r.report, "hwm_kb") / 1024.0,
            audio_after == audio_before ? "kept" : "CHANGED", met(r.ok).c_str());
    if (!r.ok || audio_after != audio_before)
        failures++;
    if (r.ok) {
        char* json = id3_read(f->lib_copy.c_str());
        bool ok =
            json && strstr(json, "\"title\":\"Peak memory\"") && strstr(json, "\"has_cover\":true");
        fprintf(out, "| the written file read back | %s | |\n",
                ok ? "new title, cover kept" : "UNEXPECTED");
        id3_free_string(json);
        failures += ok ? 0 : 1;
    }
    unlink(f->lib_copy.c_str());
    unlink(f->path.c_str());
    return failures;
}

// A properties object of `keys` distinct keys, one value each ("K0":["v"],"K1":["v"],...), and
// with `repeat_first` the first key once more at the end.
std::string many_keys_json(uint64_t keys, bool repeat_first) {
    std::string json = "{\"properties\":{";
    json.reserve(16 + keys * 16);
    for (uint64_t i = 0; i < keys; i++)
        json += (i ? ",\"K" : "\"K") + std::to_string(i) + "\":[\"v\"]";
    if (repeat_first)
        json += ",\"K0\":[\"v\"]";
    return json + "}}";
}

// One measured call: the median time of its runs and what the last run left.
struct keys_run {
    double ns = -1;
    uint64_t json_len = 0;
    std::string outcome; // "written, first and last key read back" or the refusal's message
    bool as_expected = false;
};

// Times id3_write of the object into a fresh copy of the fixture (copied before each run, outside
// the timing). A write must succeed and read back with its first and last key; a repeat must be
// refused with the file left as it was.
keys_run time_many_keys(const fixture& f, const std::string& copy, uint64_t keys, bool repeat_first,
                        int runs) {
    keys_run r;
    std::string json = many_keys_json(keys, repeat_first);
    r.json_len = json.size();
    std::vector<double> times;
    int rc = -1;
    for (int i = 0; i < runs; i++) {
        if (!bench_copy_file(f.path, copy)) {
            r.outcome = "cannot copy the fixture";
            return r;
        }
        double start = now_ns();
        rc = id3_write(copy.c_str(), json.c_str());
        times.push_back(now_ns() - start);
    }
    std::sort(times.begin(), times.end());
    r.ns = times[times.size() / 2];
    if (repeat_first) {
        struct stat before, after;
        bool same_size = stat(f.path.c_str(), &before) == 0 && stat(copy.c_str(), &after) == 0 &&
                         before.st_size == after.st_size;
        r.outcome = rc == 0 ? std::string("WRITTEN") : "refused: " + std::string(id3_last_error());
        r.as_expected =
            rc != 0 && strcmp(id3_last_error(), "property named twice: K0") == 0 && same_size;
        if (rc != 0 && !same_size)
            r.outcome += ", file size CHANGED";
        return r;
    }
    if (rc != 0) {
        r.outcome = std::string("FAILED: ") + id3_last_error();
        return r;
    }
    char* all = id3_read_all(copy.c_str());
    std::string last = "\"K" + std::to_string(keys - 1) + "\":[\"v\"]";
    r.as_expected = all && strstr(all, "\"K0\":[\"v\"]") && strstr(all, last.c_str());
    r.outcome = r.as_expected ? "written, first and last key read back" : "keys MISSING";
    id3_free_string(all);
    return r;
}

// id3_write of a properties object of `keys` distinct keys and of one with a repeated key, and
// the same at a tenth and a hundredth of the keys: checking the keys grows about linearly with
// their count.
int measure_many_keys(const std::string& dir, uint64_t keys, bool smoke, FILE* out) {
    fixture* f = add_fixture(dir, KIND_MP3_V24, 100 * KB, 20 * KB, false, false, "keys_");
    std::string copy = dir + "/lib_keys.mp3";
    int runs = smoke ? 1 : 3;
    fprintf(out,
            "\nA properties object of many keys (\"K0\":[\"v\"],\"K1\":[\"v\"],...) written "
            "into a fresh copy of %s, and the same object with K0 repeated at its end, which is "
            "refused; %s.\n\n",
            f->name.c_str(),
            runs == 1 ? "one run each"
                      : ("median of " + std::to_string(runs) + " runs each").c_str());
    fprintf(out, "| object | keys | JSON text | id3_write | result |\n|---|---:|---:|---:|---|\n");
    int failures = 0;
    const uint64_t counts[] = {keys / 100, keys / 10, keys};
    double ns[2][3]; // [repeat][count]
    for (int repeat = 0; repeat < 2; repeat++) {
        for (int i = 0; i < 3; i++) {
            keys_run r = time_many_keys(*f, copy, counts[i], repeat != 0, runs);
            ns[repeat][i] = r.ns;
            fprintf(out, "| %s | %llu | %s | %s | %s |\n", repeat ? "K0 repeated" : "distinct keys",
                    (unsigned long long)counts[i], fmt_bytes(r.json_len).c_str(),
                    fmt_time(r.ns).c_str(), r.outcome.c_str());
            failures += r.as_expected ? 0 : 1;
        }
    }
    // Time grows as keys^e: e = 1 is linear, e = 2 a check of every key against every other.
    // Sorting the keys adds a logarithm, and a million keys no longer fit the caches: the target
    // is half way, e <= 1.5, over the hundredfold span.
    for (int repeat = 0; repeat < 2; repeat++) {
        double ratio = ns[repeat][0] > 0 && ns[repeat][2] > 0 ? ns[repeat][2] / ns[repeat][0] : -1;
        double exponent = ratio > 0 ? log10(ratio) / 2 : 0;
        bool met_target = ratio > 0 && exponent <= 1.5;
        char growth[32];
        snprintf(growth, sizeof growth, "keys^%.2f", exponent);
        fprintf(out, "| %s: time for %llu keys / %llu keys | | | %.1fx | %s |\n",
                repeat ? "K0 repeated" : "distinct keys", (unsigned long long)keys,
                (unsigned long long)counts[0], ratio,
                smoke || ratio <= 0 ? ""
                                    : (std::string(growth) +
                                       "; at most keys^1.5 (quadratic: keys^2): " + met(met_target))
                                          .c_str());
        if (!smoke && !met_target)
            failures++;
    }
    unlink(copy.c_str());
    return failures;
}

// The peak-memory limit of a write: twice the tag region (which holds the cover) plus, for a new
// cover, twice the new picture, plus 16 MB.
double peak_limit_mb(const fixture& f, bool new_cover) {
    uint64_t tag = f.layout.tag_length + (new_cover ? f.spec.cover_size : 0);
    return (2.0 * (double)tag + 16.0 * MB) / MB;
}

int measure_peaks(FILE* out, const std::vector<const fixture*>& files) {
    int failures = 0;
    child_result idle = run_child({"idle"});
    fprintf(out,
            "\nPeak memory of one call in a fresh child process: its resident high-water mark "
            "(VmHWM), and its heap as counted by the child's own malloc. An idle child with the "
            "same libraries loaded peaks at %.1f MB. The limit is 2 x the tag region (cover "
            "included; for id3_set_cover also 2 x the new cover) + 16 MB.\n\n",
            report_value(idle.report, "hwm_kb") / 1024.0);
    fprintf(out, "| operation | file | tag region | peak RSS | limit | heap peak | malloc calls | "
                 "time | result |\n");
    fprintf(out, "|---|---|---:|---:|---:|---:|---:|---:|---|\n");
    for (const fixture* f : files) {
        struct op {
            const char* name;
            const char* verb;
            std::string path;
            bool has_limit, new_cover;
        };
        const op ops[] = {{"id3_write", "lib_write", f->lib_copy, true, false},
                          {"id3_set_cover", "lib_set_cover", f->lib_copy, true, true},
                          {"floor rewrite", "floor_write", f->floor_copy, false, false},
                          {"TagLib save", "taglib_write", f->taglib_copy, false, false}};
        for (const op& o : ops) {
            child_result r = run_child(child_args(o.verb, o.path, *f));
            double rss_mb = report_value(r.report, "hwm_kb") / 1024.0;
            double limit_mb = peak_limit_mb(*f, o.new_cover);
            std::string limit = "-", result = r.ok ? "done" : "FAILED";
            if (o.has_limit) {
                char text[32];
                snprintf(text, sizeof text, "%.1f MB", limit_mb);
                limit = text;
                if (r.ok)
                    result = rss_mb <= limit_mb ? "within" : "OVER";
            }
            fprintf(out, "| %s | %s | %s | %.1f MB | %s | %.1f MB | %llu | %s | %s |\n", o.name,
                    f->name.c_str(), fmt_bytes(f->layout.tag_length).c_str(), rss_mb, limit.c_str(),
                    report_value(r.report, "peak_live") / 1048576.0,
                    (unsigned long long)report_value(r.report, "allocs"),
                    fmt_time((double)report_value(r.report, "ns")).c_str(), result.c_str());
            if (!r.ok)
                failures++;
        }
    }
    return failures;
}

// ---------------------------------------------------------------------------------------------

bool parse_size_list(const std::string& text, std::vector<uint64_t>* out) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string part =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        uint64_t v = bench_parse_size(part);
        if (v < 64 * KB) {
            fprintf(stderr, "qid3_bench: bad size '%s' (at least 64K)\n", part.c_str());
            return false;
        }
        out->push_back(v);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return true;
}

// A size option: "0" turns the part off; else at least 16M (the sparse files hold 100 KB of tag
// and audio before their hole).
bool parse_big_size(const std::string& text, uint64_t* out) {
    *out = text == "0" ? 0 : bench_parse_size(text);
    if (text != "0" && *out < 16 * MB) {
        fprintf(stderr, "qid3_bench: bad size '%s' (0, or at least 16M)\n", text.c_str());
        return false;
    }
    return true;
}

bool parse_options(int* argc, char** argv, options* opt) {
    int kept = 1;
    std::string sizes, sparse, huge, peak_size, keys, value;
    for (int i = 1; i < *argc; i++) {
        std::string a = argv[i];
        if (option_value(a, "--qid3-sizes=", &value))
            sizes = value;
        else if (option_value(a, "--qid3-sparse=", &value))
            sparse = value;
        else if (option_value(a, "--qid3-huge=", &value))
            huge = value;
        else if (option_value(a, "--qid3-peak-size=", &value))
            peak_size = value;
        else if (option_value(a, "--qid3-dir=", &value))
            opt->base_dir = value;
        else if (option_value(a, "--qid3-table=", &value))
            opt->table_path = value;
        else if (option_value(a, "--qid3-batch=", &value))
            opt->batch = atoi(value.c_str());
        else if (option_value(a, "--qid3-keys=", &value))
            keys = value;
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
    // The smoke run: 100 KB files and a small sparse one, nothing measured in child processes.
    if (opt->smoke) {
        opt->sparse = 16 * MB;
        opt->huge = 0;
        opt->peak_size = 0;
        opt->peak = false;
        opt->keys = 1000;
    }
    if (!keys.empty()) {
        char* end = nullptr;
        opt->keys = strtoull(keys.c_str(), &end, 10);
        if (keys[0] < '0' || keys[0] > '9' || *end || (opt->keys != 0 && opt->keys < 100)) {
            fprintf(stderr, "qid3_bench: bad key count '%s' (0, or at least 100)\n", keys.c_str());
            return false;
        }
    }
    if (!parse_size_list(sizes.empty() ? (opt->smoke ? "100K" : "100K,10M,100M") : sizes,
                         &opt->sizes))
        return false;
    if ((!sparse.empty() && !parse_big_size(sparse, &opt->sparse)) ||
        (!huge.empty() && !parse_big_size(huge, &opt->huge)) ||
        (!peak_size.empty() && !parse_big_size(peak_size, &opt->peak_size)))
        return false;
    if (opt->batch < 1)
        opt->batch = 1;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    // glibc moves its mmap threshold up after large blocks are freed, and from then on serves
    // them from the heap, where whether a buffer reuses resident pages or faults in new ones
    // depends on what else was allocated around it. Fixing the threshold at its default makes
    // every contender map (and fault in) its large buffers afresh, as a process doing one call
    // does.
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
    std::string value;
    for (int i = 1; i < (int)args.size(); i++) {
        if (option_value(args[i], "--benchmark_out=", &value))
            results_path = value;
    }
    int bench_argc = (int)args.size();
    args.push_back(nullptr);
    benchmark::Initialize(&bench_argc, args.data());
    if (benchmark::ReportUnrecognizedArguments(bench_argc, args.data()))
        return 2;

    fprintf(stderr, "qid3_bench: generating fixtures in %s\n", dir.c_str());
    const uint64_t KB20 = 20 * KB;
    std::vector<uint8_t> cover_small = bench_picture(KB20, 7), cover_big = bench_picture(MB, 8);
    if (!bench_write_file(dir + "/new_cover_" + bench_size_name(KB20) + ".jpg", cover_small) ||
        !bench_write_file(dir + "/new_cover_" + bench_size_name(MB) + ".jpg", cover_big)) {
        fprintf(stderr, "qid3_bench: cannot write pictures\n");
        return 2;
    }

    fixture* batch_source = nullptr;
    std::vector<const fixture*> peak_files;
    for (uint64_t size : opt.sizes) {
        // A 1 MB cover only in files that are larger than it.
        bool big = size > 4 * MB;
        fixture* v23 = add_fixture(dir, KIND_MP3_V23, size, KB20, false, false);
        fixture* v24 = add_fixture(dir, KIND_MP3_V24, size, KB20, true, false);
        fixture* v23_big = big ? add_fixture(dir, KIND_MP3_V23, size, MB, false, false) : nullptr;
        fixture* v24_big = big ? add_fixture(dir, KIND_MP3_V24, size, MB, true, false) : nullptr;
        fixture* flac = add_fixture(dir, KIND_FLAC, size, KB20, true, false);
        fixture* m4a_head = add_fixture(dir, KIND_M4A_HEAD, size, KB20, true, false);
        fixture* m4a_tail = add_fixture(dir, KIND_M4A_TAIL, size, KB20, true, false);
        for (fixture* f : {v23, v24, v23_big, v24_big, flac, m4a_head, m4a_tail}) {
            if (f)
                register_case(CASE_READ, f, opt);
        }
        // The library writes ID3v2.4 whatever it read, so after the first write a v2.3 file is a
        // v2.4 file: the writing cases run on the v2.4 fixtures.
        for (const case_def* c : {&CASE_WRITE, &CASE_SET_COVER}) {
            for (fixture* f : {v24, v24_big, flac, m4a_head, m4a_tail}) {
                if (f)
                    register_case(*c, f, opt);
            }
        }
        for (fixture* f : {v23, v24, v23_big, v24_big, flac, m4a_head, m4a_tail}) {
            if (f)
                register_case(CASE_EXTRACT, f, opt);
        }
        if (!batch_source || size < batch_source->spec.total_size)
            batch_source = v24;
        for (fixture* f : {v24, v24_big, flac}) {
            if (f && size >= 10 * MB)
                peak_files.push_back(f);
        }
    }
    if (opt.sparse) {
        fixture* f = add_fixture(dir, KIND_MP3_V24, opt.sparse, KB20, true, true, "sparse_");
        for (const case_def* c : {&CASE_READ, &CASE_EXTRACT, &CASE_WRITE})
            register_case(*c, f, opt);
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
    failures += measure_bytes_read(table);
    if (opt.huge) {
        fprintf(stderr, "qid3_bench: the %s sparse file\n", bench_size_name(opt.huge).c_str());
        failures += measure_huge(dir, opt.huge, table);
    }
    if (opt.keys) {
        fprintf(stderr, "qid3_bench: %llu property keys\n", (unsigned long long)opt.keys);
        failures += measure_many_keys(dir, opt.keys, opt.smoke, table);
    }
    if (opt.peak) {
        fprintf(stderr, "qid3_bench: peak memory\n");
        if (opt.peak_size) {
            for (const auto& kc :
                 {std::make_pair(KIND_MP3_V24, KB20), std::make_pair(KIND_MP3_V24, MB),
                  std::make_pair(KIND_FLAC, KB20)})
                peak_files.push_back(
                    add_fixture(dir, kc.first, opt.peak_size, kc.second, true, false, "peak_"));
        }
        failures += measure_peaks(table, peak_files);
    }
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
