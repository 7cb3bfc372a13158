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
  std::optional<std::vector<std::string>> get_multi(const std::string& key,
                                                    const std::string& name) const;

  // Sets a value, creating the key; false on an I/O failure.
  bool set(const std::string& key, const std::string& name, const RegValue& value);
  bool set_sz(const std::string& key, const std::string& name, const std::string& v);
  bool set_dword(const std::string& key, const std::string& name, uint32_t v);
  bool set_multi(const std::string& key, const std::string& name, const std::vector<std::string>& v);
  bool delete_value(const std::string& key, const std::string& name);

  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

}  // namespace velarn
