// One growable array for plain data, for every list that grows with what a
// run meets (machines heard, datagrams waiting, lines of a list file). It
// lives on malloc and realloc rather than std::vector, so that nothing of
// the C++ runtime library's exceptions comes in with it (a megabyte and
// more of a small program's memory). A pointer into it lasts until the next
// push; keep indices.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdlib>

template <typename T>
struct Array {
    T* items = nullptr;
    size_t count = 0, cap = 0;
    T& operator[](size_t i) { return items[i]; }
    const T& operator[](size_t i) const { return items[i]; }
    T* begin() { return items; }
    T* end() { return items + count; }
    const T* begin() const { return items; }
    const T* end() const { return items + count; }
};

// Room for at least `want` items. False when no memory was left (the array
// is then as it was); an index must fit an int.
template <typename T>
bool Reserve(Array<T>& a, size_t want) {
    if (want <= a.cap) return true;
    size_t cap = a.cap != 0 ? a.cap : 64;
    while (cap < want) cap *= 2;
    if (cap > static_cast<size_t>(INT_MAX)) return false;
    void* grown = realloc(a.items, cap * sizeof(T));
    if (grown == nullptr) return false;
    a.items = static_cast<T*>(grown);
    a.cap = cap;
    return true;
}

// Appends item; false when no memory was left for it.
template <typename T>
bool Push(Array<T>& a, const T& item) {
    if (!Reserve(a, a.count + 1)) return false;
    a.items[a.count++] = item;
    return true;
}

template <typename T>
void Release(Array<T>& a) {
    free(a.items);
    a = Array<T>{};
}
