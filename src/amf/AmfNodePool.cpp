// CAmfValue's class-level allocation through a per-thread cache of freed
// node blocks; see AmfNodePool.h for why.
#include "amf/AmfNodePool.h"

#include <new>

#include "amf/Amf.h"

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

// Trivially destructible and constant-initialised, so it stays usable up to
// the very end of its thread: a message destroyed by a later thread_local or
// static destructor still finds it, marked released, and frees directly.
struct Cache {
    void* blocks[kMaxCached];
    size_t count;
    bool armed;     // the thread's Releaser will run
    bool released;  // the thread is ending: cache nothing more
};
thread_local Cache t_cache{};

// Releases the cached blocks when the thread ends. It is touched only when
// the first block is cached, which registers its destructor for this thread.
struct Releaser {
    bool armed = false;
    ~Releaser() {
        if (!armed)
            return;
        Cache& cache = t_cache;
        cache.released = true;
        while (cache.count > 0) {
            void* block = cache.blocks[--cache.count];
            Unpoison(block);
            ::operator delete(block);
        }
    }
};
thread_local Releaser t_releaser;

}  // namespace

void* CAmfValue::operator new(size_t size) {
    Cache& cache = t_cache;
    if (size == sizeof(CAmfValue) && cache.count > 0) {
        void* block = cache.blocks[--cache.count];
        Unpoison(block);
        return block;
    }
    return ::operator new(size);
}

void CAmfValue::operator delete(void* block, size_t size) noexcept {
    if (block == nullptr)
        return;
    Cache& cache = t_cache;
    if (size != sizeof(CAmfValue) || cache.count == kMaxCached || cache.released) {
        ::operator delete(block);
        return;
    }
    if (!cache.armed) {
        t_releaser.armed = true;
        cache.armed = true;
    }
    Poison(block);
    cache.blocks[cache.count++] = block;
}

namespace amf::node_pool {

size_t CachedCount() noexcept {
    return t_cache.count;
}

}  // namespace amf::node_pool
