// One database shared by several threads: get_file from many threads at once, and
// for_each_file_parallel with several thread counts, give entry by entry what one thread gets
// (the bytes or the error text), over every way of opening an archive, on sound archives of
// several shapes and on damaged ones; overlap decisions, stopping and exceptions of the parallel
// walk. The ThreadSanitizer build runs this test (label "concurrency").

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "quorvale_dat/database.hpp"
#include "quorvale_dat_builder/archive_builder.hpp"
#include "support/damaged_archives.hpp"
#include "support/record_content.hpp"

namespace quorvale_dat {
namespace {

using Bytes = std::vector<std::uint8_t>;
using build::Layout;
using Outcomes = std::map<std::uint32_t, std::string>;

// The ways of opening an archive: every test runs over each of them.
struct Opener {
  const char* name;
  std::function<Expected<DatDatabase, DatError>(const Bytes&, const build::TempFile&)> open;
};

const std::vector<Opener>& openers() {
  static const std::vector<Opener> all = {
      {"file", [](const Bytes&, const build::TempFile& f) { return DatDatabase::open(f.path()); }},
      {"memory", [](const Bytes& b, const build::TempFile&) { return DatDatabase::open_bytes(b); }},
      {"mapped",
       [](const Bytes&, const build::TempFile& f) {
         return DatDatabase::open(f.path(), OpenOptions{.map = true});
       }},
  };
  return all;
}

std::string outcome(const Expected<std::span<const std::uint8_t>, DatError>& r) {
  if (!r) return "error: " + r.error().summary();
  return "bytes: " + std::string(r->begin(), r->end());
}

std::string outcome(const Expected<std::vector<std::uint8_t>, DatError>& r) {
  if (!r) return "error: " + r.error().summary();
  return "bytes: " + std::string(r->begin(), r->end());
}

// One thread's results: for_each_file, serial.
Outcomes serial_outcomes(const DatDatabase& db) {
  Outcomes out;
  db.for_each_file(
      [&](const DatFileEntry& e, DatDatabase::FileResult r) { out.emplace(e.id, outcome(r)); });
  return out;
}

Outcomes parallel_outcomes(const DatDatabase& db, unsigned threads, const std::string& label) {
  Outcomes out;
  std::mutex m;
  db.for_each_file_parallel(
      [&](const DatFileEntry& e, DatDatabase::FileResult r) {
        std::string text = outcome(r);
        const std::scoped_lock lock(m);
        EXPECT_TRUE(out.emplace(e.id, std::move(text)).second) << label << ": " << e.id << " twice";
      },
      {.threads = threads});
  return out;
}

// get_file of every entry from `threads` threads at once, each taking every entry in its own
// order, against one thread's results.
void expect_get_file_agrees(const DatDatabase& db, const Outcomes& reference, unsigned threads,
                            const std::string& label) {
  std::vector<std::uint32_t> ids;
  for (const DatFileEntry& e : db.files()) ids.push_back(e.id);
  std::vector<Outcomes> seen(threads);
  {
    std::vector<std::jthread> pool;
    for (unsigned t = 0; t < threads; ++t) {
      pool.emplace_back([&, t] {
        for (std::size_t k = 0; k < ids.size(); ++k) {
          // Each thread from its own start; every other one backwards.
          const std::size_t at = (k + t * ids.size() / threads) % ids.size();
          const std::uint32_t id = ids[t % 2 == 0 ? at : ids.size() - 1 - at];
          seen[t].emplace(id, outcome(db.get_file(id)));
        }
      });
    }
  }
  for (unsigned t = 0; t < threads; ++t) {
    EXPECT_EQ(seen[t].size(), ids.size()) << label;
    for (const auto& [id, text] : seen[t]) {
      EXPECT_EQ(text, reference.at(id)) << label << ", get_file thread " << t << ", id " << id;
    }
  }
}

void expect_agreement(const Bytes& bytes, const std::string& label) {
  const build::TempFile file(bytes);
  for (const Opener& opener : openers()) {
    auto db = opener.open(bytes, file);
    if (!db) continue;  // the damage reached the directory
    const std::string where = label + ", " + opener.name;
    const Outcomes reference = serial_outcomes(*db);
    ASSERT_EQ(reference.size(), db->files().size()) << where;
    for (const unsigned threads : {1U, 2U, 3U, 8U}) {
      EXPECT_EQ(parallel_outcomes(*db, threads, where), reference)
          << where << ", " << threads << " threads";
    }
    expect_get_file_agrees(*db, reference, 4, where);
  }
}

using test_support::content;

Bytes archive(std::uint32_t block_size, Layout layout, std::size_t records, std::size_t mean) {
  std::vector<build::Record> list;
  std::uint64_t x = 0x9E3779B97F4A7C15ull * (records + block_size);
  for (std::size_t i = 0; i < records; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    const auto id = static_cast<std::uint32_t>(0x06000000 + i);
    const bool compressed = i % 3 == 0;
    list.push_back(
        {.id = id, .data = content(id, x % (2 * mean + 1), compressed), .compressed = compressed});
  }
  return build::build_archive(list, {.block_size = block_size, .layout = layout});
}

TEST(Concurrency, ThreadsAgreeWithOneThreadOnEveryShape) {
  struct Shape {
    const char* name;
    std::uint32_t block_size;
    Layout layout;
    std::size_t records;
    std::size_t mean_size;
  };
  const Shape shapes[] = {
      {"no records", 1024, Layout::Sequential, 0, 0},
      {"one record", 1024, Layout::Sequential, 1, 300},
      {"sequential, 1024-byte blocks, past several windows", 1024, Layout::Sequential, 2500, 1200},
      {"scattered, 256-byte blocks", 256, Layout::Scattered, 1500, 600},
  };
  for (const Shape& s : shapes) {
    expect_agreement(archive(s.block_size, s.layout, s.records, s.mean_size), s.name);
  }
}

TEST(Concurrency, ThreadsAgreeWithOneThreadOnDamagedArchives) {
  for (std::uint64_t seed = 1; seed <= 12; ++seed) {
    test_support::Damage damage(seed);
    expect_agreement(damage.damaged(), "damaged, seed " + std::to_string(seed));
  }
}

// Chains that share blocks: the parallel walk reports the entries for_each_file reports, before
// it hands out any record, on the calling thread, and never hands them out.
TEST(Concurrency, DecidesOverlapsAsTheSerialWalk) {
  build::ArchiveWriter w(256);
  const std::uint32_t a = w.add_chain(content(1, 1000, false));
  const std::uint32_t b = w.add_chain(content(2, 600, false));
  w.add_raw(Bytes(4000, 7));
  build::NodeSpec node;
  node.entries = {DatFileEntry{.id = 10, .offset = a, .size = 1000},
                  DatFileEntry{.id = 11, .offset = a, .size = 1000},
                  DatFileEntry{.id = 12, .offset = a + 512, .size = 400},
                  DatFileEntry{.id = 13, .offset = b, .size = 600}};
  node.entry_count = 4;
  w.header().root_offset = w.add_node(node);
  const Bytes bytes = w.finish();
  const build::TempFile file(bytes);
  for (const Opener& opener : openers()) {
    SCOPED_TRACE(opener.name);
    auto db = opener.open(bytes, file);
    ASSERT_TRUE(db);
    std::vector<std::uint32_t> serial_overlaps;
    Outcomes serial;
    db->for_each_file(
        [&](const DatFileEntry& e, DatDatabase::FileResult r) { serial[e.id] = outcome(r); },
        {.overlapping = [&](const DatFileEntry& e, const Overlap&) {
          serial_overlaps.push_back(e.id);
        }});
    ASSERT_EQ(serial_overlaps, (std::vector<std::uint32_t>{11, 12}));
    for (const unsigned threads : {1U, 2U, 4U}) {
      const std::thread::id caller = std::this_thread::get_id();
      std::mutex m;
      Outcomes parallel;
      std::vector<std::uint32_t> overlaps;
      bool visited_before_overlap = false;
      db->for_each_file_parallel(
          [&](const DatFileEntry& e, DatDatabase::FileResult r) {
            const std::scoped_lock lock(m);
            parallel[e.id] = outcome(r);
          },
          {.threads = threads}, {.overlapping = [&](const DatFileEntry& e, const Overlap&) {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            const std::scoped_lock lock(m);
            visited_before_overlap = visited_before_overlap || !parallel.empty();
            overlaps.push_back(e.id);
          }});
      EXPECT_EQ(overlaps, serial_overlaps) << threads;
      EXPECT_EQ(parallel, serial) << threads;
      EXPECT_FALSE(visited_before_overlap) << threads;
    }
  }
}

// A visitor that returns false at an entry: every entry before it in file order is still
// visited; one that throws: the walk stops and the exception comes out of the call.
TEST(Concurrency, StopsAndRethrows) {
  const Bytes bytes = archive(1024, Layout::Sequential, 3000, 900);
  const build::TempFile file(bytes);
  for (const Opener& opener : openers()) {
    SCOPED_TRACE(opener.name);
    auto db = opener.open(bytes, file);
    ASSERT_TRUE(db);
    std::vector<std::uint32_t> in_order;  // file order: the serial walk's
    db->for_each_file(
        [&](const DatFileEntry& e, DatDatabase::FileResult) { in_order.push_back(e.id); });
    ASSERT_EQ(in_order.size(), 3000u);
    for (const std::size_t stop : {std::size_t{0}, std::size_t{1700}, std::size_t{2999}}) {
      std::mutex m;
      std::map<std::uint32_t, int> seen;
      db->for_each_file_parallel(
          [&](const DatFileEntry& e, DatDatabase::FileResult) {
            const std::scoped_lock lock(m);
            ++seen[e.id];
            return e.id != in_order[stop];
          },
          {.threads = 4});
      for (std::size_t p = 0; p <= stop; ++p) {
        EXPECT_EQ(seen[in_order[p]], 1) << "stop at " << stop << ", position " << p;
      }
    }
    std::atomic<int> calls{0};
    EXPECT_THROW(db->for_each_file_parallel(
                     [&](const DatFileEntry&, DatDatabase::FileResult) {
                       if (++calls == 100) throw std::runtime_error("visitor");
                     },
                     {.threads = 3}),
                 std::runtime_error);
    EXPECT_LT(calls.load(), 3000);
  }
}

}  // namespace
}  // namespace quorvale_dat
