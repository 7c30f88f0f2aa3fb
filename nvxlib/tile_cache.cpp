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
    uint64_t serial = 0;
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(key);
        if (it != entries_.end()) {
            lru_.splice(lru_.begin(), lru_, it->second.lru);
            existing = it->second.tile;
        } else {
            serial = nextSerial_++;
            lru_.push_front(key);
            try {
                entries_.emplace(key,
                                 Entry{promise.get_future().share(), bytes, lru_.begin(), serial});
            } catch (...) {
                lru_.pop_front();
                throw;
            }
            held_ += bytes;
            EvictLocked();
        }
    }
    // Wait outside the lock; a tile in flight is finished by its decoder.
    if (existing.valid()) return existing.get();

    try {
        DecodedTilePtr result = decode();
        promise.set_value(result);
        return result;
    } catch (...) {
        // Out of memory is no property of the tile: it is forgotten, so that
        // a later fetch decodes it again, and those waiting fail the same way.
        {
            std::lock_guard lock(mutex_);
            auto it = entries_.find(key);
            if (it != entries_.end() && it->second.serial == serial) EraseLocked(it);
        }
        promise.set_exception(std::current_exception());
        throw;
    }
}

void TileCache::EvictLocked() {
    // Never evict the entry just added (the front), so a budget smaller than
    // one tile still works.
    while (held_ > budget_ && lru_.size() > 1) EraseLocked(entries_.find(lru_.back()));
}

void TileCache::EraseLocked(std::unordered_map<uint64_t, Entry>::iterator entry) {
    held_ -= entry->second.bytes;
    lru_.erase(entry->second.lru);
    entries_.erase(entry);
}

size_t TileCache::BytesHeld() const {
    std::lock_guard lock(mutex_);
    return held_;
}

}  // namespace nvx
