// One object per thread, made on first use and destroyed when its thread
// ends: the scratch buffers and compressor states the library keeps warm
// between calls on its threads.
//
// Why not `thread_local`: mingw-w64's GCC keeps thread_local objects in
// emulated TLS and frees a thread's TLS block before running that thread's
// thread_local destructors, so each destructor reads freed memory and frees
// whatever pointer it finds there (heap corruption on Windows, seen as a
// rare crash on a library thread). A thread-specific key keeps only the
// object's address, which its destructor receives as an argument.
//
// Contract: declare one as a function-local `static`; Get() from any
// thread, never blocking; each thread sees its own T, default-constructed on
// its first Get() (which may throw what T's constructor throws). The key is
// never deleted: objects of threads still running at exit are not destroyed.
// Objects of the main thread are not destroyed at process exit either.
#pragma once

#include <pthread.h>

#include <new>

namespace travik {

template <class T>
class PerThread {
public:
    PerThread() {
        if (pthread_key_create(&m_key, &Destroy) != 0) throw std::bad_alloc();
    }
    PerThread(const PerThread&) = delete;
    PerThread& operator=(const PerThread&) = delete;

    T& Get() {
        if (void* p = pthread_getspecific(m_key)) return *static_cast<T*>(p);
        T* made = new T();
        if (pthread_setspecific(m_key, made) != 0) {
            delete made;
            throw std::bad_alloc();
        }
        return *made;
    }

private:
    static void Destroy(void* p) { delete static_cast<T*>(p); }

    pthread_key_t m_key;
};

}  // namespace travik
