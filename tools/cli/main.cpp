// quorvale-dat: looks into DAT archives: their header and entries, records as bytes or decoded,
// textures as image files, and whether the archive is sound. Subcommands are in cmd_*.cpp; this
// file parses the command line and turns failures into messages and exit statuses.
//
// Each subcommand is one row of kCommands: its name, its one-line description and the function
// that declares its arguments and returns what runs it. Adding a subcommand is adding a row.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "archive.hpp"
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
using quorvale_dat::RecordType;

// A command line error found after parsing, as a Failure with kExitUsage.
cli::Result usage(std::string message) {
  return quorvale_dat::Unexpected(cli::Failure{cli::kExitUsage, std::move(message)});
}

constexpr const char* kFooter =
    "Ids are 0x and one to eight hexadecimal digits (0x080003E4) or decimal (134218724); a\n"
    "type byte (BYTE) is written the same way (0x06 or 6); a range is FROM-TO, two ids, both\n"
    "included (0x06000000-0x06FFFFFF).\n"
    "\n"
    "Exit status:\n"
    "  0   success\n"
    "  1   a record named on the command line is not in the archive\n"
    "  2   the command line is wrong\n"
    "  65  the archive's data is corrupt, or a texture cannot be exported\n"
    "  66  the archive cannot be opened\n"
    "  74  reading or writing failed, or serve cannot listen on its address\n";

constexpr const char* kIdForms = " (0x and hexadecimal digits, or decimal)";

// What a subcommand does once the command line has parsed: `check` finds what is wrong with the
// command line beyond what CLI11 checks (combinations, the type of an id); then the archive is
// checked (it must be a regular file or a block device) and `run` runs the command.
struct Runner {
  const std::string* archive = nullptr;
  std::function<cli::Result()> run;
  std::function<cli::Result()> check = [] { return cli::Result(); };
};

// kExitUsage when the record `id_text` names is not of type `expected`.
cli::Result require_type(const std::string& id_text, quorvale_dat::RecordType expected,
                         std::string_view what = "record") {
  if (auto mismatch = cli::type_mismatch(*cli::parse_id(id_text), expected, what)) {
    return usage(std::move(*mismatch));
  }
  return {};
}

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

// A whole decimal number from `least` to `most`.
CLI::Validator count_check(std::uint64_t least, std::uint64_t most, const char* name) {
  return CLI::Validator(
      [least, most](const std::string& s) {
        std::uint64_t n = 0;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
        if (ec == std::errc() && end == s.data() + s.size() && !s.empty() && n >= least &&
            n <= most) {
          return std::string();
        }
        return "not a whole number from " + std::to_string(least) + " to " + std::to_string(most) +
               ": " + s;
      },
      "", name);
}

CLI::Validator range_check() {
  return CLI::Validator(
      [](const std::string& s) {
        return cli::parse_range(s) ? std::string() : "not a range FROM-TO of ids: " + s;
      },
      "", "RANGE");
}

std::optional<std::uint8_t> type_byte(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return cli::parse_type_byte(text);
}

void add_archive(CLI::App& command, std::string& archive) {
  command.add_option("ARCHIVE", archive, "the DAT archive (a regular file or a block device)")
      ->required()
      ->type_name("");
}

// More threads than this gain nothing on any machine the tool runs on and cost memory.
constexpr std::uint64_t kMaxJobs = 1024;

// --allow-overlap, --max-output and --jobs, of the commands that write every record out. Returns
// whether the command line gave any of them.
std::function<bool()> add_bulk_options(CLI::App& command, cli::BulkOptions& bulk) {
  CLI::Option* allow = command.add_flag(
      "--allow-overlap", bulk.allow_overlap,
      "also read records whose block chains overlap that of a record read before them");
  CLI::Option* limit =
      command
          .add_option("--max-output", bulk.max_output,
                      "stop once the records read hold more than FACTOR times the archive's size "
                      "in stored bytes (default 4; 0: no limit)")
          ->type_name("FACTOR")
          ->check(count_check(0, std::numeric_limits<std::uint64_t>::max(), "FACTOR"));
  CLI::Option* jobs = command
                          .add_option("-j,--jobs", bulk.jobs,
                                      "read and write with N threads (default: one per core; 1: "
                                      "one thread)")
                          ->type_name("N")
                          ->check(count_check(1, kMaxJobs, "N"));
  return [allow, limit, jobs] {
    return allow->count() > 0 || limit->count() > 0 || jobs->count() > 0;
  };
}

