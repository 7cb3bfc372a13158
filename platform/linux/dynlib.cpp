#include "platform/dynlib.h"

#include <dlfcn.h>

#include <utility>

namespace velarn {
namespace {

std::string last_error(const char* fallback) {
  const char* why = dlerror();
  return why ? why : fallback;
}

}  // namespace

DynLib::DynLib(DynLib&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), error_(std::move(other.error_)) {}

DynLib& DynLib::operator=(DynLib&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, nullptr);
    error_ = std::move(other.error_);
  }
  return *this;
}

bool DynLib::open(const std::string& path) {
  close();
  error_.clear();
  // An empty name would hand back the program itself.
  if (path.empty()) {
    error_ = "no library named";
    return false;
  }
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) error_ = last_error("cannot be loaded");
  return handle_ != nullptr;
}

void DynLib::close() {
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
}

void* DynLib::symbol(const char* name) {
  if (!handle_) {
    error_ = "no library loaded";
    return nullptr;
  }
  dlerror();  // a stale error must not be taken for this look-up's
  void* address = dlsym(handle_, name);
  if (!address) error_ = last_error("symbol not found");
  return address;
}

}  // namespace velarn
