#include "quorvale_dat/header.hpp"

#include "file_cursor.hpp"
#include "opening.hpp"

namespace quorvale_dat {
namespace {

template <class Cursor>
ParseResult<DatHeader> read_fields(Cursor& cursor) {
  RecordReader r(cursor, "DatHeader");
  DatHeader h;
  h.magic = r.template read<std::uint32_t>("magic");
  h.block_size = r.template read<std::uint32_t>("block_size");
  h.file_size = r.template read<std::uint32_t>("file_size");
  h.dataset = r.template read<std::uint32_t>("dataset");
  h.subset = r.template read<std::uint32_t>("subset");
  h.free_head = r.template read<std::uint32_t>("free_head");
  h.free_tail = r.template read<std::uint32_t>("free_tail");
  h.free_count = r.template read<std::uint32_t>("free_count");
  h.root_offset = r.template read<std::uint32_t>("root_offset");
  h.new_lru = r.template read<std::uint32_t>("new_lru");
  h.old_lru = r.template read<std::uint32_t>("old_lru");
  h.use_lru = r.template read<std::uint32_t>("use_lru");
  h.master_map_id = r.template read<std::uint32_t>("master_map_id");
  h.engine_version = r.template read<std::uint32_t>("engine_version");
  h.game_version = r.template read<std::uint32_t>("game_version");
  h.version_string = r.bytes("version_string", format::kVersionStringSize);
  h.version_minor = r.template read<std::uint32_t>("version_minor");
  return r.finish(std::move(h));
}

}  // namespace

ParseResult<DatHeader> DatHeader::read(SpanCursor& cursor) { return read_fields(cursor); }

ParseResult<DatHeader> detail::read_header(FileCursor& cursor) { return read_fields(cursor); }

}  // namespace quorvale_dat
