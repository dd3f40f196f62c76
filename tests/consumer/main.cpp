// Opens the archive named on the command line and prints how many records it holds, or the
// error's display text.

#include <iostream>

#include "quorvale_dat/quorvale_dat.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: consumer ARCHIVE\n";
    return 2;
  }
  const auto db = quorvale_dat::DatDatabase::open(argv[1]);
  if (!db) {
    std::cout << db.error().display() << '\n';
    return 1;
  }
  std::cout << db->files().size() << " records\n";
  return 0;
}
