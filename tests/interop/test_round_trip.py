"""Round trips on peer-tagged and encoder-made files: what id3_read returns, written back with
id3_write unchanged, reads back the same; writing again gives the same file, never a bigger one."""

import pytest

import interop_util as iu
from test_peer_writes import CASES

WRITABLE = sorted(c for c, (base, _, _, _) in CASES.items() if not base.endswith(".m4a"))
STARTS = ["lame.mp3", "ffmpeg.mp3", "flac.flac", "bare.flac", "ffmpeg.flac"] + WRITABLE
MP3_STARTS = ["lame.mp3", "ffmpeg.mp3"] + [c for c in WRITABLE if CASES[c][0].endswith(".mp3")]


def tag_end(path):
    """Where the tag (MP3) or the metadata blocks (FLAC) end."""
    data = iu.read_bytes(path)
    if str(path).endswith(".flac"):
        return iu.flac_audio_offset(data)
    return iu.mp3_audio_offset(data)


@pytest.mark.parametrize("start", STARTS)
def test_read_write_back_read_gives_the_same_object(start, start_file, lib, tmp_path):
    path = start_file(start, tmp_path)
    audio = iu.audio_bytes(path)
    text = lib.read_text(path)
    cover = lib.extract_cover(path, tmp_path / "before.bin") if b'"has_cover":true' in text \
        else None

    lib.write(path, text)
    assert lib.read_text(path) == text
    if cover is not None:
        assert lib.extract_cover(path, tmp_path / "after.bin") == cover
    assert iu.audio_bytes(path) == audio
    first = iu.read_bytes(path)

    # Writing the same object again rebuilds the same file: the size stays that of the new tag
    # plus the unchanged audio (and an ID3v1 tag at the end), however often the file is written.
    lib.write(path, text)
    lib.write(path, text)
    assert iu.read_bytes(path) == first
    v1 = 128 if first[-128:][:3] == b"TAG" else 0
    assert len(first) == tag_end(path) + len(audio) + v1


@pytest.mark.parametrize("start", MP3_STARTS)
def test_mp3_tag_is_its_frames_and_fixed_padding(start, start_file, lib, tmp_path):
    """After a write, the tag holds its frames and 1024 bytes of padding, whatever the size and
    padding of the old tag were."""
    path = start_file(start, tmp_path)
    lib.write(path, "{}")
    data = iu.read_bytes(path)
    frames = iu.id3_frames(data)
    frames_len = sum(10 + len(body) for _, _, body in frames)
    assert iu.syncsafe(data[6:10]) == frames_len + 1024
    assert data[10 + frames_len:10 + frames_len + 1024] == bytes(1024)
