// The code of an error text (error_code.cpp), for id3_last_error_code.
#ifndef QID3_ERROR_CODE_H
#define QID3_ERROR_CODE_H

#include <stdint.h>

// One of the header's ID3_ERROR_ codes; ID3_ERROR_NONE for NULL or an empty text.
int32_t id3_error_code_of(const char* message);

#endif
