// The console's interface to gpiolink.so: exported beside the six functions
// of GpioLink.h, bound by name like them. It edits the same configuration
// that Open loaded and ShowConfigDialog saves, while the inputs run.
//
//   GpioConsoleSourceCount / GpioConsoleSourceName   the configured sources,
//                                                    in name order
//   GpioConsoleReadSource                            valid mask and card
//   GpioConsoleReadInput                             an input's configuration
//                                                    and live status
//   GpioConsoleConfigure                             change an input, at once
//   GpioConsoleSave                                  write everything
//   GpioConsoleTestRule                              the dialog's Test button
//   GpioConsoleSetMessageHandler                     where messages go
//
// Inputs are numbered as users see them: 5, 6, 7 and 8. Texts are
// NUL-terminated; every output buffer is filled within its size (cut, still
// terminated). Every function may be called from any thread after Open and
// before Close; the library serialises them with its exports. Failures are
// false or -1, never exceptions.
#pragma once

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct GpioInputInfo {
  char szHostAddress[128];  // "host" or "host:port" (port 80 when absent)
  char szOnPattern[256];    // egrep pattern that turns the input ON
  char szOffPattern[256];   // egrep pattern that turns the input OFF
  uint8_t bCaseSensitive;   // 1: patterns compare case-sensitively
  uint8_t bInitialState;    // 1: ON at start and after a lost connection
  uint8_t bActive;          // 1: the input runs and counts in the state byte
  // Live, filled by GpioConsoleReadInput and ignored by GpioConsoleConfigure:
  uint8_t bState;           // the state the server sees (active AND ON)
  uint8_t bPatternErrors;   // bit 0: the ON pattern does not compile; bit 1: OFF
  char szStatus[128];       // "Inactive!", "Inactive", "Connecting to <host>",
                            // "ON (<host>)", "OFF (<host>)", "ON Error!", "OFF Error!"
} GpioInputInfo;

int GpioConsoleSourceCount(void);
// The name of source `index` (0 .. count-1) into `name`; false past the end.
bool GpioConsoleSourceName(int index, char* name, uint32_t size);
// Valid mask (as OpenDevice reports it) and card number (-1: no card).
bool GpioConsoleReadSource(const char* source_name, uint8_t* valid_mask, int32_t* card);
// False when the source has no entry or the input is not 5-8.
bool GpioConsoleReadInput(const char* source_name, int input, GpioInputInfo* info);
// Stores the configuration part of *info for the input (creating the source's
// entry) and applies it now: activating starts and configures the reader,
// deactivating stops it, an active input takes the new settings. Nothing is
// saved until GpioConsoleSave. False with a reason in `error` for an input
// number outside 5-8, a text that is too long or a reader that cannot start.
bool GpioConsoleConfigure(const char* source_name, int input, const GpioInputInfo* info,
                          char* error, uint32_t error_size);
// Rebuilds every valid mask and writes the whole configuration in one go.
bool GpioConsoleSave(void);
// "ON", "OFF", "both!!!", "no match!" or the parse error message of the
// pattern that does not compile.
void GpioConsoleTestRule(const char* on_pattern, const char* off_pattern, uint8_t case_sensitive,
                         const char* text, char* result, uint32_t size);
// Messages that would be message boxes go to handler(context, text) instead
// of standard error; null goes back to standard error. The handler may run on
// any thread that calls the library and must not call back into it.
void GpioConsoleSetMessageHandler(void (*handler)(void* context, const char* text),
                                  void* context);

#ifdef __cplusplus
}
#endif
