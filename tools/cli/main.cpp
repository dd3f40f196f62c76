// quorvale-dat: looks into DAT archives: their header and entries, records as bytes or decoded,
// textures as PNG files, and whether the archive is sound. Subcommands are in cmd_*.cpp; this
// file parses the command line and turns failures into messages and exit statuses.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>

#include "commands.hpp"
#include "ids.hpp"
#include "output.hpp"
#include "quorvale_dat/io_error.hpp"
#include "status.hpp"

#ifndef QUORVALE_DAT_VERSION
#error "QUORVALE_DAT_VERSION must name the version"
#endif

namespace {

namespace cli = quorvale_dat::cli;

constexpr const char* kExitStatuses =
    "Exit status:\n"
    "  0   success\n"
    "  1   a record named on the command line is not in the archive\n"
    "  2   the command line is wrong\n"
    "  65  the archive's data is corrupt, or a texture cannot be exported\n"
    "  66  the archive cannot be opened\n"
    "  74  reading or writing failed\n";

CLI::Validator id_check() {
  return CLI::Validator(
      [](const std::string& s) {
        return cli::parse_id(s) ? std::string()
                                : "not an id (0x and hexadecimal digits, or decimal): " + s;
      },
      "", "ID");
}

CLI::Validator type_check() {
  return CLI::Validator(
      [](const std::string& s) {
        return cli::parse_type_byte(s) ? std::string()
                                       : "not a type byte (0x00 to 0xFF, or 0 to 255): " + s;
      },
      "", "BYTE");
}

CLI::Validator range_check() {
  return CLI::Validator(
      [](const std::string& s) {
        return cli::parse_range(s) ? std::string() : "not a range FROM-TO of ids: " + s;
      },
      "", "RANGE");
}

// Options whose text is parsed after CLI11 has validated it.
struct Texts {
  std::string id;
  std::string type;
  std::string range;
  std::string palette;
};

std::optional<std::uint8_t> type_byte(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return cli::parse_type_byte(text);
}

void add_archive(CLI::App* command, std::string& archive) {
  command->add_option("ARCHIVE", archive, "the DAT archive")->required()->type_name("");
}

int usage_error(const std::string& message) {
  cli::error_line(message);
  std::fputs("Try 'quorvale-dat --help' for more information.\n", stderr);
  return cli::kExitUsage;
}

// Flushes standard output; a failed write turns a success into kExitIo.
int finish(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    const int code = errno;
    cli::error_line("cannot write to standard output: " +
                    quorvale_dat::IoError::from_os(code).display());
    return status == cli::kExitOk ? cli::kExitIo : status;
  }
  return status;
}