void add_salvage(CLI::App& command, bool& salvage, const std::string& verb) {
  command.add_flag("--salvage", salvage,
                   verb + " what the directory still holds when parts of it cannot be read, " +
                       "and name each part lost (exit 65 when any is)");
}

void add_type(CLI::App& command, std::string& type) {
  command.add_option("--type", type, "only ids with this type byte")
      ->check(type_check())
      ->type_name("BYTE");
}

void add_id(CLI::App& command, std::string& id, const std::string& description,
            const std::string& after = "") {
  command.add_option("ID", id, description + kIdForms + after)->check(id_check())->type_name("");
}

// ---------------------------------------------------------------------------------------------
// The subcommands. Every text option is parsed after CLI11 has validated it.

Runner define_info(CLI::App& command) {
  auto o = std::make_shared<cli::InfoOptions>();
  add_archive(command, o->archive);
  command.add_flag("--json", o->json, "print one JSON document");
  return {&o->archive, [o] { return cli::run_info(*o); }};
}

Runner define_ls(CLI::App& command) {
  struct State {
    cli::LsOptions options;
    std::string type, range;
  };
  auto s = std::make_shared<State>();
  add_archive(command, s->options.archive);
  add_type(command, s->type);
  command.add_option("--range", s->range, "only ids FROM to TO, both included")
      ->check(range_check())
      ->type_name("FROM-TO");
  command.add_flag("-l,--long", s->options.long_format, "add size, flags, compression and offset");
  command.add_flag("--json", s->options.json, "print one JSON document");
  add_salvage(command, s->options.salvage, "list");
  return {&s->options.archive, [s] {
            s->options.type = type_byte(s->type);
            if (!s->range.empty()) s->options.range = *cli::parse_range(s->range);
            return cli::run_ls(s->options);
          }};
}

Runner define_cat(CLI::App& command) {
  struct State {
    cli::CatOptions options;
    std::string id, output;
  };
  auto s = std::make_shared<State>();
  add_archive(command, s->options.archive);
  add_id(command, s->id, "the record's id");
  command.get_option("ID")->required();
  command.add_flag("--raw", s->options.raw, "the bytes as stored, without decompressing them");
  CLI::Option* output =
      command
          .add_option("-o,--output", s->output,
                      "write to FILE, exactly as named, not standard output; - is standard output")
          ->type_name("FILE");
  return {&s->options.archive, [s, output] {
            s->options.id = *cli::parse_id(s->id);
            if (*output && s->output != "-") s->options.output = s->output;
            return cli::run_cat(s->options);
          }};
}

Runner define_extract(CLI::App& command) {
  struct State {
    cli::ExtractOptions options;
    std::string type;
  };
  auto s = std::make_shared<State>();
  add_archive(command, s->options.archive);
  command.add_option("DIR", s->options.dir, "the directory, created when missing")
      ->required()
      ->type_name("");
  add_type(command, s->type);
  add_bulk_options(command, s->options.bulk);
  add_salvage(command, s->options.salvage, "extract");
  return {&s->options.archive, [s] {
            s->options.type = type_byte(s->type);
            return cli::run_extract(s->options);
          }};
}

Runner define_show(CLI::App& command) {
  struct State {
    cli::ShowOptions options;
    std::string id;
  };
  auto s = std::make_shared<State>();
  add_archive(command, s->options.archive);
  add_id(command, s->id, "the record's id");
  command.get_option("ID")->required();
  command.add_flag("--json", s->options.json, "print one JSON document");
  return {&s->options.archive, [s] {
            s->options.id = *cli::parse_id(s->id);
            return cli::run_show(s->options);
          }};
}

