// gpiolink.so: switch inputs for the recording server. Eight inputs per
// audio source (by its capture device name): inputs 1-4 are the contact
// closures of the station's audio card, inputs 5-8 logical inputs switched by
// text lines from TCP peers. The server binds the six plain C functions below
// by name (dlsym).
//
// Calling order: Open once at program start; then any number of OpenDevice,
// GetDeviceSwitchState (polling), CloseDevice and ShowConfigDialog, from any
// thread (the library serialises them); Close at program exit. Close accepts
// a second call.
//
// State byte and valid mask: input n is bit 8-n (input 1 bit 7 ... input 8
// bit 0). In the valid mask a logical input's bit is 1 when it is active, and
// bits 4-7 are all 1 when an audio card carries the source.
//
// Messages (a registry key that cannot be opened, a card that cannot be used)
// go to standard error as the server writes its own ("<3>" priority under
// systemd), or to the handler set with GpioConsoleSetMessageHandler.
#pragma once

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Stores 1 in *config_available when given (even on failure). False when the
// configuration key cannot be opened; nothing is loaded then.
bool Open(uint8_t* config_available);
// Stops every logical input, forgets every handle and the configuration, stops
// polling the cards.
void Close(void);
// No window here: rebuilds the source's valid mask and saves the whole
// configuration (creating an empty entry for a new source). Always true.
bool ShowConfigDialog(const char* ignored, const char* source_name);
// A handle 0-15 for the source (the same one again for the same name in any
// letter case, counted); -1 and false when all 16 are in use or handle is null.
bool OpenDevice(int32_t* handle, const char* ignored, const char* source_name,
                uint8_t* valid_mask);
// The eight inputs of an open handle; false for a handle that is not open.
bool GetDeviceSwitchState(uint32_t handle, uint8_t* state);
// Ends one OpenDevice of the handle; the source's inputs keep running.
void CloseDevice(uint32_t handle);

#ifdef __cplusplus
}
#endif
