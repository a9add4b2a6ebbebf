// The shared command-line convention and log lines of the tools.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli.h"
#include "log.h"
#include "testutil/process_util.h"

namespace orvel::cli {
namespace {

// getopt wants a mutable, null-terminated argv.
class Argv {
 public:
  Argv(std::initializer_list<const char*> args) {
    for (const char* a : args) store_.emplace_back(a);
    for (std::string& s : store_) ptrs_.push_back(&s[0]);
    ptrs_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(store_.size()); }
  char** argv() { return ptrs_.data(); }

 private:
  std::vector<std::string> store_;
  std::vector<char*> ptrs_;
};

TEST(CliNumbers, AcceptOnlyWholeNumbersInRange) {
  long long v = -1;
  EXPECT_TRUE(ParseNumber("0", 0, 65535, &v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(ParseNumber("65535", 0, 65535, &v));
  EXPECT_EQ(v, 65535);
  EXPECT_TRUE(ParseNumber("-5", -10, 10, &v));
  EXPECT_EQ(v, -5);
  v = 7;
  for (const char* bad :
       {"", "65536", "-1", "12x", " 1", "+1", "1 ", "0x10", "-", "99999999999999999999999"}) {
    EXPECT_FALSE(ParseNumber(bad, 0, 65535, &v)) << '"' << bad << '"';
  }
  EXPECT_EQ(v, 7) << "a refused number leaves the output alone";
  double s = 0;
  EXPECT_TRUE(ParseSeconds("0.25", 10, &s));
  EXPECT_DOUBLE_EQ(s, 0.25);
  for (const char* bad : {"0", "-1", "nan", "11", "1s", ""}) {
    EXPECT_FALSE(ParseSeconds(bad, 10, &s)) << '"' << bad << '"';
  }
}

struct Parsed {
  int port = 427;
  std::string name;
  std::vector<std::string> nets;
  bool verbose = false;
  double wait = 1;
};

CommandLine MakeCli(Parsed* p) {
  CommandLine cli("prog", "Usage: prog [options] [FILE]", "Does things.");
  cli.Number("port", 'p', "N", "port", 0, 65535, &p->port)
      .Text("name", 'n', "NAME", "a name\nover two lines", &p->name)
      .TextList("net", 0, "NET", "repeatable", &p->nets)
      .Flag("verbose", 'v', "chatty", &p->verbose)
      .Seconds("wait", "S", "seconds", 60, &p->wait)
      .Operands(1)
      .Environment("  PROG_HOME  where things are\n");
  return cli;
}

TEST(CliParse, LongShortAndJoinedFormsAndOperands) {
  Parsed p;
  CommandLine cli = MakeCli(&p);
  Argv a{"prog", "--port=80", "-vn", "x", "file", "--net", "a", "--net=b", "--wait", "2.5"};
  std::vector<std::string> ops;
  std::string err;
  ASSERT_EQ(cli.TryParse(a.argc(), a.argv(), &ops, &err), CommandLine::Outcome::kRun) << err;
  EXPECT_EQ(p.port, 80);
  EXPECT_TRUE(p.verbose);
  EXPECT_EQ(p.name, "x");
  EXPECT_EQ(p.nets, (std::vector<std::string>{"a", "b"}));
  EXPECT_DOUBLE_EQ(p.wait, 2.5);
  EXPECT_EQ(ops, std::vector<std::string>{"file"});

  // A second parse starts afresh (getopt keeps global state).
  Parsed q;
  CommandLine again = MakeCli(&q);
  Argv b{"prog", "-p", "1"};
  ops.clear();
  ASSERT_EQ(again.TryParse(b.argc(), b.argv(), &ops, &err), CommandLine::Outcome::kRun) << err;
  EXPECT_EQ(q.port, 1);
  EXPECT_TRUE(ops.empty());
}

TEST(CliParse, UsageErrorsSayWhy) {
  struct Case {
    std::vector<const char*> args;
    std::string why;
  };
  const std::vector<Case> cases = {
      {{"prog", "--port", "65536"}, "--port needs a number 0..65535, not \"65536\""},
      {{"prog", "--port=-1"}, "--port needs a number 0..65535, not \"-1\""},
      {{"prog", "--port"}, "--port needs a value"},
      {{"prog", "-p"}, "-p needs a value"},
      {{"prog", "--bogus"}, "unknown or ambiguous option --bogus"},
      {{"prog", "--bogus=1"}, "unknown or ambiguous option --bogus"},
      {{"prog", "-vx"}, "unknown or ambiguous option -x"},
      {{"prog", "--wait", "0"}, "--wait needs seconds above 0, at most 60, not \"0\""},
      {{"prog", "a", "b"}, "unexpected argument b"},
      {{"prog", "--verbose=yes"}, "--verbose does not take a value"},
  };
  for (const Case& c : cases) {
    Parsed p;
    CommandLine cli = MakeCli(&p);
    std::vector<std::string> store(c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& s : store) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    std::vector<std::string> ops;
    std::string err;
    EXPECT_EQ(cli.TryParse(static_cast<int>(store.size()), argv.data(), &ops, &err),
              CommandLine::Outcome::kUsageError)
        << c.args[1];
    EXPECT_EQ(err, c.why) << c.args[1];
  }
}

TEST(CliParse, HelpAndVersionAndTheirText) {
  Parsed p;
  CommandLine cli = MakeCli(&p);
  std::vector<std::string> ops;
  std::string err;
  Argv h{"prog", "--port", "1", "-h"};
  EXPECT_EQ(cli.TryParse(h.argc(), h.argv(), &ops, &err), CommandLine::Outcome::kHelp);
  Argv v{"prog", "--version"};
  EXPECT_EQ(cli.TryParse(v.argc(), v.argv(), &ops, &err), CommandLine::Outcome::kVersion);

  const std::string help = cli.Help();
  EXPECT_EQ(help.rfind("Usage: prog [options] [FILE]\nDoes things.\n\nOptions:\n", 0), 0u) << help;
  EXPECT_NE(help.find("  -p, --port N            port\n"), std::string::npos) << help;
  EXPECT_NE(help.find("a name\n                          over two lines\n"), std::string::npos)
      << help;
  EXPECT_NE(help.find("      --version"), std::string::npos);
  EXPECT_NE(help.find("\nEnvironment:\n  PROG_HOME"), std::string::npos);
  EXPECT_NE(help.find(std::string("\nExit status:\n") + kExitStatusHelp), std::string::npos);

  // A subcommand whose --version is a value of its own.
  std::string version;
  CommandLine sub("prog sub", "Usage: prog sub", "");
  sub.WithoutVersion().Text("version", 0, "N", "message version", &version);
  Argv s{"sub", "--version", "12"};
  ASSERT_EQ(sub.TryParse(s.argc(), s.argv(), &ops, &err), CommandLine::Outcome::kRun) << err;
  EXPECT_EQ(version, "12");
  EXPECT_EQ(sub.Help().find("print the program's name and version"), std::string::npos);
}

TEST(CliLog, FormatsAndOneLinePerEvent) {
  LogFormat f = LogFormat::kAuto;
  EXPECT_TRUE(ParseLogFormat("journal", &f));
  EXPECT_EQ(f, LogFormat::kJournal);
  EXPECT_TRUE(ParseLogFormat("plain", &f));
  EXPECT_EQ(f, LogFormat::kPlain);
  EXPECT_FALSE(ParseLogFormat("json", &f));

  timespec t{};
  t.tv_sec = 1767225600 + 3723;  // 2026-01-01T01:02:03Z
  t.tv_nsec = 45000000;
  InitLog("daemon", LogFormat::kJournal);
  EXPECT_EQ(CurrentLogFormat(), LogFormat::kJournal);
  EXPECT_EQ(LogPrefix(LogLevel::kError, t), "<3>daemon: ");
  EXPECT_EQ(LogPrefix(LogLevel::kInfo, t), "<6>daemon: ");

  // Standard error to a file: the plain form is stamped, one line per call
  // even when the message holds a line feed.
  testutil::TempDir dir;
  const std::string path = dir.path() + "/err";
  int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  int saved = dup(STDERR_FILENO);
  dup2(file, STDERR_FILENO);
  InitLog("daemon", LogFormat::kAuto);  // no JOURNAL_STREAM for this file
  const std::string prefix = LogPrefix(LogLevel::kNotice, t);
  Log(LogLevel::kNotice, "first %d\nsecond", 1);
  InitLog("daemon", LogFormat::kJournal);
  Log(LogLevel::kWarning, "third");
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(file);
  EXPECT_EQ(prefix, "2026-01-01T01:02:03.045Z daemon: ");
  const std::string text = testutil::ReadFileOrEmpty(path);
  const size_t nl = text.find('\n');
  ASSERT_NE(nl, std::string::npos) << text;
  const std::string first = text.substr(0, nl);
  // YYYY-MM-DDTHH:MM:SS.mmmZ
  ASSERT_GT(first.size(), 25u) << first;
  EXPECT_EQ(first[4], '-');
  EXPECT_EQ(first[10], 'T');
  EXPECT_EQ(first[19], '.');
  EXPECT_EQ(first.substr(23), "Z daemon: first 1 second");
  EXPECT_EQ(text.substr(nl + 1), "<4>daemon: third\n");
}

// JOURNAL_STREAM holds "DEV:INODE" in decimal; the journal form is chosen
// without --log-format only when it names standard error itself, and the
// option wins over it either way.
TEST(CliLog, JournalFormatOnlyForTheJournalStream) {
  testutil::ScopedEnv restore("JOURNAL_STREAM", nullptr);
  testutil::StdoutCapture err(STDERR_FILENO);
  struct stat st {};
  ASSERT_EQ(fstat(STDERR_FILENO, &st), 0);
  const std::string dev = std::to_string(static_cast<unsigned long long>(st.st_dev));
  const std::string ino = std::to_string(static_cast<unsigned long long>(st.st_ino));
  auto chosen = [](const char* env, LogFormat option) {
    if (env) {
      setenv("JOURNAL_STREAM", env, 1);
    } else {
      unsetenv("JOURNAL_STREAM");
    }
    InitLog("daemon", option);
    return CurrentLogFormat();
  };
  char hex[64];
  std::snprintf(hex, sizeof hex, "%llx:%s", static_cast<unsigned long long>(st.st_dev),
                ino.c_str());
  const std::string match = dev + ":" + ino;
  const LogFormat journal = chosen(match.c_str(), LogFormat::kAuto);
  Log(LogLevel::kNotice, "to the journal");
  const LogFormat forced_plain = chosen(match.c_str(), LogFormat::kPlain);
  const LogFormat none = chosen(nullptr, LogFormat::kAuto);
  const LogFormat forced_journal = chosen(nullptr, LogFormat::kJournal);
  const std::vector<std::string> wrong = {dev + ":" + std::to_string(st.st_ino + 1),
                                          match + "x",
                                          " " + match,
                                          "+" + match,
                                          dev + ":",
                                          ":" + ino,
                                          "",
                                          dev + ":" + ino + ":" + ino,
                                          "99999999999999999999999:" + ino};
  std::vector<LogFormat> wrong_chosen;
  for (const std::string& w : wrong) wrong_chosen.push_back(chosen(w.c_str(), LogFormat::kAuto));
  // Hex is not what systemd writes (the two only agree below 10).
  const LogFormat hex_chosen = chosen(hex, LogFormat::kAuto);
  const std::string written = err.Finish();

  EXPECT_EQ(journal, LogFormat::kJournal) << match;
  EXPECT_EQ(written, "<5>daemon: to the journal\n");
  EXPECT_EQ(forced_plain, LogFormat::kPlain) << "--log-format=plain wins over the journal";
  EXPECT_EQ(none, LogFormat::kPlain);
  EXPECT_EQ(forced_journal, LogFormat::kJournal);
  for (size_t i = 0; i < wrong.size(); ++i) {
    EXPECT_EQ(wrong_chosen[i], LogFormat::kPlain) << "\"" << wrong[i] << "\"";
  }
  if (st.st_dev >= 10) {
    EXPECT_EQ(hex_chosen, LogFormat::kPlain) << hex;
  }
}

TEST(CliLog, LogFormatOptionTakesPlainOrJournal) {
  LogFormat from_option = LogFormat::kAuto;
  CommandLine cli("daemon", "Usage: daemon", "about");
  AddLogFormatOption(&cli, &from_option);
  Argv ok({"daemon", "--log-format=journal"});
  std::vector<std::string> operands;
  std::string error;
  EXPECT_EQ(cli.TryParse(ok.argc(), ok.argv(), &operands, &error), CommandLine::Outcome::kRun)
      << error;
  EXPECT_EQ(from_option, LogFormat::kJournal);
  Argv bad({"daemon", "--log-format=json"});
  EXPECT_EQ(cli.TryParse(bad.argc(), bad.argv(), &operands, &error),
            CommandLine::Outcome::kUsageError);
  EXPECT_NE(error.find("plain or journal"), std::string::npos) << error;
}

}  // namespace
}  // namespace orvel::cli
