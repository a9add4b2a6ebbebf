#include "log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "cli.h"

namespace orvel::cli {
namespace {

std::string g_program = "orvel";
LogFormat g_format = LogFormat::kPlain;
bool g_stamp = true;

// A whole unsigned decimal number: digits only, no sign, no space, no
// overflow.
bool ParseDecimal(const std::string& text, unsigned long long* out) {
  if (text.empty() || text.size() > 20) return false;
  unsigned long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const unsigned d = static_cast<unsigned>(c - '0');
    if (v > (~0ULL - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = v;
  return true;
}

// systemd sets JOURNAL_STREAM to "DEV:INODE", both decimal, of the stream
// it connected to the journal (st_dev as the kernel reports it, not split
// into major and minor).  It counts only while standard error is still
// that stream: a daemon started from a unit whose stderr was redirected
// again inherits the variable but not the journal.
bool StderrIsJournal() {
  const char* js = std::getenv("JOURNAL_STREAM");
  if (!js) return false;
  const std::string text = js;
  const size_t colon = text.find(':');
  unsigned long long dev = 0, ino = 0;
  if (colon == std::string::npos || !ParseDecimal(text.substr(0, colon), &dev) ||
      !ParseDecimal(text.substr(colon + 1), &ino)) {
    return false;
  }
  struct stat st {};
  if (fstat(STDERR_FILENO, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == dev &&
         static_cast<unsigned long long>(st.st_ino) == ino;
}

}  // namespace

bool ParseLogFormat(const std::string& text, LogFormat* out) {
  if (text == "plain") {
    *out = LogFormat::kPlain;
  } else if (text == "journal") {
    *out = LogFormat::kJournal;
  } else {
    return false;
  }
  return true;
}

void AddLogFormatOption(CommandLine* cli, LogFormat* out) {
  cli->Value("log-format", 0, "FORMAT",
             "plain: one line per event on standard error,\n"
             "stamped with ISO-8601 UTC time unless it is a\n"
             "terminal; journal: syslog priority prefixes for\n"
             "journald (default: journal when standard error\n"
             "is the journal, else plain)",
             [out](const std::string& v) -> std::string {
               if (ParseLogFormat(v, out)) return "";
               return "--log-format needs plain or journal, not \"" + v + "\"";
             });
}

void InitLog(const char* program, LogFormat format) {
  g_program = program;
  if (format == LogFormat::kAuto)
    format = StderrIsJournal() ? LogFormat::kJournal : LogFormat::kPlain;
  g_format = format;
  g_stamp = format == LogFormat::kPlain && !isatty(STDERR_FILENO);
}

LogFormat CurrentLogFormat() { return g_format; }

std::string LogPrefix(LogLevel level, const timespec& t) {
  if (g_format == LogFormat::kJournal) {
    return "<" + std::to_string(static_cast<int>(level)) + ">" + g_program + ": ";
  }
  if (!g_stamp) return g_program + ": ";
  tm utc{};
  gmtime_r(&t.tv_sec, &utc);
  char stamp[40];
  size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(stamp + n, sizeof stamp - n, ".%03ldZ ", t.tv_nsec / 1000000);
  return stamp + g_program + ": ";
}

void Log(LogLevel level, const char* fmt, ...) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::string line = LogPrefix(level, now);
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof buf) {
    line.append(buf, static_cast<size_t>(n));
  } else {
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    std::vsnprintf(&big[0], big.size(), fmt, ap);
    va_end(ap);
    big.resize(static_cast<size_t>(n));
    line += big;
  }
  // One event, one line: embedded line feeds would split it.
  for (char& c : line) {
    if (c == '\n') c = ' ';
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  line += '\n';
  // One write keeps lines from threads whole.
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t w = ::write(STDERR_FILENO, p, left);
    if (w <= 0) break;
    p += w;
    left -= static_cast<size_t>(w);
  }
}

}  // namespace orvel::cli
