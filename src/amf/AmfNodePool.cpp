// CAmfValue's class-level allocation through a per-thread cache of freed
// node blocks; see AmfNodePool.h for why.
#include "amf/AmfNodePool.h"

#include <new>

#include "amf/Amf.h"
#include "amf/ThreadState.h"

#if defined(__SANITIZE_ADDRESS__)
#define TUNARA_AMF_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TUNARA_AMF_ASAN 1
#endif
#endif

#ifdef TUNARA_AMF_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

using amf::node_pool::kMaxCached;

// A cached block is not a live node; AddressSanitizer reports any touch.
void Poison([[maybe_unused]] void* block) {
#ifdef TUNARA_AMF_ASAN
    ASAN_POISON_MEMORY_REGION(block, sizeof(CAmfValue));
#endif
}

void Unpoison([[maybe_unused]] void* block) {
#ifdef TUNARA_AMF_ASAN
    ASAN_UNPOISON_MEMORY_REGION(block, sizeof(CAmfValue));
#endif
}

// The cached blocks of one thread, released when the thread ends.
struct NodeCache {
    void* blocks[kMaxCached];
    size_t count = 0;

    NodeCache() = default;
    NodeCache(const NodeCache&) = delete;
    NodeCache& operator=(const NodeCache&) = delete;
    ~NodeCache() {
        while (count > 0) {
            void* block = blocks[--count];
            Unpoison(block);
            ::operator delete(block);
        }
    }
};

using NodeCacheState = amf::ThreadState<NodeCache>;

}  // namespace

void* CAmfValue::operator new(size_t size) {
    NodeCache* cache = NodeCacheState::Find();
    if (size == sizeof(CAmfValue) && cache != nullptr && cache->count > 0) {
        void* block = cache->blocks[--cache->count];
        Unpoison(block);
        return block;
    }
    return ::operator new(size);
}

void CAmfValue::operator delete(void* block, size_t size) noexcept {
    if (block == nullptr) {
        return;
    }
    NodeCache* cache = size == sizeof(CAmfValue) ? NodeCacheState::Get() : nullptr;
    if (cache == nullptr || cache->count == kMaxCached) {
        ::operator delete(block);
        return;
    }
    Poison(block);
    cache->blocks[cache->count++] = block;
}

namespace amf::node_pool {

size_t CachedCount() noexcept {
    const NodeCache* cache = NodeCacheState::Find();
    return cache != nullptr ? cache->count : 0;
}

}  // namespace amf::node_pool
