/* The help texts of quorvale-tag, and its "help" command. */
#include "cli.h"

#include <stdio.h>
#include <string.h>

const char MAIN_HELP[] =
    "Usage: " PROGRAM " COMMAND [ARGS...]\n"
    "Read and write the tags of MP3, FLAC, MP4/M4A, Ogg Vorbis and Opus files.\n"
    "\n"
    "Commands:\n"
    "  read [-r] [--all] FILE...         print the tags of each FILE as JSON\n"
    "  write [-r] [--dry-run] FILE... TAGS\n"
    "                                    write tags into MP3, FLAC, MP4, Ogg and Opus files, one\n"
    "                                    call per file\n"
    "  cover get FILE OUT|-              save the cover picture of FILE to OUT or stdout\n"
    "  cover set [-r] FILE... IMAGE      make the PNG or JPEG picture IMAGE the cover of FILEs\n"
    "  cover remove [-r] FILE...         remove the front cover pictures of FILEs\n"
    "  batch [-r] FILE... TAGS           write tags into all FILEs in one library call\n"
    "  help [COMMAND]                    show this help, or the help of COMMAND\n"
    "\n"
    "TAGS is --json OBJECT, or any of --title, --artist, --album, --genre, --date, --track VALUE,\n"
    "--set KEY=VALUE and --remove FIELD|KEY.\n"
    "-r, --recursive: a FILE that is a folder stands for the MP3, FLAC, MP4, Ogg and Opus files\n"
    "under it.\n"
    "\n"
    "Options:\n"
    "  -h, --help      show help (also after a command: " PROGRAM " write --help)\n"
    "  --version       show the program version\n"
    "\n"
    "Exit status: 0 success, 1 an operation failed, 2 wrong command line.\n";

const char READ_HELP[] =
    "Usage: " PROGRAM " read [-r] [--all] FILE...\n"
    "Print the tags of each FILE as the JSON object the library returns:\n"
    "  {\"title\":...,\"artist\":...,\"album\":...,\"genre\":...,\"date\":...,\"track\":...,\n"
    "   \"format\":\"mp3|flac|mp4|ogg|opus\",\"has_cover\":true|false[,\"cover_mime\":...]}\n"
    "or, with --all, every property (several values per key) and every picture:\n"
    "  {\"format\":...,\"properties\":{\"ARTIST\":[\"A\",\"B\"],...},\n"
    "   \"pictures\":[{\"type\":3,\"mime\":...,\"description\":...,\"size\":N},...]}\n"
    "\n"
    "With one FILE the object is printed alone on one line (ready for jq). Otherwise the output\n"
    "is JSON Lines: one object per file with \"path\" as its first member, or\n"
    "{\"path\":...,\"error\":...} for a file that cannot be read (also reported on standard\n"
    "error; the exit status is then 1). Bytes of a path that are not UTF-8 are written \\udcXX.\n"
    "A file whose tags end before what their headers declare (a cut-off file) is read as far as\n"
    "it goes, with a warning on standard error.\n"
    "\n"
    "  -r, --recursive  a FILE that is a folder stands for the files under it, in name order;\n"
    "                   only MP3, FLAC, MP4, Ogg Vorbis and Opus files (told by their content)\n"
    "                   are read, others are skipped with a note on standard error\n"
    "  --all            every property and picture (the library's id3_read_all)\n"
    "\n"
    "Each line is written out as soon as its file is done; on a terminal, standard error shows\n"
    "how many files are done.\n";

