/* A client of the installed library: prints the header's version, then reads a file's tags and
 * prints them. */
#include <quorvale_id3tag.h>

#include <stdio.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: consumer FILE\n");
        return 2;
    }
    char* json = id3_read(argv[1]);
    if (!json) {
        fprintf(stderr, "consumer: %s\n", id3_last_error());
        return 1;
    }
    printf("header %s\n", QUORVALE_ID3TAG_VERSION);
    puts(json);
    id3_free_string(json);
    return 0;
}
