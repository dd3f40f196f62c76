#include "block_chain.hpp"

#include <string>

#include "text.hpp"

namespace quorvale_dat::detail {

ChainFailure ChainCursor::failure(Fault fault) const {
  ChainFailure f;
  f.chain = start_;
  f.block = current_;
  f.supplied = written_;
  const auto corruption = [](std::string text) { return DatError(DatError::Corruption{text}); };
  const std::uint32_t n = taking_;
  switch (fault) {
    case Fault::None:
    case Fault::BlockOffset:
      f.step = ChainStep::BlockOffset;
      f.read_offset = current_;
      f.read_size = format::kBlockPointerSize;
      f.error = corruption("block at offset " + hex8(current_) + " leaves no room for its payload");
      break;
    case Fault::PointerPastEnd:
      f.step = ChainStep::Pointer;
      f.read_offset = current_;
      f.read_size = format::kBlockPointerSize;
      f.error = IoError::short_read();
      break;
    case Fault::Geometry:
      f.step = ChainStep::Geometry;
      f.read_offset = payload_offset();
      f.error =
          corruption("block size " + std::to_string(g_.block_size) +
                     " leaves no room for a payload (block at offset " + hex8(current_) + ")");
      break;
    case Fault::BlockCount:
      f.step = ChainStep::BlockCount;
      f.read_offset = current_;
      f.error = corruption("block chain at offset " + hex8(start_) +
                           " visits more blocks than the file holds");
      break;
    case Fault::PayloadPastEnd:
    case Fault::RestPastEnd:
      f.step = fault == Fault::PayloadPastEnd ? ChainStep::Payload : ChainStep::LastBlockRest;
      f.read_offset = payload_offset();
      f.read_size = n;
      f.error = IoError::short_read();
      break;
    case Fault::Supply:
      f.step = ChainStep::Supply;
      f.read_offset = payload_offset();
      f.read_size = n;
      f.error = corruption("block chain at offset " + hex8(start_) +
                           " supplies more bytes than the file holds");
      break;
  }
  return f;
}

ChainFailure ChainCursor::read_failure(ChainStep step, std::uint64_t offset, std::uint64_t size,
                                       IoError error) const {
  ChainFailure f;
  f.step = step;
  f.chain = start_;
  f.block = current_;
  f.read_offset = offset;
  f.read_size = size;
  f.supplied = written_;
  f.error = std::move(error);
  return f;
}

DatError located_error(ChainFailure failure, std::uint64_t file_size) {
  DatError error = std::move(failure.error);
  const bool beyond = failure.block >= file_size;
  error.set_place(failure.block == failure.chain
                      ? "the chain at " + hex8(failure.chain)
                      : "block " + hex8(failure.block) + " of the chain at " + hex8(failure.chain));
  error.set_data_end(file_size, beyond);
  return error;
}

}  // namespace quorvale_dat::detail
