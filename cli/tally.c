/* The account of a long job over many files ("write", "strip", "copy", "import", "rename"): on a
 * terminal a progress line with the files done and the rate, and at the end a summary of the
 * files written, unchanged and failed, each failure named with its reason. */
#include "cli.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

static int stderr_is_terminal(void) {
#ifdef _WIN32
    return _isatty(_fileno(stderr));
#else
    return isatty(fileno(stderr));
#endif
}

void tally_begin(struct job_tally* tally, size_t total) {
    memset(tally, 0, sizeof *tally);
    tally->total = total;
    tally->terminal = stderr_is_terminal();
    tally->started = time(NULL);
}

void tally_clear(struct job_tally* tally) {
    if (tally->shown) {
        fprintf(stderr, "\r%*s\r", 70, "");
        tally->shown = 0;
    }
}

void tally_show(struct job_tally* tally, size_t done) {
    if (!tally->terminal || tally->total < 2)
        return;
    double seconds = difftime(time(NULL), tally->started);
    fprintf(stderr, "\r%s: %lu of %lu files done", PROGRAM, (unsigned long)done,
            (unsigned long)tally->total);
    if (seconds >= 1)
        fprintf(stderr, ", %.1f files/s", (double)done / seconds);
    fflush(stderr);
    tally->shown = 1;
}

void tally_failed(struct job_tally* tally, const char* path, const char* reason) {
    tally_clear(tally);
    fprintf(stderr, "%s: %s: %s\n", PROGRAM, path, reason);
    tally->failed++;
    buf_append_str(&tally->failures, path);
    buf_append_str(&tally->failures, ": ");
    buf_append_str(&tally->failures, reason);
    buf_append(&tally->failures, "", 1);
}

void tally_unchanged(struct job_tally* tally, const char* path) {
    (void)path;
    tally->unchanged++;
}

int tally_end(struct job_tally* tally) {
    tally_clear(tally);
    /* A job over several files ends with the summary: on a terminal always, in a script only
     * when a file failed (one file's failure is its message and the exit status). */
    if (tally->total > 1 && (tally->terminal || tally->failed)) {
        fprintf(stderr, "%s: %lu written, %lu unchanged, %lu failed\n", PROGRAM,
                (unsigned long)tally->written, (unsigned long)tally->unchanged,
                (unsigned long)tally->failed);
        for (size_t at = 0; !tally->failures.failed && at < tally->failures.len;
             at += strlen(tally->failures.data + at) + 1)
            fprintf(stderr, "%s:   failed: %s\n", PROGRAM, tally->failures.data + at);
    }
    int failed = tally->failed != 0;
    free(tally->failures.data);
    tally->failures.data = NULL;
    return failed ? EXIT_FAILED : EXIT_OK;
}
