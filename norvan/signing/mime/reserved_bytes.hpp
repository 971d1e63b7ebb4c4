#pragma once
// Byte strings reserved at their final size before they are filled.

#include "norvan/common/bytes.hpp"

#include <cstddef>

namespace norvan::signing::mime::detail {

/// Returns an empty byte string with room for `size` bytes. Large ones are backed by huge
/// pages where the kernel offers them: fresh memory is otherwise mapped one 4 KiB page at a
/// time on first write, which on large results costs several times the work itself.
Bytes reserved_bytes(std::size_t size);

}  // namespace norvan::signing::mime::detail
