/* The help texts of quorvale-tag, and its "help" command. */
#include "cli.h"

#include <stdio.h>
#include <string.h>

const char MAIN_HELP[] =
    "Usage: " PROGRAM " COMMAND [ARGS...]\n"
    "Read and write the tags of MP3, FLAC, MP4/M4A, Ogg Vorbis and Opus files.\n"
    "\n"
    "Commands:\n"
    "  read [-r] [--all] [--json|--text] FILE...\n"
    "                                    print the tags of each FILE: a listing on a terminal,\n"
    "                                    JSON otherwise\n"
    "  get [-r] FILE... KEY              print the values of KEY, one per line\n"
    "  keys [-r] FILE...                 print the keys each FILE holds, one per line\n"
    "  write [-r] [--dry-run] FILE... TAGS\n"
    "                                    write tags into MP3, FLAC, MP4, Ogg and Opus files, one\n"
    "                                    call per file\n"
    "  cover get FILE OUT|-              save the cover picture of FILE to OUT or stdout\n"
    "  cover set [-r] FILE... IMAGE      make the PNG or JPEG picture IMAGE the cover of FILEs\n"
    "  cover remove [-r] FILE...         remove the front cover pictures of FILEs\n"
    "  batch [-r] FILE... TAGS           write tags into all FILEs in one library call\n"
    "  strip [-r] [--pictures] [--dry-run] FILE...\n"
    "                                    remove every tag of FILEs, keeping the audio\n"
    "  copy [-r] [--no-pictures] SOURCE TARGET...\n"
    "                                    copy the tags and cover of SOURCE into TARGETs\n"
    "  export [-r] [--csv|--json] FILE... print the properties of FILEs keyed by path\n"
    "  import [--csv|--json] TABLE|-     write the properties of an exported TABLE back\n"
    "  rename [-r] [--dry-run] PATTERN FILE...\n"
    "                                    rename FILEs from their tags: '%{artist}/%{title}'\n"
    "  totag [-r] [--dry-run] PATTERN FILE...\n"
    "                                    set tags from the names of FILEs\n"
    "  help [COMMAND]                    show this help, or the help of COMMAND\n"
    "\n"
    "TAGS is --json OBJECT, or any of --title, --artist, --album, --genre, --date, --track VALUE,\n"
    "--set KEY=VALUE, --set-custom KEY=VALUE and --remove FIELD|KEY.\n"
    "-r, --recursive: a FILE that is a folder stands for the MP3, FLAC, MP4, Ogg and Opus files\n"
    "under it.\n"
    "\n"
    "Options:\n"
    "  -h, --help      show help (also after a command: " PROGRAM " write --help)\n"
    "  --version       show the program version\n"
    "\n"
    "Exit status: 0 success, 1 an operation failed, 2 wrong command line.\n";

const char READ_HELP[] =
    "Usage: " PROGRAM " read [-r] [--all] [--json|--text] FILE...\n"
    "On a terminal, print the tags of each FILE as aligned \"KEY  value\" lines (the format, "
    "every\n"
    "property, one line per value, and the number of pictures). When standard output is not a\n"
    "terminal (a pipe, a file), or with --json, print the JSON object the library returns:\n"
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
    "  --json           JSON even on a terminal\n"
    "  --text           the listing even when standard output is not a terminal\n"
    "\n"
    "Each line is written out as soon as its file is done; on a terminal, standard error shows\n"
    "how many files are done, and how many per second.\n";

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
    "  --set-custom KEY=VALUE  as --set, for a KEY of your own\n"
    "A KEY of --set and --remove must be a key of the property table (docs/properties.md;\n"
    "COMMENT:D, LYRICS:D and PERFORMER:I count by their first part) or one a FILE already\n"
    "holds; any other is taken for a typo and refused (exit 2, nothing written) with the\n"
    "nearest known keys. --set-custom stores a key of your own as it is.\n"
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

const char GET_HELP[] =
    "Usage: " PROGRAM " get [-r] FILE... KEY\n"
    "Print the values of the property KEY of each FILE, one per line, and nothing else (as\n"
    "metaflac --show-tag or exiftool -s3 do). KEY is any key of \"read --all\", without regard\n"
    "to case; the field names of \"read\" stand for their keys (track for TRACKNUMBER). With\n"
    "several files each line starts with the file's path and \":\". A file without KEY prints\n"
    "nothing; a file that cannot be read is reported on standard error (exit status 1).\n"
    "  -r, --recursive  a FILE that is a folder stands for the audio files under it\n";

const char KEYS_HELP[] =
    "Usage: " PROGRAM " keys [-r] FILE...\n"
    "Print the property keys each FILE holds, one per line, in the file's order. With several\n"
    "files each line starts with the file's path and \":\".\n"
    "  -r, --recursive  a FILE that is a folder stands for the audio files under it\n";

const char STRIP_HELP[] =
    "Usage: " PROGRAM " strip [-r] [--pictures] [--dry-run] FILE...\n"
    "Remove every tag of each MP3, FLAC, MP4, Ogg Vorbis or Opus FILE: the six fields (an ID3v1\n"
    "tag's too) and every property of \"read --all\". The audio is kept byte for byte, and so\n"
    "are the pictures unless --pictures is given, which removes the front covers (picture\n"
    "type 3; other pictures stay, as \"cover remove\" leaves them).\n"
    "  --dry-run        name the files that would be stripped, change nothing\n"
    "  -r, --recursive  a FILE that is a folder stands for the audio files under it\n"
    "A file that holds nothing to remove is left as it is (\"unchanged\"). The job ends with a\n"
    "summary of files written, unchanged and failed on a terminal, or when a file failed.\n";