Runner define_surface(CLI::App& command) {
  struct State {
    cli::SurfaceOptions options;
    std::string id;
  };
  auto s = std::make_shared<State>();
  add_archive(command, s->options.archive);
  add_id(command, s->id, "the surface's id", "; 0x080003E4 when left out");
  return {&s->options.archive,
          [s] {
            if (!s->id.empty()) s->options.id = *cli::parse_id(s->id);
            return cli::run_surface(s->options);
          },
          // Only the id asked for is held to its type; the records the report reaches from the
          // surface are followed as dump_surface_80003e4 follows them.
          [s] { return s->id.empty() ? cli::Result() : require_type(s->id, RecordType::Surface); }};
}

// The format a texture's -o name asks for: .png PNG, .jpg and .jpeg JPEG, in either case. "-" and
// a name without an extension take the texture's own format; any other extension is refused, so
// that no file holds data of another format than its name says.
quorvale_dat::Expected<std::optional<cli::TextureFormat>, std::string> format_of_name(
    const std::string& name) {
  if (name == "-") return std::nullopt;
  std::string extension = std::filesystem::path(name).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension.empty()) return std::nullopt;
  if (extension == ".png") return cli::TextureFormat::Png;
  if (extension == ".jpg" || extension == ".jpeg") return cli::TextureFormat::Jpeg;
  return quorvale_dat::Unexpected("texture: " + name + ": the name ends in " +
                                  std::filesystem::path(name).extension().string() +
                                  ", which names no format written here: name the file .png or "
                                  ".jpg, or give --format png, jpeg or raw");
}

Runner define_texture(CLI::App& command) {
  struct State {
    cli::TextureOptions options;
    std::string id, output, palette, format, all;
  };
  auto s = std::make_shared<State>();
  add_archive(command, s->options.archive);
  add_id(command, s->id, "the texture's id");
  CLI::Option* output =
      command
          .add_option("-o,--output", s->output,
                      "the file to write, exactly as named; - for standard output. Without "
                      "--format, a .png name takes PNG and a .jpg or .jpeg name JPEG")
          ->type_name("FILE");
  CLI::Option* format =
      command
          .add_option("--format", s->format,
                      "png (the pixels), jpeg (the JPEG a CustomRawJpeg texture holds) or raw "
                      "(the pixel data as stored)")
          ->check(CLI::IsMember({"png", "jpeg", "raw"}).description(""))
          ->type_name("png|jpeg|raw");
  CLI::Option* palette =
      command
          .add_option(
              "--palette", s->palette,
              std::string("draw a P8 or Index16 texture with this palette, not its own") + kIdForms)
          ->check(id_check())
          ->type_name("ID");
  CLI::Option* all =
      command.add_option("--all", s->all, "export every texture into DIR as <id>.png or <id>.jpg")
          ->type_name("DIR");
  const auto bulk = add_bulk_options(command, s->options.bulk);
  CLI::Option* id = command.get_option("ID");
  return {&s->options.archive, [s] { return cli::run_texture(s->options); },
          [s, id, output, format, palette, all, bulk]() -> cli::Result {
            if (*all) {
              if (*id || *output || *palette || *format) {
                return usage("texture: --all DIR takes no ID, -o, --palette or --format");
              }
              s->options.all_dir = s->all;
              return {};
            }
            if (bulk())
              return usage("texture: --allow-overlap, --max-output and -j go with --all DIR");
            if (!*id || !*output) return usage("texture: give ID and -o FILE, or --all DIR");
            if (auto checked = require_type(s->id, RecordType::Texture); !checked) return checked;
            s->options.id = *cli::parse_id(s->id);
            s->options.output = s->output;
            if (*palette) {
              if (auto checked = require_type(s->palette, RecordType::Palette, "--palette: record");
                  !checked) {
                return checked;
              }
              s->options.palette = *cli::parse_id(s->palette);
            }
            if (*format) {
              s->options.format = s->format == "png"    ? cli::TextureFormat::Png
                                  : s->format == "jpeg" ? cli::TextureFormat::Jpeg
                                                        : cli::TextureFormat::Raw;
            } else {
              auto named = format_of_name(s->output);
              if (!named) return usage(std::move(named.error()));
              s->options.format = *named;
            }
            if (*palette && s->options.format == cli::TextureFormat::Raw) {
              return usage(
                  "texture: --palette has no use with --format raw, which writes the "
                  "pixel data as stored");
            }
            return {};
          }};
}

