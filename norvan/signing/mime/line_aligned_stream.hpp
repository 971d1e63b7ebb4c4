#pragma once
// The stream that GMime's parser reads a message from: whole lines wherever it can.

#include "norvan/signing/mime/gmime.hpp"

#include <cstddef>

namespace norvan::signing::mime::detail {

/// Returns how many of the `size` bytes at `data` (size > 0) to hand GMime's parser in one
/// read: up to and including the last line feed; without one, as many as leave the next read
/// starting with anything but "--" (all of them when no such place exists).
std::size_t line_aligned_length(const char* data, std::size_t size) noexcept;

/// Returns a stream that reads `inner` (seekable; it takes a reference of its own) but ends
/// each read where line_aligned_length says, and seeks `inner` back over the rest.
///
/// GMime 3.2's parser takes the first byte of each read as the start of a line once it has
/// passed on more than 128 bytes of a line that the previous read cut off, so a "--boundary"
/// that a read happens to begin with ends the part even in the middle of a line. Reads that
/// end at line ends leave no line cut off, except lines longer than a read, and those are cut
/// off before a byte that cannot begin a delimiter. Substreams (the parts' contents) are those
/// of `inner`, so they are read, and recognised, as before.
GObjectPtr<GMimeStream> line_aligned_stream(GMimeStream* inner);

}  // namespace norvan::signing::mime::detail
