#include "cli/history_command.h"

#include <filesystem>
#include <optional>

#include "record/history_db.h"

namespace zarnik {

const char* const kCliHistoryUsage =
    "Usage: zarnik-cli history [--db FILE] [--since DATE] [--unit TEXT] [--failed] [--json]\n"
    "\n"
    "Lists the runs recorded in the history database, newest first: when each started, the\n"
    "station, the unit, the outcome, each file sent with its version and checksum, and each\n"
    "_QC query with the reply the unit gave.\n"
    "\n"
    "  --db FILE      the database (default $XDG_DATA_HOME/zarnik/history.db, else\n"
    "                 ~/.local/share/zarnik/history.db)\n"
    "  --since DATE   only runs that ended after DATE, in UTC: 2026-12-08, or an end time\n"
    "                 as recorded (2026-12-08T06:45:01.123Z) to collect incrementally\n"
    "  --unit TEXT    only runs whose unit name or any reply contains TEXT (a serial number\n"
    "                 finds the runs of its unit)\n"
    "  --failed       only runs that did not complete\n"
    "  --json         one JSON object per run per line (the --report record with id,\n"
    "                 station, adapter and script_sha256)\n"
    "\n"
    "Exit status: 0 (also when no run matches), 2 usage error or a database that cannot be\n"
    "read.\n";

namespace {

struct HistoryOptions {
  std::string db;
  HistoryDb::Filter filter;
  bool json = false;
};

bool IsDigits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// YYYY-MM-DD, optionally followed by the rest of a recorded time.
bool LooksLikeDate(const std::string& text) {
  return text.size() >= 10 && IsDigits(std::string_view(text).substr(0, 4)) && text[4] == '-' &&
         IsDigits(std::string_view(text).substr(5, 2)) && text[7] == '-' &&
         IsDigits(std::string_view(text).substr(8, 2)) && (text.size() == 10 || text[10] == 'T');
}

// Parses the arguments; nullopt after a usage message, or with `help` set.
std::optional<HistoryOptions> Parse(const std::vector<std::string>& args, bool& help,
                                    std::ostream& err) {
  HistoryOptions o;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::optional<std::string> value;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    }
    auto take = [&]() -> std::optional<std::string> {
      if (value) return value;
      if (i + 1 < args.size()) return args[++i];
      err << "zarnik-cli: " << arg << " needs a value\nTry 'zarnik-cli history --help'.\n";
      return std::nullopt;
    };
    if (arg == "--help" || arg == "-h") {
      help = true;
      return std::nullopt;
    }
    if (arg == "--failed" || arg == "--json") {
      if (value) {
        err << "zarnik-cli: " << arg << " takes no value\n";
        return std::nullopt;
      }
      (arg == "--failed" ? o.filter.failedOnly : o.json) = true;
    } else if (arg == "--db" || arg == "--since" || arg == "--unit") {
      auto v = take();
      if (!v) return std::nullopt;
      if (arg == "--db") o.db = *v;
      if (arg == "--unit") o.filter.unit = *v;
      if (arg == "--since") {
        if (!LooksLikeDate(*v)) {
          err << "zarnik-cli: --since needs a date such as 2026-12-08 or 2026-12-08T06:45:01Z ('"
              << *v << "')\n";
          return std::nullopt;
        }
        o.filter.since = *v;
      }
    } else {
      err << "zarnik-cli: unknown option '" << arg << "'\nTry 'zarnik-cli history --help'.\n";
      return std::nullopt;
    }
  }
  if (o.db.empty()) o.db = HistoryDb::DefaultPath();
  return o;
}

void PrintRun(const UnitRecord& r, std::ostream& out) {
  out << IsoTimeUtc(r.start) << "  " << r.station << "  " << r.unit << "  "
      << OutcomeOf(r.exitStatus);
  if (r.exitStatus != 0) {
    const std::string& why = r.errors.empty() ? r.message : r.errors.front();
    if (!why.empty()) out << "  " << why;
  }
  out << "\n";
  for (const FileRecord& f : r.files)
    out << "    file " << f.path << "  version " << f.version << "  checksum " << f.checksum
        << "\n";
  for (const ReplyRecord& q : r.replies) out << "    " << q.query << ": " << q.reply << "\n";
}

}  // namespace

int RunHistoryCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  bool help = false;
  const std::optional<HistoryOptions> o = Parse(args, help, err);
  if (help) {
    out << kCliHistoryUsage;
    return 0;
  }
  if (!o) return 2;
  // Reading never creates a database: no file is a history without runs.
  std::error_code ec;
  if (!std::filesystem::exists(o->db, ec)) {
    if (!o->json) out << "no runs recorded in " << o->db << "\n";
    return 0;
  }
  HistoryDb db;
  std::vector<UnitRecord> runs;
  std::string error;
  if (!db.Open(o->db, error) || !db.Runs(o->filter, runs, error)) {
    err << "zarnik-cli: " << error << "\n";
    return 2;
  }
  for (const UnitRecord& r : runs) {
    if (o->json) {
      out << RecordJson(r, true) << "\n";
    } else {
      PrintRun(r, out);
    }
  }
  if (!o->json && runs.empty()) out << "no runs match\n";
  out.flush();
  return 0;
}

}  // namespace zarnik