Runner define_verify(CLI::App& command) {
  auto o = std::make_shared<cli::VerifyOptions>();
  add_archive(command, o->archive);
  command.add_flag("--full", o->full, "also read and decompress every record");
  command.add_flag("--json", o->json, "print one JSON document");
  command.add_flag("-v,--verbose", o->verbose, "say what was checked when nothing is wrong");
  return {&o->archive, [o] { return cli::run_verify(*o); }};
}

Runner define_serve(CLI::App& command) {
  struct State {
    cli::ServeOptions options;
    int port = 0;
  };
  auto s = std::make_shared<State>();
  add_archive(command, s->options.archive);
  CLI::Option* port =
      command
          .add_option("--port", s->port,
                      "listen on port N (default 8080 or the next free one; 0: any free port)")
          ->check(CLI::Range(0, 65535))
          ->type_name("N");
  command
      .add_option("--bind", s->options.bind,
                  "listen on ADDR, an IP address, not 127.0.0.1: other hosts can then connect")
      ->check(CLI::Validator(
          [](const std::string& a) {
            return cli::is_listen_address(a) ? std::string() : "not an IP address: " + a;
          },
          "", "ADDR"))
      ->type_name("ADDR");
  command.add_flag("--open", s->options.open, "open the interface in the desktop's web browser");
  return {&s->options.archive, [s] { return cli::run_serve(s->options); },
          [s, port]() -> cli::Result {
            if (*port) s->options.port = s->port;
            return {};
          }};
}

struct Command {
  const char* name;
  const char* description;
  Runner (*define)(CLI::App&);
};

constexpr Command kCommands[] = {
    {"info", "Show the header, the entries per type and the directory", define_info},
    {"ls", "List the entries in ascending id order", define_ls},
    {"cat", "Write a record's bytes", define_cat},
    {"extract", "Write every record to DIR/<id>.bin (id as 0x and 8 digits)", define_extract},
    {"show", "Decode a record by its type byte and print its fields", define_show},
    {"surface", "Report a surface, its texture and palettes as dump_surface_80003e4 does",
     define_surface},
    {"texture", "Export a texture as a PNG (or JPEG, or raw) file, or every texture with --all",
     define_texture},
    {"verify", "Check the archive's structure and list every problem", define_verify},
    {"serve", "Browse the archive in a web browser, from an HTTP server on loopback", define_serve},
};

// ---------------------------------------------------------------------------------------------
// Command line errors

// The number of single-character edits that turn `a` into `b`.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1] ? 1 : 0)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// "unknown command 'inf'; did you mean 'info'?": the suggestion is the command that `word` starts
// or the one fewest edits away, when that is close enough to be a slip.
std::string unknown_command(std::string_view word, std::span<const std::string> names) {
  std::string message = "unknown command '" + std::string(word) + "'";
  const std::string* best = nullptr;
  std::size_t best_distance = 0;
  for (const std::string& name : names) {
    const std::size_t d =
        word.size() >= 2 && name.starts_with(word) ? 1 : edit_distance(word, name);
    if (best == nullptr || d < best_distance) {
      best = &name;
      best_distance = d;
    }
  }
  if (best != nullptr && best_distance <= std::max<std::size_t>(2, word.size() / 3)) {
    message += "; did you mean '" + *best + "'?";
  }
  return message;
}

// CLI11's message made readable where it is not: "--output: 1 required FILE missing" becomes
// "--output needs a value".
std::string parse_message(const CLI::ParseError& e) {
  std::string text = e.what();
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr && text.ends_with(" missing")) {
    const std::size_t colon = text.find(':');
    if (colon != std::string::npos) return text.substr(0, colon) + " needs a value";
  }
  return text;
}

// Arguments left over after parsing (extras are allowed so that they can be named here), and
// options given more than once (each takes one value; CLI11 is told to keep the last so that the
// repeat can be reported here).
std::optional<std::string> leftover_problem(const CLI::App& command) {
  for (const std::string& extra : command.remaining()) {
    if (extra == "--no-mmap") {
      return "--no-mmap goes before the command: quorvale-dat --no-mmap " + command.get_name() +
             " ...";
    }
    if (extra.starts_with("-") && extra != "-") {
      return "unknown option '" + extra + "' for " + command.get_name();
    }
    return "unexpected argument '" + extra + "' for " + command.get_name();
  }
  for (const CLI::Option* option : command.get_options()) {
    if (option->get_expected_max() > 0 && option->count() > 1) {
      return option->get_name() + " is given " + std::to_string(option->count()) +
             " times; give it once";
    }
  }
  return std::nullopt;
}

