/*
 * NvxSlideLib.h - the C interface of the nvx slide library.
 *
 * The converter loads the library at run time and looks every entry point
 * up by name; our own library (libNvxSlideLib.so) and the test fake export
 * exactly these symbols with C linkage.
 *
 * Yes/no results are one byte, nonzero for yes; the two picture fetches
 * answer with one of the NVX_PICTURE_ results instead. Every buffer a fetch hands
 * out belongs to the library until it is given to NvxReleaseBuffer, once.
 * Fetches may be called from many threads at once on one open slide.
 */
#ifndef NVX_SLIDE_LIB_H
#define NVX_SLIDE_LIB_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(NVX_SLIDE_LIB_BUILD)
#define NVX_API __declspec(dllexport)
#else
#define NVX_API __declspec(dllimport)
#endif
#else
#define NVX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle of an open slide. */
typedef int32_t NvxSlideHandle;

/* Pixel format of NvxFetchRegion. */
enum { NVX_FORMAT_RGB = 0, NVX_FORMAT_JPEG = 1 };

/* Results of NvxFetchLabel and NvxFetchPreview. A slide either has no such
 * picture (NONE, no buffer), or has one that is handed over (DELIVERED), or
 * has one that cannot be read now: damaged on disk, unreadable, or no memory
 * to hold it (UNREADABLE, no buffer). Callers tell "the slide has no label"
 * from "the slide's label is lost" by this result alone, and treat any other
 * value without a buffer as NONE. */
enum { NVX_PICTURE_NONE = 0, NVX_PICTURE_DELIVERED = 1, NVX_PICTURE_UNREADABLE = 2 };

/* Results of NvxLastFetchFailure: why the calling thread's last NvxFetchTile
 * or NvxFetchRegion gave no buffer. DELIVERED: it gave one (or there was no
 * fetch yet). UNREADABLE: the slide cannot give what was asked (outside the
 * slide, a bad argument, a damaged stream, or a stored stream that does not
 * carry its own tables), and asking again changes nothing. OUT_OF_MEMORY:
 * the library could not get the memory to make it; nothing is wrong with
 * the slide. */
enum { NVX_FETCH_DELIVERED = 0, NVX_FETCH_UNREADABLE = 1, NVX_FETCH_OUT_OF_MEMORY = 2 };

NVX_API uint8_t NvxOpenSlide(NvxSlideHandle* slide, const char* path);
NVX_API uint8_t NvxQuerySlide(NvxSlideHandle slide, int32_t* height, int32_t* width,
                              int32_t* scanMagnification, float* auxFloat, double* auxDouble,
                              float* micronsPerPixel, int32_t* tileSize);
NVX_API uint8_t NvxFetchTile(NvxSlideHandle* slide, float scale, int32_t x, int32_t y,
                             int32_t* length, uint8_t** buffer);
NVX_API uint8_t NvxFetchRegion(NvxSlideHandle slide, float scale, int32_t x, int32_t y,
                               int32_t width, int32_t height, uint8_t** buffer, int32_t* length,
                               int32_t format);
NVX_API uint8_t NvxFetchPreview(NvxSlideHandle slide, uint8_t** buffer, int32_t* length,
                                int32_t* width, int32_t* height);
NVX_API uint8_t NvxFetchLabel(NvxSlideHandle slide, uint8_t** buffer, int32_t* length,
                              int32_t* width, int32_t* height);
NVX_API void NvxReleaseBuffer(uint8_t* buffer);
NVX_API uint8_t NvxCloseSlide(NvxSlideHandle* slide);

/* Why the last NvxOpenSlide of the calling thread said no: the reason is
 * copied into `text` (NUL-terminated, cut to `capacity` bytes) and its full
 * length in bytes returned; 0 when that open succeeded or there was none.
 * Beyond the eight entry points above, which every slide library has:
 * callers look it up and do without it when it is missing. */
NVX_API int32_t NvxOpenFailureReason(char* text, int32_t capacity);

/* Why the calling thread's last NvxFetchTile or NvxFetchRegion said no, as
 * one of the NVX_FETCH_ results. Like NvxOpenFailureReason, beyond the
 * eight: callers that find it missing take every fetch without a buffer for
 * UNREADABLE. */
NVX_API int32_t NvxLastFetchFailure(void);

/* Results of NvxSlideDigest. */
enum {
    NVX_DIGEST_DELIVERED = 0,
    NVX_DIGEST_NO_SLIDE = 1,     /* the handle names no open slide */
    NVX_DIGEST_BAD_ARGUMENT = 2, /* no buffer, or one shorter than NVX_DIGEST_BYTES */
    NVX_DIGEST_FAILED = 3        /* the library could not make it (a read failed, no memory) */
};
enum { NVX_DIGEST_BYTES = 32 };

/* A digest of the open slide's content, written to the first
 * NVX_DIGEST_BYTES bytes of `digest`: SHA-256 over the header's values
 * and the bytes of each picture and of every stored tile, in the order the
 * index gives them. It reads the whole slide. Where the streams lie in the
 * file is left out: the same content laid out differently gives the same
 * digest, and slides that differ in any stored byte give different ones
 * (a CRC-32 alone would not tell them apart: four bytes forge it).
 * NVX_DIGEST_FAILED when a read fails or memory runs out. Like
 * NvxOpenFailureReason, beyond the eight: callers that find it missing
 * have no digest of the slide. */
NVX_API int32_t NvxSlideDigest(NvxSlideHandle slide, uint8_t* digest, int32_t capacity);

/* Function types, for callers that resolve the entry points by name. */
typedef uint8_t (*NvxOpenSlideFn)(NvxSlideHandle*, const char*);
typedef uint8_t (*NvxQuerySlideFn)(NvxSlideHandle, int32_t*, int32_t*, int32_t*, float*, double*,
                                   float*, int32_t*);
typedef uint8_t (*NvxFetchTileFn)(NvxSlideHandle*, float, int32_t, int32_t, int32_t*, uint8_t**);
typedef uint8_t (*NvxFetchRegionFn)(NvxSlideHandle, float, int32_t, int32_t, int32_t, int32_t,
                                    uint8_t**, int32_t*, int32_t);
typedef uint8_t (*NvxFetchPictureFn)(NvxSlideHandle, uint8_t**, int32_t*, int32_t*, int32_t*);
typedef void (*NvxReleaseBufferFn)(uint8_t*);
typedef uint8_t (*NvxCloseSlideFn)(NvxSlideHandle*);
typedef int32_t (*NvxOpenFailureReasonFn)(char*, int32_t);
typedef int32_t (*NvxLastFetchFailureFn)(void);
typedef int32_t (*NvxSlideDigestFn)(NvxSlideHandle, uint8_t*, int32_t);

#ifdef __cplusplus
}
#endif

#endif /* NVX_SLIDE_LIB_H */
