// log.h: one line per event on standard error for the daemons.
//
// plain: "2026-01-31T12:00:00.123Z PROGRAM: message" when standard error is
// not a terminal (a file, a pipe, a collector), "PROGRAM: message" on a
// terminal, where the reader sees the time anyway.
// journal: "<N>PROGRAM: message" with the syslog priority N, for journald,
// which stamps the time itself.  Without --log-format the journal form is
// chosen when standard error is the journal's stream (JOURNAL_STREAM).
#ifndef ORVEL_TOOLS_COMMON_LOG_H_
#define ORVEL_TOOLS_COMMON_LOG_H_

#include <cstdio>
#include <ctime>
#include <string>

namespace orvel::cli {

class CommandLine;

enum class LogFormat { kAuto, kPlain, kJournal };
enum class LogLevel { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6, kDebug = 7 };

// "plain" or "journal"; false for anything else.
bool ParseLogFormat(const std::string& text, LogFormat* out);

// Adds --log-format=plain|journal to a daemon's command line.
void AddLogFormatOption(CommandLine* cli, LogFormat* out);

// Sets the program name and the format; kAuto looks at standard error.
void InitLog(const char* program, LogFormat format);

// The resolved format (never kAuto after InitLog).
LogFormat CurrentLogFormat();

// Writes one line (a trailing '\n' in fmt is not needed).  Thread-safe: the
// line goes out in one write.
void Log(LogLevel level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// The prefix of a line at time t (UTC, milliseconds) for tests and for
// callers that format their own lines.
std::string LogPrefix(LogLevel level, const timespec& t);

}  // namespace orvel::cli

#endif  // ORVEL_TOOLS_COMMON_LOG_H_