const char COPY_HELP[] =
    "Usage: " PROGRAM " copy [-r] [--no-pictures] SOURCE TARGET...\n"
    "Copy the tags of SOURCE into each TARGET, in any of the containers: every property of\n"
    "\"read --all\" and the front cover (unless --no-pictures). Keys a TARGET holds that SOURCE\n"
    "does not keep their values. Left out, as they describe the SOURCE file rather than the\n"
    "music: ENCODING, ENCODEDBY, ENCODER, ENCODER_OPTIONS, ENCODERSETTINGS, ENCODINGTIME,\n"
    "LENGTH, FILETYPE and iTunes' ITUNNORM, ITUNSMPB and ITUNPGAP (also as COMMENT:...).\n"
    "A value a TARGET's format refuses (a second DISCNUMBER in MP4) fails that TARGET alone.\n"
    "  -r, --recursive  a TARGET that is a folder stands for the audio files under it\n"
    "The job ends with a summary on a terminal, or when a file failed.\n";

const char EXPORT_HELP[] =
    "Usage: " PROGRAM " export [-r] [--csv|--json] FILE...\n"
    "Print the property map of each FILE, keyed by its path (as exiftool -csv and -json do):\n"
    "JSON Lines {\"path\":...,\"properties\":{\"KEY\":[\"value\",...],...}} (the default), or\n"
    "with --csv a header \"path,KEY,...\" (every key of any file) and a row per file; several\n"
    "values of a key stand one a line within their field. \"import\" takes either back.\n"
    "  -r, --recursive  a FILE that is a folder stands for the audio files under it\n";

const char IMPORT_HELP[] =
    "Usage: " PROGRAM " import [--csv|--json] TABLE|-\n"
    "Write the properties of TABLE (a file, or standard input for \"-\") into the files it\n"
    "names, as \"export\" prints them: JSON Lines, each line an object with \"path\" and\n"
    "\"properties\" (an empty list removes a key), or CSV, a header \"path,KEY,...\" and a\n"
    "row per file (an empty field leaves the key as it is; a field of several lines gives\n"
    "several values). Without --csv or --json, text starting with \"{\" is JSON Lines. Keys\n"
    "not in the table keep their values. The whole table is checked before any file is\n"
    "written. The job ends with a summary on a terminal, or when a file failed.\n";

const char RENAME_HELP[] =
    "Usage: " PROGRAM " rename [-r] [--dry-run] PATTERN FILE...\n"
    "Move each FILE to the name its tags give by PATTERN, beside the file and with its\n"
    "extension, for example '%{artist}/%{album}/%{track:02} %{title}'. %{KEY} is the first\n"
    "value of any key of \"read --all\" (title, artist, album, genre, date, track too);\n"
    "%{KEY:0N} pads its number with zeros to N digits (\"3/12\" gives \"03\"). Characters no\n"
    "file system takes (/ \\ : * ? \" < > | and control characters) become \"_\"; a \"/\" of\n"
    "the pattern makes folders. Nothing is renamed when a file lacks a key of the pattern,\n"
    "when two files would get one name, or when a new name exists already.\n"
    "  --dry-run        print \"OLD -> NEW\" for each file, move nothing\n"
    "  -r, --recursive  a FILE that is a folder stands for the audio files under it\n";

const char TOTAG_HELP[] =
    "Usage: " PROGRAM " totag [-r] [--dry-run] PATTERN FILE...\n"
    "Set tags from the name of each FILE (without its folder and extension) read by PATTERN,\n"
    "for example '%{track} - %{artist} - %{title}': the text between the %{KEY}s must stand in\n"
    "the name as it is, and each %{KEY} takes the text up to it. KEY is a key of the property\n"
    "table (title, artist, album, genre, date, track too). A name that does not fit is\n"
    "reported and the other files are still written.\n"
    "  --dry-run        print the tag object each file would get, write nothing\n"
    "  -r, --recursive  a FILE that is a folder stands for the audio files under it\n";

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
    else if (strcmp(topic, "get") == 0)
        fputs(GET_HELP, stdout);
    else if (strcmp(topic, "keys") == 0)
        fputs(KEYS_HELP, stdout);
    else if (strcmp(topic, "strip") == 0)
        fputs(STRIP_HELP, stdout);
    else if (strcmp(topic, "copy") == 0)
        fputs(COPY_HELP, stdout);
    else if (strcmp(topic, "export") == 0)
        fputs(EXPORT_HELP, stdout);
    else if (strcmp(topic, "import") == 0)
        fputs(IMPORT_HELP, stdout);
    else if (strcmp(topic, "rename") == 0)
        fputs(RENAME_HELP, stdout);
    else if (strcmp(topic, "totag") == 0)
        fputs(TOTAG_HELP, stdout);
    else if (strcmp(topic, "help") == 0)
        fputs(MAIN_HELP, stdout);
    else {
        char message[256];
        snprintf(message, sizeof message, "help: unknown command '%s'", topic);
        return usage_error(NULL, message);
    }
    return EXIT_OK;
}