int run(int argc, char** argv) {
  CLI::App app(
      "Looks into the DAT archives of a game client: what they hold, their records, their "
      "textures as PNG files, and whether they are sound.",
      "quorvale-dat");
  app.set_version_flag("--version", "quorvale-dat " QUORVALE_DAT_VERSION);
  app.set_help_all_flag("--help-all", "Print help for every subcommand and exit");
  app.require_subcommand(1);
  app.footer(kExitStatuses);
  app.get_formatter()->column_width(28);

  Texts texts;

  cli::InfoOptions info;
  CLI::App* info_cmd =
      app.add_subcommand("info", "Show the header, the entries per type and the directory");
  add_archive(info_cmd, info.archive);
  info_cmd->add_flag("--json", info.json, "print one JSON document");

  cli::LsOptions ls;
  CLI::App* ls_cmd = app.add_subcommand("ls", "List the entries in ascending id order");
  add_archive(ls_cmd, ls.archive);
  ls_cmd->add_option("--type", texts.type, "only ids with this type byte")
      ->check(type_check())
      ->type_name("BYTE");
  ls_cmd->add_option("--range", texts.range, "only ids FROM to TO, inclusive")
      ->check(range_check())
      ->type_name("FROM-TO");
  ls_cmd->add_flag("-l,--long", ls.long_format, "add size, flags, compression and offset");
  ls_cmd->add_flag("--json", ls.json, "print one JSON document");

  cli::CatOptions cat;
  std::string cat_output;
  CLI::App* cat_cmd = app.add_subcommand("cat", "Write a record's bytes");
  add_archive(cat_cmd, cat.archive);
  cat_cmd->add_option("ID", texts.id, "the record's id")
      ->required()
      ->check(id_check())
      ->type_name("");
  cat_cmd->add_flag("--raw", cat.raw, "the bytes as stored, without decompressing them");
  CLI::Option* cat_output_opt =
      cat_cmd->add_option("-o,--output", cat_output, "write to FILE, not standard output")
          ->type_name("FILE");

  cli::ExtractOptions extract;
  CLI::App* extract_cmd =
      app.add_subcommand("extract", "Write every record to DIR/<id>.bin (id as 0x and 8 digits)");
  add_archive(extract_cmd, extract.archive);
  extract_cmd->add_option("DIR", extract.dir, "the directory, created when missing")
      ->required()
      ->type_name("");
  extract_cmd->add_option("--type", texts.type, "only ids with this type byte")
      ->check(type_check())
      ->type_name("BYTE");

  cli::ShowOptions show;
  CLI::App* show_cmd =
      app.add_subcommand("show", "Decode a record by its type byte and print its fields");
  add_archive(show_cmd, show.archive);
  show_cmd->add_option("ID", texts.id, "the record's id")
      ->required()
      ->check(id_check())
      ->type_name("");
  show_cmd->add_flag("--json", show.json, "print one JSON document");

  cli::SurfaceOptions surface;
  CLI::App* surface_cmd = app.add_subcommand(
      "surface", "Report a surface, its texture and palettes as dump_surface_80003e4 does");
  add_archive(surface_cmd, surface.archive);
  surface_cmd->add_option("ID", texts.id, "the surface's id (default 0x080003E4)")
      ->check(id_check())
      ->type_name("");

  cli::TextureOptions texture;
  std::string texture_output;
  std::string texture_all;
  CLI::App* texture_cmd =
      app.add_subcommand("texture", "Export a texture as a PNG file, or every texture with --all");
  add_archive(texture_cmd, texture.archive);
  CLI::Option* texture_id =
      texture_cmd->add_option("ID", texts.id, "the texture's id")->check(id_check())->type_name("");
  CLI::Option* texture_output_opt =
      texture_cmd->add_option("-o,--output", texture_output, "the PNG file to write")
          ->type_name("FILE");
  CLI::Option* texture_palette =
      texture_cmd
          ->add_option("--palette", texts.palette,
                       "draw a P8 or Index16 texture with this palette, not its own")
          ->check(id_check())
          ->type_name("ID");
  CLI::Option* texture_all_opt =
      texture_cmd->add_option("--all", texture_all, "export every texture into DIR as <id>.png")
          ->type_name("DIR");
  texture_all_opt->excludes(texture_id)->excludes(texture_output_opt)->excludes(texture_palette);

  cli::VerifyOptions verify;
  CLI::App* verify_cmd =
      app.add_subcommand("verify", "Check the archive's structure and list every problem");
  add_archive(verify_cmd, verify.archive);
  verify_cmd->add_flag("--full", verify.full, "also read and decompress every record");
  verify_cmd->add_flag("--json", verify.json, "print one JSON document");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
      app.exit(e);  // --help, --help-all, --version: to standard output
      return finish(cli::kExitOk);
    }
    return usage_error(e.what());
  }

  // Every text below has passed its check.
  const auto id = [&](const std::string& text) { return *cli::parse_id(text); };
  cli::Result result;
  if (*info_cmd) {
    result = cli::run_info(info);
  } else if (*ls_cmd) {
    ls.type = type_byte(texts.type);
    if (!texts.range.empty()) ls.range = *cli::parse_range(texts.range);
    result = cli::run_ls(ls);
  } else if (*cat_cmd) {
    cat.id = id(texts.id);
    if (*cat_output_opt) cat.output = cat_output;
    result = cli::run_cat(cat);
  } else if (*extract_cmd) {
    extract.type = type_byte(texts.type);
    result = cli::run_extract(extract);
  } else if (*show_cmd) {
    show.id = id(texts.id);
    result = cli::run_show(show);
  } else if (*surface_cmd) {
    if (!texts.id.empty()) surface.id = id(texts.id);
    result = cli::run_surface(surface);
  } else if (*texture_cmd) {
    if (*texture_all_opt) {
      texture.all_dir = texture_all;
    } else if (!*texture_id || !*texture_output_opt) {
      return usage_error("texture: give ID and -o FILE, or --all DIR");
    } else {
      texture.id = id(texts.id);
      texture.output = texture_output;
      if (*texture_palette) texture.palette = id(texts.palette);
    }
    result = cli::run_texture(texture);
  } else if (*verify_cmd) {
    result = cli::run_verify(verify);
  }

  if (!result) {
    cli::error_line(result.error().message);
    return finish(result.error().status);
  }
  return finish(cli::kExitOk);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    cli::error_line("out of memory");
  } catch (const std::exception& e) {
    cli::error_line(std::string("internal error: ") + e.what());
  }
  return cli::kExitIo;
}
