#include "norvan/signing/mime/reserved_bytes.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace norvan::signing::mime::detail {
namespace {

// Advises the kernel to back the storage of `bytes` (capacity already reserved) with huge
// pages. Fresh memory is otherwise mapped one 4 KiB page at a time on first write, which on
// large results costs several times the work itself. Only for blocks that malloc serves
// straight from mmap (the largest dynamic threshold is 32 MiB), so heap memory is never
// advised; the advice changes no contents and failure is harmless.
void advise_huge_pages(Bytes& bytes) {
#ifdef MADV_HUGEPAGE
  constexpr std::size_t kMinimumSize = 32U << 20;
  constexpr std::uintptr_t kHugePage = 2U << 20;
  if (bytes.capacity() < kMinimumSize) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(bytes.data());
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + bytes.capacity()) & ~(kHugePage - 1);
  if (first < last) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)bytes;
#endif
}

}  // namespace

Bytes reserved_bytes(std::size_t size) {
  Bytes bytes;
  bytes.reserve(size);
  advise_huge_pages(bytes);
  return bytes;
}
}  // namespace norvan::signing::mime::detail
