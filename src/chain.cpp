// Reading a record's stored bytes: its block chain, through ChainReader.

#include "chain_reader.hpp"

namespace quorvale_dat {

Expected<std::vector<std::uint8_t>, DatError> DatDatabase::read_file_data(
    std::uint32_t offset, std::uint32_t size) const {
  if (size == 0) return std::vector<std::uint8_t>{};
  std::vector<std::uint8_t> out(detail::ChainReader::buffer_size(size, file_size_));
  auto n = detail::ChainReader({file_, header_.block_size, file_size_}, offset, size, out).read();
  if (!n) return Unexpected(std::move(n.error()));
  out.resize(*n);
  return out;
}

}  // namespace quorvale_dat
