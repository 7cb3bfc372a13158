// A SoftHSM2 token of the test's own: its token folder and configuration
// file in a folder the test gives, a token labelled "velarn" with the PINs
// below, and keys and certificates made with the openssl tool and written
// with pkcs11-tool.
#pragma once
#include <string>

inline const char* kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";
inline const char* kPin = "1234";
inline const char* kSoPin = "87654321";

class SoftHsmToken {
 public:
  explicit SoftHsmToken(const std::string& dir);
  const std::string& dir() const { return dir_; }
  const std::string& conf() const { return conf_; }

  // Writes the configuration and initialises the token; the tool's output
  // when that failed, empty on success. SOFTHSM2_CONF names this token in
  // the tools it runs, and in the test program too when export_env is set.
  bool init(std::string* error, bool export_env = true);
  // A shell command run with SOFTHSM2_CONF naming this token; as run_command.
  std::string run(const std::string& cmd, int* status = nullptr) const;
  // "pkcs11-tool --module <module>", ready for further options.
  static std::string tool(const std::string& module = kSoftHsm);
  // A key and a self-signed certificate with the common name cn in dir's
  // name.key and name.crt (PEM).
  bool make_identity(const std::string& name, const std::string& cn, std::string* error) const;
  // Writes name.key and/or name.crt to the token under the given id, with
  // name as the label.
  bool import(const std::string& name, const std::string& id, std::string* error, bool key = true,
              bool cert = true) const;

 private:
  std::string dir_, conf_;
};
