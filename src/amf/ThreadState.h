// Per-thread state of the codec's caches: one T per thread, made on first
// use, destroyed when its thread ends.
//
// The object lives on the heap and is destroyed through a POSIX
// thread-specific key, not as a C++ thread_local object: with mingw-w64's
// emulated TLS a thread's thread_local storage can be freed before the
// destructors of the objects in it run, so a thread_local cache would be
// torn down from freed memory. A key's destructor gets the object's pointer
// as its argument and touches no thread-local storage to find it.
//
// Only a plain pointer and a flag are thread_local (trivially destructible,
// constant-initialised), for the fast path. Once the thread's object is
// gone, Get() returns null for the rest of the thread, so a message freed
// later by another exit-time destructor frees straight to the heap. Where
// the platform has already dropped the thread's TLS too, a late call may
// make a second object; the key's repeated destructor passes, or at worst
// the thread's end, take it away.
#pragma once

#include <pthread.h>

#include <new>

namespace amf {

template <class T>
class ThreadState {
public:
    // The calling thread's object; null while its thread is ending.
    static T* Get() {
        if (t_state != nullptr || t_ending) {
            return t_state;
        }
        return Make();
    }
    // The calling thread's object if it has one; never makes one.
    static T* Find() { return t_state; }

private:
    static T* Make() {
        static const Key key;
        if (!key.valid) {
            return nullptr;  // no keys left: run without a cache
        }
        T* state = new (std::nothrow) T;
        if (state == nullptr) {
            return nullptr;
        }
        if (pthread_setspecific(key.key, state) != 0) {
            delete state;
            return nullptr;
        }
        t_state = state;
        return state;
    }

    static void Destroy(void* state) {
        t_state = nullptr;
        t_ending = true;
        delete static_cast<T*>(state);
    }

    // Made once per process and never deleted: threads may end at any time.
    struct Key {
        pthread_key_t key{};
        bool valid = pthread_key_create(&key, &ThreadState::Destroy) == 0;
    };

    static inline thread_local constinit T* t_state = nullptr;
    static inline thread_local constinit bool t_ending = false;
};

}  // namespace amf
