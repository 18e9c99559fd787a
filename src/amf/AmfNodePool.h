// Memory for CAmfValue nodes: a per-thread cache of freed node blocks.
//
// Every decoded value is one node, created during Decode and freed with its
// message, so a receive loop asks for and returns the same few hundred blocks
// over and over. At 136 bytes a node is just above glibc's fast bins: beyond
// the handful its per-thread cache holds, each free takes the coalescing path
// and each allocation the search after it. The cache keeps up to kMaxCached
// freed blocks per thread and hands them out again last-in first-out; blocks
// beyond that, and blocks of any other size (a class derived from CAmfValue),
// go straight to the global allocator. A block freed on another thread than
// the one that allocated it simply joins the freeing thread's cache: every
// block is an ordinary global-allocator block. A thread's cached blocks are
// released when the thread ends.
//
// In AddressSanitizer builds a cached block is poisoned, so a use after free
// of a node (a double delete included: it runs the destructor first) is
// still reported.
#pragma once

#include <cstddef>

namespace amf::node_pool {

// About 35 KB per thread that decodes: enough for the nodes of a message of
// a few hundred values, which is far more than the helper's commands hold.
constexpr size_t kMaxCached = 256;

// CAmfValue's operator new and operator delete are the only way in and out
// (AmfNodePool.cpp). Blocks in the calling thread's cache, for tests:
size_t CachedCount() noexcept;

}  // namespace amf::node_pool
