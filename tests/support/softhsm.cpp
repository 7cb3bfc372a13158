#include "softhsm.h"

#include <stdlib.h>

#include <filesystem>

#include "files.h"
#include "process.h"

SoftHsmToken::SoftHsmToken(const std::string& dir) : dir_(dir), conf_(dir + "/softhsm2.conf") {}

bool SoftHsmToken::init(std::string* error, bool export_env) {
  std::error_code ec;
  std::filesystem::create_directories(dir_ + "/tokens", ec);
  write_file(conf_, "directories.tokendir = " + dir_ + "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n");
  if (export_env) setenv("SOFTHSM2_CONF", conf_.c_str(), 1);
  int st = -1;
  std::string out =
      run(std::string("softhsm2-util --init-token --free --label velarn --so-pin ") + kSoPin + " --pin " + kPin, &st);
  if (error) *error = st == 0 ? "" : out;
  return st == 0;
}

std::string SoftHsmToken::run(const std::string& cmd, int* status) const {
  return run_command("SOFTHSM2_CONF=" + shell_quote(conf_) + "; export SOFTHSM2_CONF; " + cmd, status);
}

std::string SoftHsmToken::tool(const std::string& module) { return "pkcs11-tool --module " + module; }

bool SoftHsmToken::make_identity(const std::string& name, const std::string& cn, std::string* error) const {
  std::string base = dir_ + "/" + name;
  int st = -1;
  std::string out = run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout " + base + ".key -out " + base +
                            ".crt -subj '/O=Velarn/CN=" + cn + "'",
                        &st);
  if (error) *error = st == 0 ? "" : out;
  return st == 0;
}

bool SoftHsmToken::import(const std::string& name, const std::string& id, std::string* error, bool key,
                          bool cert) const {
  std::string base = dir_ + "/" + name;
  std::string login = tool() + " --login --pin " + kPin;
  int st = 0;
  std::string out;
  if (key)
    out = run("openssl pkey -in " + base + ".key -outform DER -out " + base + ".key.der && " + login +
                  " --write-object " + base + ".key.der --type privkey --id " + id + " --label " + name,
              &st);
  if (st == 0 && cert)
    out = run("openssl x509 -in " + base + ".crt -outform DER -out " + base + ".crt.der && " + login +
                  " --write-object " + base + ".crt.der --type cert --id " + id + " --label " + name,
              &st);
  if (error) *error = st == 0 ? "" : out;
  return st == 0;
}
