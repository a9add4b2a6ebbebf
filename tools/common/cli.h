// cli.h: the command-line convention shared by Orvel's programs.
//
// Long options through getopt_long, --help and --version on every program,
// numbers checked against their range with a message naming the option, and
// one set of exit statuses.  A wrong command line prints one line saying
// why plus a pointer to --help on standard error and ends with status 64.
#ifndef ORVEL_TOOLS_COMMON_CLI_H_
#define ORVEL_TOOLS_COMMON_CLI_H_

#include <signal.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace orvel::cli {

// Exit statuses of the tools (zemsynth keeps its own).
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;       // the operation failed or was refused
constexpr int kExitUnreachable = 2;  // the peer could not be reached
constexpr int kExitUsage = 64;       // wrong command line (EX_USAGE)

// The text every --help ends with, documenting the statuses above.
extern const char kExitStatusHelp[];

// The project version, e.g. "0.1.0".
const char* Version();

// Prints "NAME VERSION\n" on standard output.
void PrintVersion(const char* name);

// Parses a whole decimal number within [lo, hi].  Leading spaces, signs on
// unsigned ranges, trailing characters and overflow are refused.
bool ParseNumber(const std::string& text, long long lo, long long hi, long long* out);
// A positive decimal number of seconds, at most hi.
bool ParseSeconds(const std::string& text, double hi, double* out);

// For an option naming directory agents, "HOST[:PORT],...": "" when every
// item has a host and, after a colon, a port 1..65535; else "OPTION why".
// Names are not resolved here (one that does not resolve is unreachable,
// not a wrong command line).
std::string AgentListError(const std::string& option, const std::string& list);

// Blocks signals in the calling thread, and so in every thread it starts
// afterwards, so that only a sigwait takes them; returns their set.
sigset_t BlockSignals(std::initializer_list<int> signals);

class CommandLine {
 public:
  // A setter returns the empty string when the value is good, otherwise why
  // not (printed after "PROGRAM: ").
  using Setter = std::function<std::string(const std::string& value)>;

  // usage: the "Usage: ..." lines; about: what the program does.
  CommandLine(std::string program, std::string usage, std::string about);

  // An option taking a value.  short_name 0 for none; help may hold '\n'
  // for continuation lines.
  CommandLine& Value(const char* name, char short_name, const char* value_name, const char* help,
                     Setter set);
  CommandLine& Text(const char* name, char short_name, const char* value_name, const char* help,
                    std::string* out);
  // Repeatable: every occurrence is appended.
  CommandLine& TextList(const char* name, char short_name, const char* value_name, const char* help,
                        std::vector<std::string>* out);
  template <typename T>
  CommandLine& Number(const char* name, char short_name, const char* value_name, const char* help,
                      long long lo, long long hi, T* out) {
    std::string opt = std::string("--") + name;
    return Value(name, short_name, value_name, help,
                 [opt, lo, hi, out](const std::string& v) -> std::string {
                   long long n = 0;
                   if (!ParseNumber(v, lo, hi, &n)) return NumberError(opt, v, lo, hi);
                   *out = static_cast<T>(n);
                   return "";
                 });
  }
  CommandLine& Seconds(const char* name, const char* value_name, const char* help, double hi,
                       double* out);
  CommandLine& Flag(const char* name, char short_name, const char* help, bool* out);
  // A flag with an action of its own.
  CommandLine& Action(const char* name, char short_name, const char* help,
                      const std::function<void()>& act);

  // Text after the options (notes, examples), the environment variables
  // read, and the exit statuses (default: kExitStatusHelp).
  CommandLine& Notes(std::string text);
  CommandLine& Environment(std::string text);
  CommandLine& ExitStatus(std::string text);
  // Operands (not options) are allowed, up to max (-1: any number).
  CommandLine& Operands(int max);
  // Drop the automatic --version (a subcommand whose --version is a value).
  CommandLine& WithoutVersion();

  enum class Outcome { kRun, kHelp, kVersion, kUsageError };
  // Parses argv[1..argc-1] without printing or exiting; operands are
  // appended to *operands, a usage error's reason set in *error.
  Outcome TryParse(int argc, char** argv, std::vector<std::string>* operands, std::string* error);
  // TryParse, then --help (stdout, exit 0), --version (stdout, exit 0) or
  // a usage error (stderr, exit 64) end the process.  Returns the operands.
  std::vector<std::string> Parse(int argc, char** argv);
  // Ends the process with a usage error: "PROGRAM: why" and the --help hint.
  [[noreturn]] void Fail(const std::string& why) const;

  std::string Help() const;
  // The option lines alone, as Help() lists them under "Options:".
  std::string OptionsHelp() const;
  const std::string& program() const { return program_; }

  static std::string NumberError(const std::string& option, const std::string& value, long long lo,
                                 long long hi);

 private:
  struct Option {
    std::string name;
    char short_name;
    std::string value_name;  // empty: a flag
    std::string help;
    Setter set;
  };
  std::string program_, usage_, about_, notes_, environment_, exit_status_;
  std::vector<Option> options_;
  int max_operands_ = 0;
  bool version_ = true;
};

}  // namespace orvel::cli

#endif  // ORVEL_TOOLS_COMMON_CLI_H_
