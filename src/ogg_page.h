// Ogg pages (ogg_page.cpp): the page header, its checksum and length, and renumbering the pages a
// write copies.
#ifndef QID3_OGG_PAGE_H
#define QID3_OGG_PAGE_H

#include "base.h"

// Ogg pages (ogg_page.cpp). Page header (little-endian): "OggS", version 0, flags, granule
// position (8), stream serial number (4), page sequence number (4), CRC-32 of the whole page with
// this field zero (4), segment count S (1), then S lacing values and the body, whose length is
// their sum.
#define OGG_CAPTURE "OggS"
#define OGG_CAPTURE_LEN 4
#define OGG_HEADER_LEN 27
#define OGG_VERSION_AT 4
#define OGG_FLAGS_AT 5
#define OGG_GRANULE_AT 6
#define OGG_SERIAL_AT 14
#define OGG_SEQUENCE_AT 18
#define OGG_CRC_AT 22
#define OGG_SEGMENTS_AT 26
#define OGG_FLAG_CONTINUED 0x01
#define OGG_FLAG_FIRST 0x02
#define OGG_FLAG_LAST 0x04
#define OGG_MAX_SEGMENTS 255
#define OGG_SEGMENT_MAX 255
#define OGG_MAX_PAGE (OGG_HEADER_LEN + OGG_MAX_SEGMENTS + OGG_MAX_SEGMENTS * OGG_SEGMENT_MAX)
// The checksum of a whole page of len bytes, its own field counted as zero.
uint32_t id3_ogg_page_crc(const uint8_t* page, uint64_t len);
// The checksum carried on over n more bytes (from 0 for the first): a page whose body lies apart
// from its header is summed as its header, its own field zero, then its body.
uint32_t id3_ogg_crc_update(uint32_t crc, const uint8_t* p, uint64_t n);
// The length of the whole page at data: -1 when the bytes are not an Ogg page, 0 when len cuts it.
int64_t id3_ogg_page_len(const uint8_t* data, uint64_t len);
// Renumbers the whole Ogg pages at the start of data[0..len) in place: each page of stream serial
// gets its sequence number moved by seq_delta (modulo 2^32), and its checksum with it; *used gets
// the bytes of those pages. A page cut by len is left for the next call, unless at_end. -1 with a
// message when the bytes are not Ogg pages.
int id3_ogg_renumber_pages(uint8_t* data, uint64_t len, bool at_end, uint32_t serial,
                           uint32_t seq_delta, uint64_t* used);

#endif