int usage_error(const std::string& message, const std::string& help_command = "") {
  cli::error_line(message);
  std::fputs(("Try 'quorvale-dat help" + (help_command.empty() ? "" : " " + help_command) +
              "' for more information.\n")
                 .c_str(),
             stderr);
  return cli::kExitUsage;
}

// Flushes standard output; a failed write makes the status kExitIo, whatever the command found.
int finish(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    const int code = errno;
    cli::error_line("cannot write to standard output: " +
                    quorvale_dat::IoError::from_os(code).display());
    return cli::kExitIo;  // output that did not arrive outweighs what it said
  }
  return status;
}

int run(int argc, char** argv) {
  CLI::App app(
      "Looks into the DAT archives of a game client: what they hold, their records, their "
      "textures as image files, and whether they are sound.",
      "quorvale-dat");
  app.set_version_flag("--version", "quorvale-dat " QUORVALE_DAT_VERSION);
  app.set_help_all_flag("--help-all", "Print help for every subcommand and exit");
  app.require_subcommand(0, 1);
  app.footer(kFooter);
  app.get_formatter()->column_width(28);
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  bool no_mmap = false;
  app.add_flag("--no-mmap", no_mmap,
               "read the archive with a system call per block, not through a memory mapping (for "
               "an archive that another program may truncate while it is read)");

  std::vector<std::string> names;
  std::vector<std::pair<CLI::App*, Runner>> commands;
  for (const Command& c : kCommands) {
    CLI::App* command = app.add_subcommand(c.name, c.description);
    command->allow_extras();
    commands.emplace_back(command, c.define(*command));
    names.emplace_back(c.name);
  }
  std::string topic;
  CLI::App* help = app.add_subcommand("help", "Print the help of quorvale-dat or of one COMMAND");
  help->add_option("COMMAND", topic, "the command whose help to print")->type_name("");
  help->allow_extras();
  names.emplace_back("help");

  // The first argument that is not an option names the command; CLI11 alone would take an
  // unknown one for a stray argument.
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (word.starts_with("-")) continue;
    if (std::find(names.begin(), names.end(), word) == names.end()) {
      return usage_error(unknown_command(word, names));
    }
    break;
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
      app.exit(e);  // --help, --help-all, --version: to standard output
      return finish(cli::kExitOk);
    }
    const std::vector<CLI::App*> chosen = app.get_subcommands();
    return usage_error(parse_message(e), chosen.empty() ? "" : chosen.front()->get_name());
  }

  if (app.get_subcommands().empty()) {
    std::string list;
    for (const Command& c : kCommands) list += (list.empty() ? "" : ", ") + std::string(c.name);
    return usage_error("a command is required: " + list + " (or help)");
  }
  if (*help) {
    if (auto problem = leftover_problem(*help)) return usage_error(*problem, "help");
    // As --help prints them (App::help would print the help of `help`, the command chosen).
    if (topic.empty()) {
      cli::out(app.get_formatter()->make_help(&app, "quorvale-dat", CLI::AppFormatMode::Normal));
    } else if (std::find(names.begin(), names.end(), topic) == names.end()) {
      return usage_error(unknown_command(topic, names));
    } else {
      cli::out(app.get_subcommand(topic)->help("quorvale-dat"));
    }
    return finish(cli::kExitOk);
  }

  cli::set_mapping(!no_mmap);
  for (auto& [command, runner] : commands) {
    if (!*command) continue;
    if (auto problem = leftover_problem(*command)) {
      return usage_error(*problem, command->get_name());
    }
    if (auto checked = runner.check(); !checked) {
      return usage_error(checked.error().message, command->get_name());
    }
    cli::Result result = cli::check_archive_file(*runner.archive);
    if (result) result = runner.run();
    if (!result) {
      cli::error_line(cli::message_for(result.error(), *runner.archive));
      return finish(result.error().status);
    }
    return finish(cli::kExitOk);
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
