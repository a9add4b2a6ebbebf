// settings.h: what the coordinates file and the monitor client take from
// the environment.  Internal; never installed.
//
// getCoordinates() and pelmmon_color() read these at each call that needs
// them (a variable set between two calls counts for the second), and only
// through ReadSettings().  Thread-safe as long as nothing sets the
// environment at the same time.
#ifndef ORVEL_LIBORVEL_PELM_SETTINGS_H_
#define ORVEL_LIBORVEL_PELM_SETTINGS_H_

namespace orvel::pelm {

struct Settings {
  // ORVEL_PATH: the folder of pelm.coords.  Default: unset (null), no file.
  const char* orvel_path = nullptr;
  // ORVEL_PELMMONITOR: "ADDR" or "ADDR:PORT" of the coordinate monitor.
  // Default: unset (null), no colour lines are sent.
  const char* monitor = nullptr;
  // ORVEL_PELMMONITOR_TIMEOUT_MS: one deadline for connecting to the monitor
  // and sending the line, 1 to 600000.  Default: 2000 (also for any text
  // outside that range).
  int monitor_timeout_ms = 2000;
};

// The current values.  The strings point into the environment.
Settings ReadSettings();

}  // namespace orvel::pelm

#endif  // ORVEL_LIBORVEL_PELM_SETTINGS_H_
