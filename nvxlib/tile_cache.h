/*
 * tile_cache.h - a bounded, thread-safe cache of decoded tiles (packed RGB).
 *
 * Region fetches from many threads touch the same stored tiles again and
 * again (neighbouring regions share tiles at their edges). The cache makes
 * each tile decode once: the first thread to ask decodes it while later
 * askers wait on the same shared future instead of decoding it too. Least
 * recently used tiles are dropped when the byte budget is exceeded; a
 * dropped tile stays alive for threads that still hold it.
 */
#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "nvxlib/jpeg_codec.h"

namespace nvx {

struct DecodedTile {
    JpegSize size;
    std::vector<uint8_t> rgb;
};

using DecodedTilePtr = std::shared_ptr<const DecodedTile>;

class TileCache {
public:
    explicit TileCache(size_t byteBudget) : budget_(byteBudget) {}

    // The cached tile for `key`, or the result of `decode` (run once, by the
    // first caller). A failed decode (nullptr) is remembered like a success:
    // a damaged tile stays damaged. A decode that throws (memory ran out) is
    // not: its exception reaches the caller and everyone who waited on it,
    // and the next Get decodes again.
    DecodedTilePtr Get(uint64_t key, size_t bytes, const std::function<DecodedTilePtr()>& decode);

    size_t BytesHeld() const;

private:
    struct Entry {
        std::shared_future<DecodedTilePtr> tile;
        size_t bytes = 0;
        std::list<uint64_t>::iterator lru;
        uint64_t serial = 0;  // tells this entry from a later one of the same key
    };

    void EvictLocked();
    void EraseLocked(std::unordered_map<uint64_t, Entry>::iterator entry);

    mutable std::mutex mutex_;
    size_t budget_;
    size_t held_ = 0;
    uint64_t nextSerial_ = 0;
    std::list<uint64_t> lru_;  // front: most recently used
    std::unordered_map<uint64_t, Entry> entries_;
};

}  // namespace nvx
