// quorvale-dat surface ARCHIVE [ID]: the surface report of dump_surface_80003e4 for any surface.
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "archive.hpp"
#include "commands.hpp"
#include "ids.hpp"
#include "output.hpp"
#include "surface_report.hpp"

namespace quorvale_dat::cli {
namespace {

// The report's host: a failed step ends the command with "<step>: <error>" and the status of
// the error. The surface itself is what the command line asked for, so its absence is
// kExitAbsent; a record it refers to that is absent is a fault of the archive.
struct ReportHost {
  using Stop = Failure;

  template <class Step, class T, class E>
  Expected<T, Failure> step(Step, Expected<T, E> result) {
    if (result) return std::move(*result);
    Failure f{status_of(DatError(result.error())),
              std::string(Step::kMessage) + ": " + one_line(result.error())};
    if constexpr (std::is_same_v<Step, surface_report::GetSurface>) {
      if (DatError(result.error()).holds<DatError::NotFound>()) f.status = kExitAbsent;
    }
    return Unexpected(std::move(f));
  }

  Expected<std::uint32_t, Failure> first_texture(std::span<const std::uint32_t> textures) {
    if (textures.empty()) {
      return Unexpected(Failure{kExitData, "the surface's texture list is empty"});
    }
    return textures.front();
  }

  Expected<void, Failure> write(std::vector<std::string> lines) {
    for (const std::string& line : lines) {
      out(line);
      out("\n");
    }
    return {};
  }
};

}  // namespace

Result run_surface(const SurfaceOptions& options) {
  auto db = open_archive(options.archive);
  if (!db) return Unexpected(std::move(db.error()));
  ReportHost host;
  return surface_report::run(*db, options.id, host);
}

}  // namespace quorvale_dat::cli
