// console.h: the service's console.  The locator pauses on it between the
// steps it shows on the coordinate monitor, so that an operator can follow
// a demonstration step by step.
#ifndef ORVEL_APPS_CONSOLE_H_
#define ORVEL_APPS_CONSOLE_H_

#include <termios.h>

#include <cstdio>

// Set by initConsole() before the server starts and never changed.

// The console: the controlling terminal opened "r+", or stdin; unbuffered.
extern FILE* ins;
// The console's settings at start-up, and the pause settings (no ICANON,
// ECHO, ECHOE, ECHOK, ECHONL; VMIN 1, VTIME 0; everything else kept).
extern struct termios termsave;
extern struct termios term;

// Opens the console and prepares termsave/term; the console itself is not
// changed.  Prints "failed to open cterm?!\n" on stderr and uses stdin when
// there is no controlling terminal.  REQUIRES: called once, before any
// thread that may pause.
void initConsole();

// Waits for one key typed on the console after the call began: flushes
// type-ahead, switches to the pause settings, reads one byte (end of file
// also ends the pause) and restores termsave.  Pauses are serialised, so two
// concurrent pauses take one key each.  An interrupt, termination or hang-up
// signal during a pause restores termsave before the process ends.  When the
// console is a terminal whose foreground process group is not ours (the
// service runs in the background), the pause is skipped with a line on
// stdout instead of letting the terminal stop the process.  Blocks until a
// key arrives.
void pressAnyKey();

// Puts the console back to termsave when a pause holds it in the pause
// settings: for a process that ends while a pause still waits.  Any thread.
void restoreConsole();

#endif  // ORVEL_APPS_CONSOLE_H_
