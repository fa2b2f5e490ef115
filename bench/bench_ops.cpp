// Floors and TagLib counterparts of the benchmarked calls.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE // copy_file_range
#endif
#include "bench_ops.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4coverart.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tbytevector.h>
#include <taglib/xiphcomment.h>

namespace {
struct free_deleter {
    void operator()(void* p) const { free(p); }
};
using owned_bytes = std::unique_ptr<uint8_t, free_deleter>;

// The whole file in one malloc'd block; the size goes to *len.
uint8_t* read_whole(const char* path, uint64_t* len) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return nullptr;
    }
    uint64_t size = (uint64_t)st.st_size;
    uint8_t* data = (uint8_t*)malloc(size + 1);
    if (!data) {
        close(fd);
        return nullptr;
    }
    // One call normally delivers everything; the loop only guards against a short read.
    uint64_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, data + got, size - got);
        if (n <= 0)
            break;
        got += (uint64_t)n;
    }
    close(fd);
    if (got != size) {
        free(data);
        return nullptr;
    }
    data[size] = 0;
    *len = size;
    return data;
}

bool write_all(int fd, const uint8_t* data, uint64_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n <= 0)
            return false;
        data += n;
        len -= (uint64_t)n;
    }
    return true;
}

TagLib::ByteVector read_picture(const char* path) {
    uint64_t len = 0;
    owned_bytes data(read_whole(path, &len));
    if (!data)
        return TagLib::ByteVector();
    return TagLib::ByteVector((const char*)data.get(), (unsigned)len);
}

bool save_bytes(const char* out_path, const TagLib::ByteVector& bytes) {
    FILE* f = fopen(out_path, "wb");
    if (!f)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

std::string utf8(const TagLib::String& s) {
    return s.to8Bit(true);
}

void read_generic(const TagLib::Tag* tag, taglib_tags* out) {
    out->title = utf8(tag->title());
    out->artist = utf8(tag->artist());
    out->album = utf8(tag->album());
    out->genre = utf8(tag->genre());
    out->year = tag->year();
    out->track = tag->track();
}

TagLib::ID3v2::AttachedPictureFrame* first_apic(TagLib::ID3v2::Tag* tag) {
    const TagLib::ID3v2::FrameList& frames = tag->frameListMap()["APIC"];
    if (frames.isEmpty())
        return nullptr;
    return dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(frames.front());
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Floors

namespace {
// The tag region of an open file in a fresh block; null on failure.
uint8_t* read_region(int fd, const bench_layout& layout) {
    struct stat st;
    if (fstat(fd, &st) != 0 || layout.tag_offset + layout.tag_length > (uint64_t)st.st_size)
        return nullptr;
    owned_bytes region((uint8_t*)malloc(layout.tag_length ? layout.tag_length : 1));
    if (!region)
        return nullptr;
    uint64_t got = 0;
    while (got < layout.tag_length) {
        ssize_t n = pread(fd, region.get() + got, layout.tag_length - got,
                          (off_t)(layout.tag_offset + got));
        if (n <= 0)
            return nullptr;
        got += (uint64_t)n;
    }
    return region.release();
}

std::string folder_of(const char* path) {
    std::string dir = path;
    size_t slash = dir.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
}
} // namespace

int64_t floor_read(const char* path, const bench_layout& layout) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    owned_bytes region(read_region(fd, layout));
    close(fd);
    return region ? (int64_t)layout.tag_length : -1;
}

// Copies len bytes of src from off to the end of fd, in the kernel. false on failure.
static bool copy_range(int src, int fd, uint64_t off, uint64_t len) {
    loff_t in_off = (loff_t)off;
    while (len > 0) {
        size_t step = len > (1u << 30) ? (size_t)(1u << 30) : (size_t)len;
        ssize_t n = copy_file_range(src, &in_off, fd, nullptr, step, 0);
        if (n <= 0)
            return false;
        len -= (uint64_t)n;
    }
    return true;
}

int floor_rewrite(const char* path, const bench_layout& layout, const char* picture_path) {
    int src = open(path, O_RDONLY | O_CLOEXEC);
    if (src < 0)
        return -1;
    struct stat st;
    owned_bytes region(read_region(src, layout));
    if (!region || fstat(src, &st) != 0) {
        close(src);
        return -1;
    }
    if (picture_path) {
        uint64_t pic_len = 0;
        owned_bytes picture(read_whole(picture_path, &pic_len));
        if (!picture) {
            close(src);
            return -1;
        }
    }
    std::string temp = std::string(path) + ".floor-tmp";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        close(src);
        return -1;
    }
    // What comes before the tags (the start of an MP4 file, all of it but moov when moov is
    // last), the tags, then the rest.
    uint64_t tag_end = layout.tag_offset + layout.tag_length;
    bool ok = copy_range(src, fd, 0, layout.tag_offset) &&
              write_all(fd, region.get(), layout.tag_length) &&
              copy_range(src, fd, tag_end, (uint64_t)st.st_size - tag_end);
    close(src);
    ok = ok && fsync(fd) == 0;
    if (close(fd) != 0 || !ok || rename(temp.c_str(), path) != 0) {
        unlink(temp.c_str());
        return -1;
    }
    int dir_fd = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0)
        return -1;
    int rc = fsync(dir_fd);
    close(dir_fd);
    return rc == 0 ? 0 : -1;
}

