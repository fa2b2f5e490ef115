"""The record (id3_read) against the property map (id3_read_all) of every file under the folders
given: each of the six fields agrees with the first value of its key, under the few rules by which
the record reads a tag differently from the map:
  - a genre stored as an ID3v1 number ("(13)", "8") stays so in the record; the map names it;
  - a version 2.3 date joined from TYER, TDAT and TIME is longer in the record than its DATE;
  - a field the first tag holds empty is filled in the record from a later tag (TYER, ID3v1);
and a record with a cover has a picture in the map.

  record_and_properties.py LIBRARY DIR...
"""
import ctypes
import json
import os
import sys

# The ID3v1 genres 0-79 (the original list; later numbers are Winamp's extensions).
GENRES = ("Blues,Classic Rock,Country,Dance,Disco,Funk,Grunge,Hip-Hop,Jazz,Metal,New Age,Oldies,"
          "Other,Pop,R&B,Rap,Reggae,Rock,Techno,Industrial,Alternative,Ska,Death Metal,Pranks,"
          "Soundtrack,Euro-Techno,Ambient,Trip-Hop,Vocal,Jazz+Funk,Fusion,Trance,Classical,"
          "Instrumental,Acid,House,Game,Sound Clip,Gospel,Noise,AlternRock,Bass,Soul,Punk,Space,"
          "Meditative,Instrumental Pop,Instrumental Rock,Ethnic,Gothic,Darkwave,"
          "Techno-Industrial,Electronic,Pop-Folk,Eurodance,Dream,Southern Rock,Comedy,Cult,"
          "Gangsta,Top 40,Christian Rap,Pop/Funk,Jungle,Native American,Cabaret,New Wave,"
          "Psychedelic,Rave,Showtunes,Trailer,Lo-Fi,Tribal,Acid Punk,Acid Jazz,Polka,Retro,"
          "Musical,Rock & Roll,Hard Rock").split(",")
FIELDS = {"title": "TITLE", "artist": "ARTIST", "album": "ALBUM", "genre": "GENRE",
          "date": "DATE", "track": "TRACKNUMBER"}


def reader(lib, fn):
    fn = getattr(lib, fn)
    fn.restype = ctypes.c_void_p
    fn.argtypes = [ctypes.c_char_p]

    def read(path):
        raw = fn(os.fsencode(path))
        if not raw:
            return None
        text = ctypes.cast(raw, ctypes.c_char_p).value
        lib.id3_free_string(ctypes.c_void_p(raw))
        return json.loads(text.decode("utf-8", "surrogateescape"))
    return read


def genre_number(text):
    """The ID3v1 number a genre text stands for ("(13)", "13"), or None."""
    inner = text[1:-1] if text.startswith("(") and text.endswith(")") else text
    return int(inner) if inner.isdigit() else None


def disagreement(field, record_value, values):
    first = values[0] if values else None
    if record_value in (None, ""):
        return None if first in (None, "") else "the record lacks %r" % first
    if first is None:
        return "the map lacks %r" % record_value
    if record_value == first or first == "":
        return None
    number = genre_number(record_value)
    if field == "genre" and number is not None and number < len(GENRES):
        if GENRES[number] == first:
            return None
    if field == "date" and record_value.startswith(first):
        return None
    return "%r in the record, %r in the map" % (record_value, first)


def main():
    lib = ctypes.CDLL(sys.argv[1])
    lib.id3_free_string.argtypes = [ctypes.c_void_p]
    read, read_all = reader(lib, "id3_read"), reader(lib, "id3_read_all")
    paths = []
    for top in sys.argv[2:]:
        for folder, _, names in os.walk(top):
            paths += [os.path.join(folder, n) for n in names]
    faults, compared = [], 0
    records = []
    for path in sorted(paths):
        record, props = read(path), read_all(path)
        if record is not None and props is not None:
            records.append((path, record, props))
    for path, record, props in records:
        compared += 1
        for field, key in FIELDS.items():
            why = disagreement(field, record.get(field), props["properties"].get(key))
            if why:
                faults.append("%s: %s: %s" % (path, field, why))
        if record.get("has_cover") and not props["pictures"]:
            faults.append("%s: a cover in the record, no picture in the map" % path)
    print("%d files compared, %d disagreements" % (compared, len(faults)))
    for fault in faults:
        print(fault)
    return 1 if faults or compared == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
