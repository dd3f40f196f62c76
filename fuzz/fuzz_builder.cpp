// Turns the fuzz input into an archive description (block size, layout, tree fan-out, records
// plain or compressed), builds the archive, and reads it back: every record must come back
// exactly. Inputs that also ask for a few corrupted bytes must merely fail cleanly.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <map>
#include <vector>

#include "quorvale_dat/quorvale_dat.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"

namespace qd = quorvale_dat;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  qd::build::ArchiveOptions options;
  options.block_size = in.ConsumeBool() ? in.PickValueInArray<std::uint32_t>({64, 256, 1024})
                                        : in.ConsumeIntegralInRange<std::uint32_t>(8, 4096);
  options.layout = in.ConsumeBool() ? qd::build::Layout::Scattered : qd::build::Layout::Sequential;
  options.seed = in.ConsumeIntegral<std::uint64_t>();
  options.entries_per_node = in.ConsumeIntegralInRange<std::uint32_t>(1, 61);

  std::map<std::uint32_t, qd::build::Record> records;
  const auto count = in.ConsumeIntegralInRange<std::size_t>(0, 300);
  for (std::size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
    qd::build::Record r;
    r.id = in.ConsumeIntegral<std::uint32_t>();
    r.compressed = in.ConsumeBool();
    const auto length = in.ConsumeIntegralInRange<std::size_t>(0, 3000);
    if (in.ConsumeBool()) {
      // Repetitive content, as textures and palettes are, so that compression has work to do.
      const auto pattern = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(1, 8));
      if (!pattern.empty()) {
        for (std::size_t k = 0; k < length; ++k) r.data.push_back(pattern[k % pattern.size()]);
      }
    } else {
      r.data = in.ConsumeBytes<std::uint8_t>(length);
    }
    records[r.id] = std::move(r);
  }
  std::vector<qd::build::Record> list;
  for (auto& [id, r] : records) list.push_back(r);

  auto archive = qd::build::build_archive(list, options);

  const auto pokes = in.ConsumeIntegralInRange<int>(0, 3);
  for (int i = 0; i < pokes && !archive.empty(); ++i) {
    const auto at = in.ConsumeIntegralInRange<std::size_t>(0, archive.size() - 1);
    archive[at] = in.ConsumeIntegral<std::uint8_t>();
  }

  auto db = qd::DatDatabase::open_bytes(archive);
  if (pokes == 0) {
    if (!db || db->files().size() != list.size()) __builtin_trap();
    for (const auto& r : list) {
      auto bytes = db->get_file(r.id);
      if (!bytes || *bytes != r.data) __builtin_trap();
    }
    return 0;
  }
  if (db) {
    for (const auto& entry : db->files()) (void)db->get_file(entry.id);
  }
  return 0;
}
