#include <cstdlib>

#include "travik/travik.h"

template <class T>
T* volatile Singleton<T>::s_ins = nullptr;

template <class T>
std::mutex Singleton<T>::s_mtx;

namespace {
// The unlocked first test of the double-checked creation must be an atomic
// read, or it races with the store made under the lock.
template <class T>
T* LoadInstance(T* volatile* slot) {
    return __atomic_load_n(slot, __ATOMIC_ACQUIRE);
}
template <class T>
void StoreInstance(T* volatile* slot, T* value) {
    __atomic_store_n(slot, value, __ATOMIC_RELEASE);
}
}  // namespace

template <class T>
T* Singleton<T>::GetInstance() {
    T* ins = LoadInstance(&s_ins);
    if (ins) return ins;
    std::lock_guard<std::mutex> lock(s_mtx);
    ins = LoadInstance(&s_ins);
    if (!ins) {
        ins = new T;
        StoreInstance(&s_ins, ins);
        std::atexit(Destory);
    }
    return ins;
}

template <class T>
void Singleton<T>::Destory() {
    T* ins = LoadInstance(&s_ins);
    delete ins;
    StoreInstance<T>(&s_ins, nullptr);
}

template class Singleton<TravikMgr>;
