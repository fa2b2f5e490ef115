#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: small files built here byte by byte (one per
structure the readers and writers handle) and the project's sample files.

    make_seeds.py OUT_DIR [SAMPLES_DIR]

creates OUT_DIR/<target>/ for every fuzz target. Large samples are left out: the readers look at
the head of a file, and small inputs keep the fuzzers fast.
"""
import base64
import os
import struct
import sys

MAX_SAMPLE = 512 * 1024


def be32(v):
    return struct.pack(">I", v)


def le32(v):
    return struct.pack("<I", v)


def syncsafe(v):
    return bytes([(v >> 21) & 0x7F, (v >> 14) & 0x7F, (v >> 7) & 0x7F, v & 0x7F])


def unsync(data):
    out = bytearray()
    for i, b in enumerate(data):
        out.append(b)
        if b == 0xFF and (i + 1 == len(data) or data[i + 1] == 0x00 or data[i + 1] >= 0xE0):
            out.append(0x00)
    return bytes(out)


MPEG_AUDIO = bytes([0xFF, 0xFB, 0x90, 0x64]) + bytes(range(60))
PNG = bytes([0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A]) + b"\x00\x00\x00\x0dIHDR" + b"\xff" * 8
JPEG = bytes([0xFF, 0xD8, 0xFF, 0xE0]) + b"\x00\x10JFIF\x00" + b"\xff\x00" * 6


# ---- ID3v2 -------------------------------------------------------------------------------------

def frame(ident, body, major=3, flags=0):
    size = syncsafe(len(body)) if major >= 4 else be32(len(body))
    return ident + size + bytes([0, flags]) + body


def frame22(ident, body):
    return ident + struct.pack(">I", len(body))[1:] + body


def frame4_plain(ident, body):
    # A version 4 frame whose size was written as a plain integer, as older iTunes did.
    return ident + be32(len(body)) + b"\x00\x00" + body


def id3_tag(major, frames, flags=0, padding=16, ext=b""):
    area = ext + frames + b"\x00" * padding
    return b"ID3" + bytes([major, 0, flags]) + syncsafe(len(area)) + area


def utf16(text):
    return b"\xff\xfe" + text.encode("utf-16-le")


def mp3_seeds():
    v3 = (frame(b"TIT2", b"\x00Caf\xe9 title")
          + frame(b"TPE1", b"\x01" + utf16("Artist \u00e4") + b"\x00\x00")
          + frame(b"TALB", b"\x02" + "Album".encode("utf-16-be"))
          + frame(b"TCON", b"\x00(13)")
          + frame(b"TYER", b"\x002001")
          + frame(b"TRCK", b"\x003/12")
          + frame(b"TXXX", b"\x00desc\x00value")
          + frame(b"COMM", b"\x00eng\x00comment")
          + frame(b"APIC", b"\x00image/png\x00\x03cover\x00" + PNG))
    v4 = (frame(b"TIT2", b"\x03Title \xe2\x9c\x93", 4)
          + frame(b"TDRC", b"\x032024-05-01", 4)
          + frame(b"TPE1", b"\x03one\x00two", 4)
          + frame(b"TALB", be32(9) + unsync(b"\x03Alb\xff\xe0um"), 4, 0x03)
          + frame(b"TCON", b"\x03Rock", 4, 0x08)
          + frame(b"APIC", b"\x01image/jpeg\x00\x03" + utf16("d") + b"\x00\x00" + JPEG, 4))
    v22 = (frame22(b"TT2", b"\x00Caf\xe9 title")
           + frame22(b"TP1", b"\x01" + utf16("Artist") + b"\x00\x00")
           + frame22(b"TAL", b"\x00Album") + frame22(b"TCO", b"\x00(13)")
           + frame22(b"TYE", b"\x002001") + frame22(b"TRK", b"\x003/12")
           + frame22(b"COM", b"\x00eng\x00comment") + frame22(b"TT1", b"")
           + frame22(b"PIC", b"\x00JPG\x03cover\x00" + JPEG)
           + frame22(b"PIC", b"\x01GIF\x04" + utf16("d") + b"\x00\x00" + PNG))
    v4_plain = (frame4_plain(b"TIT2", b"\x03" + b"t" * 199)
                + frame(b"TPE1", b"", 4)
                + frame4_plain(b"APIC", b"\x00image/png\x00\x03\x00" + PNG * 12)
                + frame(b"TALB", b"\x03album", 4))
    v3_unsync_frames = frame(b"TIT2", b"\x00A\xff\xe0B") + frame(b"APIC", b"\x00\x00\x03\x00" + JPEG)
    # Every kind of frame the property reader tells apart.
    properties = (frame(b"TPE1", b"\x01" + utf16("A") + b"\x00\x00" + utf16("B"), 4)
                  + frame(b"TCON", b"\x038\x00(17)\x00(9)Metal-ish", 4)
                  + frame(b"TXXX", b"\x03MusicBrainz Album Id\x00id-1\x00id-2", 4)
                  + frame(b"TXXX", b"\x01" + utf16("own") + b"\x00\x00" + utf16("v"), 4)
                  + frame(b"COMM", b"\x03eng\x00text", 4)
                  + frame(b"COMM", b"\x01eng" + utf16("d") + b"\x00\x00" + utf16("t"), 4)
                  + frame(b"USLT", b"\x03eng\x00la\nla", 4)
                  + frame(b"UFID", b"http://musicbrainz.org\x00trk", 4)
                  + frame(b"TIPL", b"\x03producer\x00P\x00odd\x00O\x00lone", 4)
                  + frame(b"TMCL", b"\x03guitar\x00G", 4)
                  + frame(b"WOAR", b"http://a.example/", 4)
                  + frame(b"MVNM", b"\x03Allegro", 4) + frame(b"PRIV", b"o\x00\x01", 4)
                  + frame(b"APIC", b"\x03\x00\x04back\x00" + PNG, 4))
    v3_dates = (frame(b"TYER", b"\x002004") + frame(b"TDAT", b"\x001503") + frame(b"TIME", b"\x001030")
                + frame(b"TORY", b"\x001999") + frame(b"IPLS", b"\x00mix\x00M"))
    seeds = {
        "v3_texts_and_picture": id3_tag(3, v3) + MPEG_AUDIO,
        "v4_flags_and_utf8": id3_tag(4, v4) + MPEG_AUDIO,
        "v3_unsynchronised": id3_tag(3, unsync(v3_unsync_frames), flags=0x80) + MPEG_AUDIO,
        "v3_extended_header": id3_tag(3, frame(b"TIT2", b"\x00ext"), 0x40, ext=be32(6) + b"\x00" * 6),
        "v4_extended_header_footer": id3_tag(4, frame(b"TIT2", b"\x03ext", 4), 0x50,
                                             ext=syncsafe(6) + b"\x01\x00") + b"3DI\x04\x00\x50"
                                    + syncsafe(0) + MPEG_AUDIO,
        "v22_texts_and_pictures": id3_tag(2, v22) + MPEG_AUDIO,
        "v22_unsynchronised": id3_tag(2, unsync(v22), flags=0x80) + MPEG_AUDIO,
        "v22_compressed": id3_tag(2, v22, flags=0x40),
        "v4_plain_sizes_and_empty_frame": id3_tag(4, v4_plain) + MPEG_AUDIO,
        "v4_properties": id3_tag(4, properties) + MPEG_AUDIO,
        "v3_dates_and_people": id3_tag(3, v3_dates) + MPEG_AUDIO,
        "frame_sync_only": MPEG_AUDIO,
        "id3_too_short": b"ID3\x03\x00",
        "tag_larger_than_file": b"ID3\x03\x00\x00\x00\x00\x7f\x7f" + frame(b"TIT2", b"\x00cut"),
        "two_tags": id3_tag(4, frame(b"TIT2", b"\x03first", 4)) + id3_tag(3, frame(b"TIT2", b"\x00second")),
    }
    return seeds


# ---- FLAC --------------------------------------------------------------------------------------

def block(kind, body, last=False):
    return bytes([kind | (0x80 if last else 0)]) + struct.pack(">I", len(body))[1:] + body


def vorbis_comment(vendor, comments):
    out = le32(len(vendor)) + vendor + le32(len(comments))
    for c in comments:
        out += le32(len(c)) + c
    return out


def picture(mime, data, kind=3):
    return (be32(kind) + be32(len(mime)) + mime + be32(4) + b"desc" + be32(1) + be32(1)
            + be32(24) + be32(0) + be32(len(data)) + data)


def flac_seeds():
    streaminfo = bytes(34)
    vc = vorbis_comment(b"reference libFLAC", [b"TITLE=Title", b"artist=Artist", b"ALBUM=Al=bum",
                                               b"GENRE=", b"DATE=2024", b"TRACKNUMBER=3/12",
                                               b"NOEQUALS", b"=empty key"])
    audio = bytes([0xFF, 0xF8, 0x69, 0x08]) + bytes(40)
    full = (b"fLaC" + block(0, streaminfo) + block(3, bytes(18)) + block(4, vc) + block(1, bytes(32))
            + block(6, picture(b"image/png", PNG)) + block(6, picture(b"", JPEG, 4))
            + block(2, b"appl" + bytes(8), last=True) + audio)
    return {
        "all_block_kinds": full,
        "marker_only": b"fLaC",
        "truncated_streaminfo": b"fLaC" + block(0, streaminfo)[:20],
        "no_last_flag": b"fLaC" + block(0, streaminfo) + block(4, vc) + b"\xff\xf8",
        "comment_count_overruns": b"fLaC" + block(4, le32(0) + le32(1000) + le32(5) + b"TITLE", True),
        "picture_data_overruns": b"fLaC" + block(6, picture(b"image/jpeg", JPEG)[:-4], True),
    }


# ---- MP4 ---------------------------------------------------------------------------------------

def atom(kind, payload):
    return be32(8 + len(payload)) + kind + payload


def data_atom(type_code, value):
    return atom(b"data", be32(type_code) + be32(0) + value)


def mp4_seeds():
    items = (atom(b"\xa9nam", data_atom(1, b"Title"))
             + atom(b"\xa9ART", data_atom(1, b"Artist"))
             + atom(b"\xa9alb", data_atom(1, b"Album"))
             + atom(b"\xa9gen", data_atom(1, b"Genre"))
             + atom(b"\xa9day", data_atom(1, b"2024"))
             + atom(b"trkn", data_atom(0, be32(0) + b"\x00\x05\x00\x0c" + b"\x00\x00"))
             + atom(b"covr", data_atom(14, PNG)))
    # Several values, numbers, freeform items and a player flag, for the property reader.
    more_items = (atom(b"aART", data_atom(1, b"One") + data_atom(1, b"Two"))
                  + atom(b"disk", data_atom(0, b"\x00\x00\x00\x01\x00\x02"))
                  + atom(b"cpil", data_atom(21, b"\x01")) + atom(b"tmpo", data_atom(21, b"\x00\x78"))
                  + atom(b"\xa9mvi", data_atom(21, b"\xff\xfe"))
                  + atom(b"stik", data_atom(21, b"\x01"))
                  + atom(b"----", atom(b"mean", bytes(4) + b"com.apple.iTunes")
                         + atom(b"name", bytes(4) + b"MusicBrainz Track Id") + data_atom(1, b"trk"))
                  + atom(b"----", atom(b"mean", bytes(4) + b"org.example")
                         + atom(b"name", bytes(4) + b"own") + data_atom(1, b"a") + data_atom(1, b"b"))
                  + atom(b"covr", data_atom(13, JPEG) + data_atom(14, PNG)))
    ilst = atom(b"ilst", items)
    more_meta = atom(b"meta", b"\x00\x00\x00\x00" + atom(b"ilst", items + more_items))
    hdlr = atom(b"hdlr", bytes(8) + b"mdirappl" + bytes(9))
    ftyp = atom(b"ftyp", b"M4A \x00\x00\x02\x00isomM4A ")
    full_meta = atom(b"meta", b"\x00\x00\x00\x00" + hdlr + ilst)
    plain_meta = atom(b"meta", hdlr + ilst)
    mvhd = atom(b"mvhd", bytes(100))
    mdat = atom(b"mdat", bytes(32))
    wide = be32(1) + b"free" + struct.pack(">Q", 24) + bytes(8)
    # Files whose samples the writer must follow: an audio track with its chunk offsets (stco or
    # co64) into mdat, moov before or after it, free atoms that can give room.
    samples = bytes(range(1, 49))

    def trak(offsets, co64=False):
        table = (atom(b"co64", bytes(4) + be32(len(offsets)) +
                      b"".join(struct.pack(">Q", o) for o in offsets)) if co64 else
                 atom(b"stco", bytes(4) + be32(len(offsets)) + b"".join(be32(o) for o in offsets)))
        dref = atom(b"dref", bytes(4) + be32(1) + atom(b"url ", be32(1)))
        stbl = atom(b"stbl", atom(b"stsd", bytes(8)) + table)
        minf = atom(b"minf", atom(b"dinf", dref) + stbl)
        return atom(b"trak", atom(b"mdia", minf))

    def with_tracks(moov_first, co64=False, after_ilst=b"", after_moov=b""):
        meta = atom(b"meta", b"\x00\x00\x00\x00" + hdlr + ilst + after_ilst)

        def moov(at):
            return atom(b"moov", mvhd + trak([at, at + 16], co64) + atom(b"udta", meta))
        if moov_first:
            at = len(ftyp) + len(moov(0)) + len(after_moov) + 8
            return ftyp + moov(at) + after_moov + atom(b"mdat", samples)
        return ftyp + atom(b"mdat", samples) + moov(len(ftyp) + 8) + after_moov

    return {
        "tracks_moov_first": with_tracks(True),
        "tracks_moov_last": with_tracks(False, after_moov=atom(b"free", bytes(24))),
        "tracks_co64_free_after_ilst": with_tracks(True, True, after_ilst=atom(b"free", bytes(64))),
        "tracks_free_after_moov": with_tracks(True, after_moov=atom(b"free", bytes(120))),
        "full_box_meta": ftyp + atom(b"moov", mvhd + atom(b"udta", full_meta)) + mdat,
        "plain_meta": ftyp + mdat + atom(b"moov", atom(b"udta", plain_meta)),
        "wide_atom_first": ftyp + wide + atom(b"moov", atom(b"udta", full_meta)),
        "meta_in_moov": ftyp + atom(b"moov", full_meta),
        "size_zero_atom": ftyp + be32(0) + b"free" + atom(b"moov", atom(b"udta", full_meta)),
        "properties": ftyp + atom(b"moov", atom(b"udta", more_meta)) + mdat,
    }


# ---- Ogg Vorbis and Opus ------------------------------------------------------------------------

def ogg_crc(data):
    crc = 0
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7 if crc & 0x80000000 else crc << 1) & 0xFFFFFFFF
    return crc


def ogg_page(flags, granule, serial, seq, lacing, body):
    page = (b"OggS" + bytes([0, flags]) + struct.pack("<QII", granule, serial, seq) + le32(0)
            + bytes([len(lacing)]) + bytes(lacing) + body)
    return page[:22] + le32(ogg_crc(page)) + page[26:]


def ogg_packets(serial, seq, packets, max_segments=255):
    """Pages holding the packets from sequence number seq on: (bytes, next seq)."""
    out, lacing, body, continued, ended = b"", [], b"", False, False
    for packet in packets:
        pos = 0
        while True:
            if len(lacing) == max_segments:
                out += ogg_page((1 if continued else 0) | (2 if seq == 0 else 0),
                                0 if ended else 0xFFFFFFFFFFFFFFFF, serial, seq, lacing, body)
                seq, lacing, body, continued, ended = seq + 1, [], b"", True, False
            take = min(255, len(packet) - pos)
            lacing.append(take)
            body += packet[pos:pos + take]
            pos += take
            if take < 255:
                break
        ended = True
    if lacing:
        out += ogg_page((1 if continued else 0) | (2 if seq == 0 else 0), 0 if ended else 2**64 - 1,
                        serial, seq, lacing, body)
        seq += 1
    return out, seq


def vorbis_comment(vendor, comments):
    body = le32(len(vendor)) + vendor + le32(len(comments))
    for c in comments:
        body += le32(len(c)) + c
    return body


def ogg_seeds():
    vorbis_id = b"\x01vorbis" + le32(0) + b"\x02" + le32(44100) + le32(0) * 3 + b"\xb8\x01"
    opus_head = b"OpusHead\x01\x02\x38\x01" + le32(48000) + b"\x00\x00\x00"
    setup = b"\x05vorbis" + bytes(range(256)) * 2
    picture = (be32(3) + be32(9) + b"image/png" + be32(0) + be32(0) * 4 + be32(len(PNG)) + PNG)
    comments = [b"TITLE=Ogg title", b"ARTIST=A", b"ALBUM=B", b"GENRE=Jazz", b"DATE=2024",
                b"TRACKNUMBER=2/9", b"COMMENT=kept",
                b"METADATA_BLOCK_PICTURE=" + base64.b64encode(picture)]
    vorbis_tags = b"\x03vorbis" + vorbis_comment(b"Xiph.Org libVorbis", comments) + b"\x01"
    opus_tags = b"OpusTags" + vorbis_comment(b"libopus", comments[:4] + [
        b"COVERARTMIME=image/jpeg", b"COVERART=" + base64.b64encode(JPEG)]) + bytes(16)
    audio = [bytes([0x80 + i]) * (60 + 9 * i) for i in range(6)]

    def stream(serial, first, headers, max_segments=255):
        out, seq = ogg_packets(serial, 0, [first])
        pages, seq = ogg_packets(serial, seq, headers, max_segments)
        out += pages
        pages, seq = ogg_packets(serial, seq, audio)
        return out + pages

    seeds = {
        "vorbis": stream(7, vorbis_id, [vorbis_tags, setup]),
        "vorbis_small_pages": stream(7, vorbis_id, [vorbis_tags, setup], 2),
        "opus": stream(9, opus_head, [opus_tags]),
        "opus_small_pages": stream(9, opus_head, [opus_tags], 1),
        "chained": stream(7, vorbis_id, [vorbis_tags, setup]) + stream(8, opus_head, [opus_tags]),
    }
    # A second stream's first page right after ours: a multiplexed file.
    first, seq = ogg_packets(7, 0, [vorbis_id])
    other, _ = ogg_packets(3, 0, [b"\x80theora" + bytes(40)])
    rest, seq = ogg_packets(7, seq, [vorbis_tags, setup] + audio)
    seeds["multiplexed"] = first + other + rest
    return seeds


# ---- JSON texts --------------------------------------------------------------------------------

JSON_SEEDS = {
    "all_members": b'{"title":"T","artist":"A","album":"","genre":"Rock","date":"2024","track":"3/12"}',
    "year_and_types": b'{"title":null,"date":7,"year":"1999","track":3,"artist":["x"],"album":{}}',
    "duplicates_escapes": b'{"title":"a\\u0000b","title":"second","genre":"\\ud83c\\udfb5\\t\\"q\\""}',
    "read_output": b'{"title":"x","artist":"","album":"","genre":"","date":"","track":"",'
                   b'"format":"mp3","has_cover":true,"cover_mime":"image/png"}',
    "latin1_bytes": b'{"title":"caf\xe9","artist":"\xff\xfe","album":"a\\u0000"}',
    "not_object": b'["title"]',
    "trailing_comma": b'{"title":"x",}',
    "properties": b'{"title":"T","properties":{"artist":["A","B"],"MY KEY":[],"Title":["P"],'
                  b'"x=y":["v"],"COVERART":["c"],"N":["a\\u0000"],"L":"one","E":[1]}}',
    "properties_twice": b'{"properties":{"Genre":["a"],"GENRE":["b"]},"properties":[]}',
}

BATCH_SEEDS = {
    "mixed_members": b'["missing-a.mp3","dir/missing.flac",1,null,true,["nested.mp3"],{"p":"x"}]',
    "empty_array": b"[]",
    "single_string": b'"one.mp3"',
    "object_with_array": b'{"paths":["a.mp3"]}',
    "nul_in_path": b'["a\\u0000b.mp3",""]',
    "latin1_path": b'["caf\xe9.mp3","x\\u0000"]',
    "trailing_comma": b'["a.mp3",]',
}


def write_dir(path, seeds):
    os.makedirs(path, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)


def sample_seeds(samples_dir):
    by_kind = {"mp3": {}, "flac": {}, "mp4": {}, "ogg": {}}
    if not samples_dir or not os.path.isdir(samples_dir):
        return by_kind
    for name in sorted(os.listdir(samples_dir)):
        path = os.path.join(samples_dir, name)
        if not os.path.isfile(path) or os.path.getsize(path) > MAX_SAMPLE:
            continue
        with open(path, "rb") as f:
            data = f.read()
        if data[:3] == b"ID3" or (len(data) > 1 and data[0] == 0xFF and data[1] >= 0xE0):
            by_kind["mp3"]["sample_" + name] = data
        elif data[:4] == b"fLaC":
            by_kind["flac"]["sample_" + name] = data
        elif b"ftyp" in data[4:72]:
            by_kind["mp4"]["sample_" + name] = data
        elif data[:4] == b"OggS":
            by_kind["ogg"]["sample_" + name] = data
    return by_kind


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    samples = sample_seeds(sys.argv[2] if len(sys.argv) > 2 else None)
    mp3 = {**mp3_seeds(), **samples["mp3"]}
    flac = {**flac_seeds(), **samples["flac"]}
    mp4 = {**mp4_seeds(), **samples["mp4"]}
    ogg = {**ogg_seeds(), **samples["ogg"]}
    write_dir(os.path.join(out, "fuzz_mp3_read"), mp3)
    write_dir(os.path.join(out, "fuzz_flac_read"), flac)
    write_dir(os.path.join(out, "fuzz_mp4_read"), mp4)
    write_dir(os.path.join(out, "fuzz_ogg_read"), ogg)
    write_dir(os.path.join(out, "fuzz_tags_json"), JSON_SEEDS)
    write_dir(os.path.join(out, "fuzz_batch_paths"), BATCH_SEEDS)
    roundtrip = {}
    for kind, seeds in (("mp3", mp3), ("flac", flac), ("mp4", mp4), ("ogg", ogg)):
        for name, data in seeds.items():
            roundtrip[kind + "_" + name] = data
    roundtrip["unknown_kind"] = b"RIFF\x00\x00\x00\x00WAVEfmt "
    roundtrip["three_bytes"] = b"ID3"
    write_dir(os.path.join(out, "fuzz_write_roundtrip"), roundtrip)
    # The first byte picks the reader (0 MP3, 1 FLAC, 2 MP4, 3 Ogg Vorbis, 4 Opus); the rest is
    # the file.
    bounded = {}
    opus = {name: data for name, data in ogg.items() if b"OpusHead" in data[:64]}
    vorbis = {name: data for name, data in ogg.items() if name not in opus}
    for selector, (kind, seeds) in enumerate((("mp3", mp3), ("flac", flac), ("mp4", mp4),
                                              ("vorbis", vorbis), ("opus", opus))):
        for name, data in seeds.items():
            bounded[kind + "_" + name] = bytes([selector]) + data
    write_dir(os.path.join(out, "fuzz_bounded_read"), bounded)


if __name__ == "__main__":
    main()
