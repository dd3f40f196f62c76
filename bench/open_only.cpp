// bench_open_only ARCHIVE
//
// Opens the archive and ends: the baseline of dump_surface_80003e4's whole run in bench_tool.
// Built like the tool, so that the two differ only in what the tool does after opening.
#include <cstdio>

#include "quorvale_dat/database.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: bench_open_only ARCHIVE\n", stderr);
    return 2;
  }
  auto db = quorvale_dat::DatDatabase::open(argv[1]);
  if (!db) {
    std::fprintf(stderr, "open dat: %s\n", db.error().display().c_str());
    return 1;
  }
  std::printf("%zu entries\n", db->files().size());
  return 0;
}
