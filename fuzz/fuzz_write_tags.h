// The tag object the write round-trip target writes after {}, shared with the program that
// digests what those writes leave (write_corpus_digest.cpp).
#ifndef QID3_FUZZ_WRITE_TAGS_H
#define QID3_FUZZ_WRITE_TAGS_H

static const char* const FUZZ_WRITE_TAGS =
    "{\"title\":\"Fuzz title \\u2713\",\"artist\":\"\\u00c4rtist\","
    "\"album\":\"\",\"genre\":\"Rock\",\"date\":\"2024-05-01\","
    "\"track\":\"3/12\"}";

#endif
