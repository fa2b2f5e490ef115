"""python -m quorvale_id3tag: read and write tags from the command line.

    python -m quorvale_id3tag read FILE...           one JSON object per line
    python -m quorvale_id3tag write FILE... --title T --track 3
    python -m quorvale_id3tag cover get FILE OUT
    python -m quorvale_id3tag cover set FILE IMAGE
    python -m quorvale_id3tag library                 where the shared library was loaded from

Exit status: 0 success, 1 an operation failed, 2 wrong command line.
"""

import argparse
import json
import sys
from typing import List, Optional

from . import LibraryNotFound, TagError, extract_cover, library_path, read, set_cover, write

TAG_OPTIONS = ("title", "artist", "album", "genre", "date", "track")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m quorvale_id3tag",
                                     description="Read and write MP3, FLAC, MP4, Ogg Vorbis "
                                     "and Opus tags.")
    commands = parser.add_subparsers(dest="command", required=True)
    p_read = commands.add_parser("read", help="print the tags of each FILE as JSON")
    p_read.add_argument("files", nargs="+", metavar="FILE")
    p_write = commands.add_parser("write", help="write tags into MP3 and FLAC files")
    p_write.add_argument("files", nargs="+", metavar="FILE")
    for key in TAG_OPTIONS:
        p_write.add_argument("--" + key, metavar="VALUE")
    p_cover = commands.add_parser("cover", help="get or set the cover picture")
    p_cover.add_argument("action", choices=("get", "set"))
    p_cover.add_argument("file", metavar="FILE")
    p_cover.add_argument("picture", metavar="OUT|IMAGE")
    commands.add_parser("library", help="print where the shared library was loaded from")
    return parser


def _fail(path: str, error: TagError) -> None:
    print("quorvale_id3tag: %s: %s" % (path, error.message), file=sys.stderr)


def _print_json(obj: object) -> None:
    # Compact, like the library's own text; flushed so that a stopped run keeps what it printed.
    print(json.dumps(obj, ensure_ascii=False, separators=(",", ":")), flush=True)


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    status = 0
    if args.command == "read":
        # One file: the bare object; several: JSON Lines, each object led by its "path".
        for path in args.files:
            try:
                tags = read(path)
            except TagError as error:
                _fail(path, error)
                if len(args.files) > 1:
                    _print_json({"path": path, "error": error.message})
                status = 1
                continue
            obj = tags if len(args.files) == 1 else dict(path=path, **tags)
            _print_json(obj)
    elif args.command == "write":
        values = {k: getattr(args, k) for k in TAG_OPTIONS if getattr(args, k) is not None}
        if not values:
            _parser().error("write: no tags given")
        for path in args.files:
            try:
                write(path, **values)
            except TagError as error:
                _fail(path, error)
                status = 1
    elif args.command == "cover":
        try:
            if args.action == "get":
                extract_cover(args.file, args.picture)
            else:
                set_cover(args.file, args.picture)
        except TagError as error:
            _fail(args.file, error)
            status = 1
    else:
        print(library_path())
    return status


def run() -> int:
    try:
        return main()
    except LibraryNotFound as error:
        # One line, as for every other failure; the trace would only show this module's frames.
        print("quorvale_id3tag: %s" % error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(run())
