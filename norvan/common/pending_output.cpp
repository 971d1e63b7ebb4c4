#include "norvan/common/pending_output.hpp"

#include "norvan/common/input.hpp"

#include <utility>

namespace norvan {

PendingOutput::PendingOutput(FileWriter& output, std::string purpose)
    : output_(output), purpose_(std::move(purpose)) {}

void PendingOutput::write(ByteView piece) {
  // The destination is opened at the first piece, as FileWriter would open it.
  if (!in_place_) in_place_ = output_.writes_in_place();
  if (!*in_place_) return output_.write(piece);
  if (!spool_ && memory_.size() + piece.size() <= kSmallFileLimit) {
    memory_.insert(memory_.end(), piece.begin(), piece.end());
    return;
  }
  if (!spool_) {
    spool_.emplace(purpose_);
    spool_->write(memory_);
    Bytes().swap(memory_);
  }
  spool_->write(piece);
}

void PendingOutput::release() {
  if (spool_) {
    spool_->rewind();
    Bytes buffer(std::size_t{1} << 17);
    while (const std::size_t count = spool_->read(buffer)) output_.write(ByteView(buffer).first(count));
    spool_.reset();
  } else if (!memory_.empty()) {
    output_.write(memory_);
    Bytes().swap(memory_);
  }
}

void PendingOutput::commit(DirectoryFlush flush) {
  release();
  output_.commit(flush);
}

}  // namespace norvan
