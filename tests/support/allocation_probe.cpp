// Replaces the global allocation functions of a test executable to record the largest request.
#include <atomic>
#include <cstdlib>
#include <new>

#include "support/decoder_test_support.hpp"

namespace {

std::atomic<std::size_t> g_largest{0};

}  // namespace

namespace quorvale_dat::test_support {

void reset_largest_allocation() noexcept { g_largest = 0; }
std::size_t largest_allocation() noexcept { return g_largest.load(); }

}  // namespace quorvale_dat::test_support

void* operator new(std::size_t size) {
  std::size_t seen = g_largest.load(std::memory_order_relaxed);
  while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

// Kept out of line so that the compiler does not pair an inlined free() with operator new.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
