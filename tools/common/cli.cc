#include "cli.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/address.h"

#ifndef ORVEL_VERSION
#error "ORVEL_VERSION comes from the build (project version)"
#endif

namespace orvel::cli {

std::string AgentListError(const std::string& option, const std::string& list) {
  size_t start = 0;
  for (;;) {
    const size_t comma = list.find(',', start);
    const std::string item = list.substr(start, comma - start);
    net::HostPort hp;
    if (!net::ParseHostPort(item, &hp) || hp.host.empty() || (hp.has_port && hp.port == 0)) {
      std::string why = option;
      why += " needs HOST or HOST:PORT (port 1..65535) for each agent, not \"";
      why += item;
      why += "\"";
      return why;
    }
    if (comma == std::string::npos) return "";
    start = comma + 1;
  }
}

sigset_t BlockSignals(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : signals) sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return set;
}

const char kExitStatusHelp[] =
    "  0   success\n"
    "  1   the operation failed or was refused\n"
    "  2   the peer could not be reached\n"
    "  64  wrong command line\n";

const char* Version() { return ORVEL_VERSION; }

void PrintVersion(const char* name) {
  std::printf("%s %s\n", name, Version());
  std::fflush(stdout);
}

bool ParseNumber(const std::string& text, long long lo, long long hi, long long* out) {
  // strtoll accepts spaces and a sign; a number here is digits only, with
  // a minus only where the range allows negatives.
  if (text.empty()) return false;
  size_t first = (text[0] == '-' && lo < 0) ? 1 : 0;
  if (first == text.size()) return false;
  for (size_t i = first; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ParseSeconds(const std::string& text, double hi, double* out) {
  if (text.empty() || text[0] == ' ' || text[0] == '+' || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  // !(v > 0) also refuses NaN.
  if (errno != 0 || *end != '\0' || !(v > 0) || v > hi) return false;
  *out = v;
  return true;
}

std::string CommandLine::NumberError(const std::string& option, const std::string& value,
                                     long long lo, long long hi) {
  return option + " needs a number " + std::to_string(lo) + ".." + std::to_string(hi) + ", not \"" +
         value + "\"";
}

CommandLine::CommandLine(std::string program, std::string usage, std::string about)
    : program_(std::move(program)),
      usage_(std::move(usage)),
      about_(std::move(about)),
      exit_status_(kExitStatusHelp) {}

CommandLine& CommandLine::Value(const char* name, char short_name, const char* value_name,
                                const char* help, Setter set) {
  options_.push_back(Option{name, short_name, value_name, help, std::move(set)});
  return *this;
}

CommandLine& CommandLine::Text(const char* name, char short_name, const char* value_name,
                               const char* help, std::string* out) {
  return Value(name, short_name, value_name, help, [out](const std::string& v) {
    *out = v;
    return std::string();
  });
}

CommandLine& CommandLine::TextList(const char* name, char short_name, const char* value_name,
                                   const char* help, std::vector<std::string>* out) {
  return Value(name, short_name, value_name, help, [out](const std::string& v) {
    out->push_back(v);
    return std::string();
  });
}

CommandLine& CommandLine::Seconds(const char* name, const char* value_name, const char* help,
                                  double hi, double* out) {
  std::string opt = std::string("--") + name;
  return Value(name, 0, value_name, help, [opt, hi, out](const std::string& v) -> std::string {
    if (!ParseSeconds(v, hi, out)) {
      char bound[32];
      std::snprintf(bound, sizeof bound, "%g", hi);
      return opt + " needs seconds above 0, at most " + bound + ", not \"" + v + "\"";
    }
    return "";
  });
}

CommandLine& CommandLine::Flag(const char* name, char short_name, const char* help, bool* out) {
  return Action(name, short_name, help, [out] { *out = true; });
}

CommandLine& CommandLine::Action(const char* name, char short_name, const char* help,
                                 const std::function<void()>& act) {
  options_.push_back(Option{name, short_name, "", help, [act](const std::string&) {
                              act();
                              return std::string();
                            }});
  return *this;
}

CommandLine& CommandLine::Notes(std::string text) {
  notes_ = std::move(text);
  return *this;
}

CommandLine& CommandLine::Environment(std::string text) {
  environment_ = std::move(text);
  return *this;
}

CommandLine& CommandLine::ExitStatus(std::string text) {
  exit_status_ = std::move(text);
  return *this;
}

CommandLine& CommandLine::Operands(int max) {
  max_operands_ = max;
  return *this;
}

CommandLine& CommandLine::WithoutVersion() {
  version_ = false;
  return *this;
}

namespace {

// Appends "  -s, --name VALUE    help" with help's continuation lines
// indented to the same column.
void AppendOption(std::string* out, char short_name, const std::string& name,
                  const std::string& value_name, const std::string& help) {
  constexpr size_t kColumn = 26;
  std::string head = "  ";
  head += short_name ? std::string("-") + short_name + ", " : std::string("    ");
  head += "--" + name;
  if (!value_name.empty()) head += " " + value_name;
  if (head.size() + 2 > kColumn) {
    head += "\n";
    head += std::string(kColumn, ' ');
  } else {
    head += std::string(kColumn - head.size(), ' ');
  }
  *out += head;
  for (char c : help) {
    *out += c;
    if (c == '\n') *out += std::string(kColumn, ' ');
  }
  *out += "\n";
}

void AppendSection(std::string* out, const char* title, const std::string& text) {
  if (text.empty()) return;
  *out += "\n";
  *out += title;
  *out += "\n";
  *out += text;
  if (text.back() != '\n') *out += "\n";
}

}  // namespace

std::string CommandLine::Help() const {
  std::string out = usage_;
  if (!out.empty() && out.back() != '\n') out += "\n";
  out += about_;
  if (!about_.empty() && about_.back() != '\n') out += "\n";
  out += "\nOptions:\n";
  out += OptionsHelp();
  if (!notes_.empty()) {
    out += "\n" + notes_;
    if (notes_.back() != '\n') out += "\n";
  }
  AppendSection(&out, "Environment:", environment_);
  AppendSection(&out, "Exit status:", exit_status_);
  return out;
}

std::string CommandLine::OptionsHelp() const {
  std::string out;
  for (const Option& o : options_) AppendOption(&out, o.short_name, o.name, o.value_name, o.help);
  AppendOption(&out, 'h', "help", "", "print this help and exit");
  if (version_)
    AppendOption(&out, 0, "version", "", "print the program's name and version and exit");
  return out;
}

namespace {

// What getopt_long's '?' or ':' (c) was about, for the user.
std::string GetoptError(int c, char** argv, int long_base) {
  std::string arg = argv[optind - 1] ? argv[optind - 1] : "";
  // For a short option inside a cluster, argv[optind-1] is the cluster.
  if (optopt > 0 && optopt < long_base && (arg.size() < 2 || arg[1] != '-')) {
    arg = std::string("-") + static_cast<char>(optopt);
  }
  size_t eq = arg.find('=');
  if (eq != std::string::npos) arg.resize(eq);
  if (c == ':') return arg + " needs a value";
  if (optopt >= long_base && eq != std::string::npos) return arg + " does not take a value";
  return "unknown or ambiguous option " + arg;
}

}  // namespace

CommandLine::Outcome CommandLine::TryParse(int argc, char** argv,
                                           std::vector<std::string>* operands, std::string* error) {
  // Values 256+i name options_[i]; short names map to the same entry.
  constexpr int kLongBase = 256;
  constexpr int kHelp = 1, kVersion = 2;
  std::vector<option> longs;
  std::string shorts = ":";  // ':' first: a missing value is told apart
  for (size_t i = 0; i < options_.size(); ++i) {
    const Option& o = options_[i];
    int has_arg = o.value_name.empty() ? no_argument : required_argument;
    longs.push_back(option{o.name.c_str(), has_arg, nullptr, kLongBase + static_cast<int>(i)});
    if (o.short_name) {
      shorts += o.short_name;
      if (has_arg == required_argument) shorts += ':';
    }
  }
  longs.push_back(option{"help", no_argument, nullptr, kHelp});
  shorts += 'h';
  if (version_) longs.push_back(option{"version", no_argument, nullptr, kVersion});
  longs.push_back(option{nullptr, 0, nullptr, 0});

  optind = 0;  // glibc: 0 restarts the scan from scratch
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr)) != -1) {
    if (c == kHelp || c == 'h') return Outcome::kHelp;
    if (c == kVersion) return Outcome::kVersion;
    if (c == '?' || c == ':') {
      *error = GetoptError(c, argv, kLongBase);
      return Outcome::kUsageError;
    }
    const Option* o = nullptr;
    if (c >= kLongBase) {
      o = &options_[static_cast<size_t>(c - kLongBase)];
    } else {
      for (const Option& cand : options_) {
        if (cand.short_name == c) o = &cand;
      }
    }
    if (!o) {
      *error = "unknown option -" + std::string(1, static_cast<char>(c));
      return Outcome::kUsageError;
    }
    std::string why = o->set(optarg ? optarg : "");
    if (!why.empty()) {
      *error = why;
      return Outcome::kUsageError;
    }
  }
  for (int i = optind; i < argc; ++i) {
    if (max_operands_ >= 0 && static_cast<int>(operands->size()) >= max_operands_) {
      *error = std::string("unexpected argument ") + argv[i];
      return Outcome::kUsageError;
    }
    operands->push_back(argv[i]);
  }
  return Outcome::kRun;
}

void CommandLine::Fail(const std::string& why) const {
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program_.c_str(),
               why.c_str(), program_.c_str());
  std::exit(kExitUsage);
}

std::vector<std::string> CommandLine::Parse(int argc, char** argv) {
  std::vector<std::string> operands;
  std::string error;
  switch (TryParse(argc, argv, &operands, &error)) {
    case Outcome::kHelp:
      std::fputs(Help().c_str(), stdout);
      std::exit(kExitOk);
    case Outcome::kVersion:
      PrintVersion(program_.c_str());
      std::exit(kExitOk);
    case Outcome::kUsageError:
      Fail(error);
    case Outcome::kRun:
      break;
  }
  return operands;
}

}  // namespace orvel::cli
