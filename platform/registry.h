// The registry: a file-backed tree under <root>/etc/velarn/registry standing
// in for HKEY_LOCAL_MACHINE. Key and value names match without regard to
// case (the stored spelling is the one first written); every write is atomic
// (temporary file and rename) and safe between processes; sub-keys are
// enumerated in a stable order.
//
// Paths use backslashes as on Windows: "SYSTEM\\CurrentControlSet\\Control".
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velarn {

enum class RegType : uint32_t { Sz = 1, Dword = 4, MultiSz = 7 };

struct RegValue {
  RegType type = RegType::Sz;
  std::string sz;                  // REG_SZ
  uint32_t dword = 0;              // REG_DWORD
  std::vector<std::string> multi;  // REG_MULTI_SZ
};

struct RegNamedValue {
  std::string name;
  RegValue value;
};

class Registry {
 public:
  // The tree under dir; the default is roots::registry_dir().
  explicit Registry(std::string dir = {});

  bool key_exists(const std::string& key) const;
  // Creates the key and its parents; true when it exists afterwards.
  bool create_key(const std::string& key);
  // Deletes the key with everything under it; true when it is gone.
  bool delete_key(const std::string& key);
  // Names of the direct sub-keys, in a stable order (case-insensitive sort).
  std::vector<std::string> sub_keys(const std::string& key) const;
  // Names of the key's values, in a stable order.
  std::vector<std::string> value_names(const std::string& key) const;

  std::optional<RegValue> get(const std::string& key, const std::string& name) const;
  std::optional<std::string> get_sz(const std::string& key, const std::string& name) const;
  std::optional<uint32_t> get_dword(const std::string& key, const std::string& name) const;
  std::optional<std::vector<std::string>> get_multi(const std::string& key, const std::string& name) const;

  // Sets a value, creating the key; false on an I/O failure.
  bool set(const std::string& key, const std::string& name, const RegValue& value);
  bool set_sz(const std::string& key, const std::string& name, const std::string& v);
  bool set_dword(const std::string& key, const std::string& name, uint32_t v);
  bool set_multi(const std::string& key, const std::string& name, const std::vector<std::string>& v);
  // Removes a value; false when the key or the value is not there (or on an
  // I/O failure), with last_error() saying which.
  bool delete_value(const std::string& key, const std::string& name);

  // Creates the key only when no key of that name exists yet (parents are
  // created as needed); false when it existed or on a failure. Lets several
  // processes claim numbered keys without taking the same one.
  bool create_new_key(const std::string& key);
  // Sets several values of one key in one atomic write, so that a reader
  // sees all of them or none.
  bool set_many(const std::string& key, const std::vector<RegNamedValue>& values);

  const std::string& dir() const { return dir_; }

  // Why the last call that failed (or found a damaged values file) failed;
  // empty after a call that succeeded.
  const std::string& last_error() const { return error_; }

 private:
  std::string dir_;
  mutable std::string error_;
};

// The values file of one key, exposed so that tools and tests can check the
// format itself. parse_values returns false with a message naming the line
// when the text is damaged; format_values is its exact inverse.
bool parse_values(const std::string& text, std::vector<RegNamedValue>& out, std::string& error);
std::string format_values(const std::vector<RegNamedValue>& values);

// "REG_SZ", "REG_DWORD", "REG_MULTI_SZ"
const char* reg_type_name(RegType t);
std::optional<RegType> reg_type_from_name(const std::string& name);

}  // namespace velarn
