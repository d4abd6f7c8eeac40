#pragma once
// Counts the heap allocations a thread makes while it asks for counting: the
// check that audio code allocates nothing. It replaces the global operator
// new, so include it in exactly one file of a test program.
#include <atomic>
#include <cstdlib>
#include <new>

namespace {
thread_local bool tCountAllocations = false;
std::atomic<long> gAllocations{0};
} // namespace

void* operator new(std::size_t n)
{
    if (tCountAllocations) gAllocations.fetch_add(1);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n)
{
    if (tCountAllocations) gAllocations.fetch_add(1);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
// The nothrow forms too: code under test that uses them must meet the same
// delete as every other allocation (and be counted like it).
void* operator new(std::size_t n, const std::nothrow_t&) noexcept
{
    if (tCountAllocations) gAllocations.fetch_add(1);
    return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept
{
    if (tCountAllocations) gAllocations.fetch_add(1);
    return std::malloc(n ? n : 1);
}
// Kept out of line: inlined, the compiler would see free() meet operator new.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
