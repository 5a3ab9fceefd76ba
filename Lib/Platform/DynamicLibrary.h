// Loading plug-in libraries by file name.
//
// Our libraries sit together in one library folder: lib/ of the build tree,
// a private folder such as /usr/lib/<arch>/logrum2 once installed. A library that binds a plug-in looks for it in the
// library folder of the code doing the binding, never on the system search path,
// so a missing plug-in is reported as missing rather than silently replaced by
// some other copy.
//
// Thread safety: a DynamicLibrary object is not thread-safe; the free functions
// may be called from any thread. Error messages come from dlerror() of the
// calling thread and name the file or symbol.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Lib/Platform/Status.h"

namespace logrum::platform {

// Owns one dlopen handle; the library is closed when the object is destroyed
// (or by Close). Symbols found through it must not be used after that.
class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads `path` (a path, or a bare file name for the system search). Symbols are
  // bound at once (RTLD_NOW) and kept local to the library. A library already
  // open in this object is closed first.
  Status Open(const std::string& path);

  // Loads `file_name` from the library folders of the object that holds `code`
  // (see LibraryFolders), the first folder that has the file. When it is found
  // nowhere the Status names every place looked at.
  Status OpenBeside(const void* code, std::string_view file_name);

  void Close();
  bool is_open() const { return handle_ != nullptr; }
  // The path that was loaded; empty while closed.
  const std::string& path() const { return path_; }

  // The address of an exported symbol in *address; null there when it fails.
  Status Symbol(const char* name, void** address) const;

  // Symbol cast to a function pointer type, e.g.
  // Function("_6A7B31", &entry) with `Entry* (*entry)()`.
  template <typename Fn>
  Status Function(const char* name, Fn* fn) const {
    void* address = nullptr;
    Status status = Symbol(name, &address);
    *fn = reinterpret_cast<Fn>(address);
    return status;
  }

  // For the entries a library may leave out: the function, or null when the
  // library does not export it (or none is open).
  template <typename Fn>
  Fn OptionalFunction(const char* name) const {
    void* address = nullptr;
    return Symbol(name, &address).ok() ? reinterpret_cast<Fn>(address) : nullptr;
  }

 private:
  void* handle_ = nullptr;
  std::string path_;
};

// The absolute path of the shared object or program that contains `code` (any
// address of code or data in it); for the main program, /proc/self/exe. Empty
// when the address belongs to no loaded object.
std::string CodeObjectPath(const void* code);

// The folder (no trailing '/') of CodeObjectPath(code); empty when unknown.
std::string CodeFolder(const void* code);

// The folders where the object holding `code` finds the libraries it binds by
// file name, in search order: the installation's plug-in folder seen from
// "<folder>" (a program in PREFIX/bin finds PREFIX/lib/.../logrum2) when that
// folder exists, "<folder>/../lib" (the build tree), then "<folder>" itself
// (each folder once). Empty when the object is unknown.
std::vector<std::string> LibraryFolders(const void* code);

}  // namespace logrum::platform
