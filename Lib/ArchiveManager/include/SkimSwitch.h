// The skim input of one archive, as the archive service sees it.
//
// The server program implements this interface (App/Server/SkimSwitch*) on the
// GPIO library and owns the object; it outlives the open archive. The archive
// hands the pointer on to its skim encoder, which polls it.
//
// Binary contract: the virtual functions are declared in their fixed slot
// order, which is part of the interface between the libraries; never reorder,
// overload or add default arguments. Neither function throws.
//
// Thread safety: both functions may be called from any thread at any time; they
// read single bytes that the server program's UI thread writes.
#pragma once

namespace logrum {

class SkimSwitch {
 public:
  // 1: the current state of the skim input (the selected switches, after the
  // invert flag). False when the GPIO library or the device is missing.
  virtual bool IsOn() = 0;
  // 2: whether the archive records at all just now. False while the weekly
  // schedule holds recording paused; IsOn then chooses nothing.
  virtual bool IsRecordEnabled() = 0;
  // 3: never called by the archive service.
  virtual ~SkimSwitch() = default;
};

}  // namespace logrum
