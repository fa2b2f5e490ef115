// Every internal layer at once, for the tests and fuzz targets that reach below the exports. The
// library's own sources include only the headers of the layers they use, from the bottom: base,
// record, properties, model, file_access, replace; the codecs (mpeg_audio, id3v2, id3v1, ape_tag,
// id3v2_props, ogg_page, vorbis_comment, mp4_atom); container; dispatch; json_form; operations.
#ifndef QUORVALE_ID3_INTERNAL_H
#define QUORVALE_ID3_INTERNAL_H

#include "ape_tag.h"
#include "base.h"
#include "container.h"
#include "dispatch.h"
#include "file_access.h"
#include "id3v1.h"
#include "id3v2.h"
#include "id3v2_props.h"
#include "json_form.h"
#include "model.h"
#include "mpeg_audio.h"
#include "mp4_atom.h"
#include "ogg_page.h"
#include "operations.h"
#include "properties.h"
#include "record.h"
#include "replace.h"
#include "vorbis_comment.h"

#endif
