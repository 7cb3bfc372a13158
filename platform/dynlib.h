// Shared objects loaded by path at run time (the PKCS#11 modules). One place
// decides how a library is loaded, so every user gets the same isolation of
// symbols and the same error texts.
#pragma once
#include <string>

namespace velarn {

// Owns one loaded library; closing (or destroying) unloads it. Symbols are
// bound at load time and kept local to the library, so a module's names can
// neither satisfy nor clash with another module's.
class DynLib {
 public:
  DynLib() = default;
  ~DynLib() { close(); }
  DynLib(DynLib&& other) noexcept;
  DynLib& operator=(DynLib&& other) noexcept;
  DynLib(const DynLib&) = delete;
  DynLib& operator=(const DynLib&) = delete;

  // Loads path (closing what was open before). False with error() set.
  bool open(const std::string& path);
  void close();
  bool is_open() const { return handle_ != nullptr; }

  // The address of name in the library, or nullptr with error() set.
  void* symbol(const char* name);
  template <typename Fn>
  Fn function(const char* name) {
    return reinterpret_cast<Fn>(symbol(name));
  }

  // Why the last open or look-up failed.
  const std::string& error() const { return error_; }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

}  // namespace velarn
