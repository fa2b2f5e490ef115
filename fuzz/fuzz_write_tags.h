// The tag object the write round-trip target writes after {}, shared with the program that
// digests what those writes leave (write_corpus_digest.cpp).
#ifndef QID3_FUZZ_WRITE_TAGS_H
#define QID3_FUZZ_WRITE_TAGS_H

static const char* const FUZZ_WRITE_TAGS =
    "{\"title\":\"Fuzz title \\u2713\",\"artist\":\"\\u00c4rtist\","
    "\"album\":\"\",\"genre\":\"Rock\",\"date\":\"2024-05-01\","
    "\"track\":\"3/12\"}";

// The properties object written after it: several values, a user text, a pair, the comment
// (which an MP3 file's ID3v1 tag follows), a key of no row, and a key removed.
static const char* const FUZZ_WRITE_PROPS =
    "{\"properties\":{\"ALBUMARTIST\":[\"AA 1\",\"AA 2\"],\"MUSICBRAINZ_ALBUMID\":[\"mb-id\"],"
    "\"PRODUCER\":[\"P\"],\"COMMENT\":[\"c\"],\"FUZZ KEY\":[\"x\",\"y\"],\"COMPOSER\":[]}}";

#endif
