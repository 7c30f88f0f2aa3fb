/*
 * tile_cache.cpp - the decoded-tile cache: one mutex around a map and an LRU
 * list; decoding itself runs outside the mutex.
 */
#include "nvxlib/tile_cache.h"

namespace nvx {

DecodedTilePtr TileCache::Get(uint64_t key, size_t bytes,
                              const std::function<DecodedTilePtr()>& decode) {
    std::promise<DecodedTilePtr> promise;
    std::shared_future<DecodedTilePtr> existing;
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(key);
        if (it != entries_.end()) {
            lru_.splice(lru_.begin(), lru_, it->second.lru);
            existing = it->second.tile;
        } else {
            lru_.push_front(key);
            entries_.emplace(key, Entry{promise.get_future().share(), bytes, lru_.begin()});
            held_ += bytes;
            EvictLocked();
        }
    }
    // Wait outside the lock; a tile in flight is finished by its decoder.
    if (existing.valid()) return existing.get();

    DecodedTilePtr result;
    try {
        result = decode();
    } catch (...) {
        result = nullptr;  // out of memory while decoding: treat as a failed tile
    }
    promise.set_value(result);
    return result;
}

void TileCache::EvictLocked() {
    // Never evict the entry just added (the front), so a budget smaller than
    // one tile still works.
    while (held_ > budget_ && lru_.size() > 1) {
        const uint64_t victim = lru_.back();
        lru_.pop_back();
        auto it = entries_.find(victim);
        held_ -= it->second.bytes;
        entries_.erase(it);
    }
}

size_t TileCache::BytesHeld() const {
    std::lock_guard lock(mutex_);
    return held_;
}

}  // namespace nvx