int floor_extract(const char* path, const bench_layout& layout, uint64_t cover_size,
                  const char* out_path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    owned_bytes region(read_region(fd, layout));
    close(fd);
    if (!region || cover_size > layout.tag_length)
        return -1;
    FILE* f = fopen(out_path, "wb");
    if (!f)
        return -1;
    bool ok = fwrite(region.get(), 1, cover_size, f) == cover_size;
    return fclose(f) == 0 && ok ? 0 : -1;
}

// ---------------------------------------------------------------------------------------------
// TagLib

// The six fields and the first picture's bytes, with audio properties off. TagLib's ByteVector
// shares its storage, so handing the picture out copies nothing.
static bool taglib_load(const char* path, bench_kind kind, taglib_tags* out,
                        TagLib::ByteVector* cover) {
    switch (kind) {
    case KIND_MP3_V23:
    case KIND_MP3_V24: {
        TagLib::MPEG::File f(path, false);
        TagLib::ID3v2::Tag* tag = f.isValid() ? f.ID3v2Tag() : nullptr;
        if (!tag)
            return false;
        read_generic(tag, out);
        if (TagLib::ID3v2::AttachedPictureFrame* apic = first_apic(tag))
            *cover = apic->picture();
        return true;
    }
    case KIND_FLAC: {
        TagLib::FLAC::File f(path, false);
        TagLib::Ogg::XiphComment* tag = f.isValid() ? f.xiphComment() : nullptr;
        if (!tag)
            return false;
        read_generic(tag, out);
        TagLib::List<TagLib::FLAC::Picture*> pictures = f.pictureList();
        if (!pictures.isEmpty())
            *cover = pictures.front()->data();
        return true;
    }
    case KIND_M4A_HEAD:
    case KIND_M4A_TAIL: {
        TagLib::MP4::File f(path, false);
        TagLib::MP4::Tag* tag = f.isValid() ? f.tag() : nullptr;
        if (!tag)
            return false;
        read_generic(tag, out);
        TagLib::MP4::CoverArtList covers = tag->item("covr").toCoverArtList();
        if (!covers.isEmpty())
            *cover = covers.front().data();
        return true;
    }
    }
    return false;
}

bool taglib_read(const char* path, bench_kind kind, taglib_tags* out) {
    TagLib::ByteVector cover;
    bool ok = taglib_load(path, kind, out, &cover);
    out->cover_size = cover.size();
    return ok;
}

bool taglib_write_title(const char* path, bench_kind kind, const char* title) {
    TagLib::String text(title, TagLib::String::UTF8);
    if (kind == KIND_FLAC) {
        TagLib::FLAC::File f(path, false);
        if (!f.isValid())
            return false;
        f.xiphComment(true)->setTitle(text);
        return f.save();
    }
    if (kind == KIND_M4A_HEAD || kind == KIND_M4A_TAIL) {
        TagLib::MP4::File f(path, false);
        if (!f.isValid() || !f.tag())
            return false;
        f.tag()->setTitle(text);
        return f.save();
    }
    TagLib::MPEG::File f(path, false);
    if (!f.isValid())
        return false;
    f.ID3v2Tag(true)->setTitle(text);
    // ID3v2 only, version 4, as the library writes it.
    return f.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v4,
                  TagLib::File::DoNotDuplicate);
}

bool taglib_set_cover(const char* path, bench_kind kind, const char* picture_path) {
    TagLib::ByteVector picture = read_picture(picture_path);
    if (picture.isEmpty())
        return false;
    if (kind == KIND_FLAC) {
        TagLib::FLAC::File f(path, false);
        if (!f.isValid())
            return false;
        f.removePictures();
        TagLib::FLAC::Picture* p = new TagLib::FLAC::Picture();
        p->setType(TagLib::FLAC::Picture::FrontCover);
        p->setMimeType("image/jpeg");
        p->setData(picture);
        f.addPicture(p);
        return f.save();
    }
    if (kind == KIND_M4A_HEAD || kind == KIND_M4A_TAIL) {
        TagLib::MP4::File f(path, false);
        if (!f.isValid() || !f.tag())
            return false;
        TagLib::MP4::CoverArtList covers;
        covers.append(TagLib::MP4::CoverArt(TagLib::MP4::CoverArt::JPEG, picture));
        f.tag()->setItem("covr", covers);
        return f.save();
    }
    TagLib::MPEG::File f(path, false);
    if (!f.isValid())
        return false;
    TagLib::ID3v2::Tag* tag = f.ID3v2Tag(true);
    tag->removeFrames("APIC");
    TagLib::ID3v2::AttachedPictureFrame* apic = new TagLib::ID3v2::AttachedPictureFrame();
    apic->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
    apic->setMimeType("image/jpeg");
    apic->setPicture(picture);
    tag->addFrame(apic);
    return f.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v4,
                  TagLib::File::DoNotDuplicate);
}

bool taglib_extract_cover(const char* path, bench_kind kind, const char* out_path) {
    taglib_tags tags;
    TagLib::ByteVector cover;
    return taglib_load(path, kind, &tags, &cover) && !cover.isEmpty() &&
           save_bytes(out_path, cover);
}
