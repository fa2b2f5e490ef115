// Helpers shared by the tests: byte builders for fixtures, and files in a per-test temporary
// folder.
#ifndef QID3_TEST_UTIL_H
#define QID3_TEST_UTIL_H

#include <stdint.h>
#include <stdlib.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Byte builders: B({0x49, 0x44}) + S("ID3") + be32(5) ...
Bytes B(std::initializer_list<int> bytes);
Bytes S(const std::string& text); // the text's bytes, no terminator
Bytes be16(uint32_t v);
Bytes be24(uint32_t v);
Bytes be32(uint32_t v);
Bytes be64(uint64_t v);
Bytes le32(uint32_t v);
Bytes syncsafe(uint32_t v);
Bytes repeat(uint8_t byte, size_t count);
Bytes operator+(Bytes a, const Bytes& b);
Bytes& operator+=(Bytes& a, const Bytes& b);

// Container builders, one set per format, so that every test builds the same structure the same
// way. ID3v2: "ID3", major version, revision 0, flags, syncsafe size of the rest.
Bytes id3_tag(int major, int flags, const Bytes& rest);
// Frames of version 2.2 (3-character identifier, 24-bit size, no flags), of versions 2.3 and
// earlier (32-bit size) and of version 2.4 (syncsafe size); the flag bytes are 0 and format_flags.
Bytes id3_frame2(const std::string& id, const Bytes& body);
Bytes id3_frame3(const std::string& id, const Bytes& body, int format_flags = 0);
Bytes id3_frame4(const std::string& id, const Bytes& body, int format_flags = 0);
// Text frame body: the encoding byte (3 UTF-8, 0 ISO-8859-1) and the text, no terminator.
Bytes id3_text(const std::string& value, int encoding = 3);

// FLAC metadata block: last-block flag and type in one byte, 24-bit length, body.
Bytes flac_block(int type, const Bytes& body, bool last = false);
// FLAC audio: a frame sync and n - 4 bytes that look like nothing in particular.
Bytes flac_audio(size_t n);
// One Vorbis comment: 32-bit little-endian length and the text.
Bytes vorbis_entry(const std::string& text);
// VORBIS_COMMENT body; the count defaults to the number of comments given.
Bytes vorbis_comment(const std::string& vendor, const std::vector<std::string>& comments,
                     std::optional<uint32_t> count = {});
// PICTURE body: picture type, MIME, description, width, height, depth, 0 colours, data; the data
// length field defaults to the size of the data given.
Bytes flac_picture(uint32_t type, const std::string& mime, const std::string& desc,
                   const Bytes& data, uint32_t width = 0, uint32_t height = 0, uint32_t depth = 0,
                   std::optional<uint32_t> data_len = {});

// Ogg page: flags (1 continued, 2 first, 4 last), granule position, serial and sequence numbers,
// the lacing values and the body, with its checksum computed bit by bit (independently of the
// library's table-driven one).
Bytes ogg_page(uint8_t flags, uint64_t granule, uint32_t serial, uint32_t seq, const Bytes& lacing,
               const Bytes& body);
// Ogg pages of one stream holding the packets in order, from sequence number *seq on (advanced
// past them; 0 gives the first page the first-page flag): each page takes at most max_segments
// lacing values, and with own_pages every packet starts a page. A page on which a packet ends has
// granule position `granule`, one on which none ends -1.
Bytes ogg_packets(uint32_t serial, uint32_t* seq, const std::vector<Bytes>& packets,
                  size_t max_segments = 255, bool own_pages = false, uint64_t granule = 0);
// The bytes in base64 (standard alphabet, "=" padding), as picture comments hold pictures.
std::string base64_text(const Bytes& data);
// The identification packets: Vorbis (stereo, 44100 Hz) and Opus (stereo, 48000 Hz).
Bytes vorbis_id_packet();
Bytes opus_head_packet();

// MP4 atom with an ordinary 32-bit size.
Bytes mp4_atom(const std::string& type, const Bytes& payload);
// "data" atom: type indicator (1 UTF-8 text, 13 JPEG, 14 PNG), locale 0, value.
Bytes mp4_data(const Bytes& value, uint32_t type_code = 1);

// A heap block holding exactly the bytes given (one byte for none), so that a read past the end
// shows under a sanitizer; a reader handed it cannot keep pointers into a vector either.
struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};
using HeapBytes = std::unique_ptr<uint8_t, FreeDeleter>;
HeapBytes exact_copy(const Bytes& data);

// A fresh folder for one test, removed (with its contents) when the object goes away.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const; // path + "/" + name
};

bool write_file(const std::string& path, const Bytes& data);
Bytes read_file(const std::string& path); // empty when the file cannot be read
bool file_exists(const std::string& path);
// Names in a folder (without "." and ".."), sorted.
std::vector<std::string> list_dir(const std::string& path);
std::string hex(const Bytes& data); // "49 44 33" for diagnostics

#ifndef _WIN32
// Runs fn in a forked child (where limits and identities may be changed without touching the
// test) and returns the text fn returned, once the child has ended.
std::string output_of_child(const std::function<std::string()>& fn);
#endif

#endif