const char WRITE_HELP[] =
    "Usage: " PROGRAM " write FILE... (--json OBJECT | TAG OPTIONS)\n"
    "Write tags into each MP3, FLAC, MP4/M4A, Ogg Vorbis or Opus FILE. Tags that are not given\n"
    "keep the value the file has, and the cover picture is kept.\n"
    "\n"
    "Tag options (each at most once; an empty VALUE stores an empty tag):\n"
    "  --title VALUE   --artist VALUE   --album VALUE\n"
    "  --genre VALUE   --date VALUE     --track VALUE\n"
    "Values must be UTF-8; they are escaped into a JSON object for you.\n"
    "  --remove FIELD  remove the tag FIELD (title, artist, album, genre, date or track): all its\n"
    "                  frames or comments go; may be given for several fields\n"
    "\n"
    "Properties (any key of \"read --all\", without regard to case; see " PROGRAM " read --all):\n"
    "  --set KEY=VALUE  give KEY the value VALUE; repeat the option for several values, which\n"
    "                   are stored in the order given, replacing every value KEY had\n"
    "  --remove KEY     remove every value of KEY (a KEY other than the six FIELD names)\n"
    "A key may not be both set and removed, nor named by a tag option as well (--title and\n"
    "TITLE, --date and DATE, --track and TRACKNUMBER, ...). Keys not named keep their values.\n"
    "\n"
    "  --json OBJECT   the tags as a JSON object, passed unchanged to the library, for example\n"
    "                  '{\"title\":\"Song\",\"track\":\"3\"}'; \"year\" is accepted for \"date\",\n"
    "                  null removes a tag, and \"cover\":null the front covers. The object is\n"
    "                  checked before any file (exit 2, with the place of a fault); members the\n"
    "                  library ignores are warned about; \"properties\":{\"KEY\":[\"v\",...]}\n"
    "                  sets properties as --set and --remove do. It cannot be combined with\n"
    "                  the tag options, --set or --remove.\n"
    "\n"
    "  -r, --recursive  a FILE that is a folder stands for the MP3, FLAC, MP4, Ogg and Opus\n"
    "                   files under it\n"
    "  --dry-run        write nothing: print, as \"read\" does, the tags each file would hold\n"
    "                   (the file is read, never copied; a file a write would refuse gets the\n"
    "                   write's message). When properties are set, it prints as \"read --all\"\n"
    "                   does: the named keys first with the values given, then the file's\n"
    "                   other keys. The values are shown as given, not as the container would\n"
    "                   store them (an MP4 number, an ID3 genre number), and a value only the\n"
    "                   file's format refuses (a second DISCNUMBER in MP4) is reported by the\n"
    "                   write alone\n"
    "\n"
    "Options may also be written --title=VALUE; after \"--\" every argument is a FILE.\n"
    "Each file is written on its own; a failure is reported and the other files are still\n"
    "written.\n";

const char COVER_HELP[] =
    "Usage: " PROGRAM " cover get FILE OUT\n"
    "       " PROGRAM " cover set [-r] FILE... IMAGE\n"
    "       " PROGRAM " cover remove [-r] FILE...\n"
    "\n"
    "get: save the cover picture embedded in the MP3, FLAC, MP4/M4A, Ogg Vorbis or Opus FILE to\n"
    "     OUT, byte for byte\n"
    "     (OUT is created or overwritten); OUT \"-\" writes it to standard output, which must\n"
    "     not be a terminal.\n"
    "set: make the picture file IMAGE the front cover of each MP3, FLAC, MP4, Ogg or Opus FILE,\n"
    "     replacing any earlier one and keeping the text tags and other pictures. A picture\n"
    "     starting with the PNG signature is labelled image/png, any other image/jpeg (with a\n"
    "     warning when it is not a JPEG either). An empty IMAGE is refused.\n"
    "remove: remove the front cover pictures of each MP3, FLAC, MP4, Ogg or Opus FILE; other\n"
    "        pictures stay.\n"
    "\n"
    "  -r, --recursive  a FILE that is a folder stands for the MP3, FLAC, MP4, Ogg and Opus\n"
    "                   files under it\n"
    "Each file is written on its own; a failure is reported and the other files are still\n"
    "written.\n";

const char BATCH_HELP[] =
    "Usage: " PROGRAM " batch [-r] FILE... (--json OBJECT | TAG OPTIONS)\n"
    "Write the same tags into every FILE with one library call and report \"wrote N of M files\".\n"
    "The tags are given as for \"write\" (see " PROGRAM " help write). The exit status is 1\n"
    "unless every file was written; each file not written is then named on standard error\n"
    "with the reason its own write gave, and the last file's message follows the count of\n"
    "failures. A file named twice is written twice. Paths are passed byte for byte. With -r\n"
    "(--recursive), a FILE that is a folder stands for the MP3, FLAC, MP4, Ogg and Opus files\n"
    "under it.\n";

int cmd_help(int argc, char** argv) {
    if (argc < 3) {
        fputs(MAIN_HELP, stdout);
        return EXIT_OK;
    }
    if (argc > 3)
        return usage_error("help", "help: expects at most one COMMAND");
    const char* topic = argv[2];
    if (strcmp(topic, "read") == 0)
        fputs(READ_HELP, stdout);
    else if (strcmp(topic, "write") == 0)
        fputs(WRITE_HELP, stdout);
    else if (strcmp(topic, "cover") == 0)
        fputs(COVER_HELP, stdout);
    else if (strcmp(topic, "batch") == 0)
        fputs(BATCH_HELP, stdout);
    else if (strcmp(topic, "help") == 0)
        fputs(MAIN_HELP, stdout);
    else {
        char message[256];
        snprintf(message, sizeof message, "help: unknown command '%s'", topic);
        return usage_error(NULL, message);
    }
    return EXIT_OK;
}
