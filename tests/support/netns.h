// A network namespace of the test's own that the calling thread moves into,
// so that routing and rtnetlink calls made by the code under test act inside
// it and never on the machine's own tables.
#pragma once
#include <string>

class PrivateNetns {
 public:
  PrivateNetns() = default;
  ~PrivateNetns();  // back to the thread's own namespace, then deleted
  PrivateNetns(const PrivateNetns&) = delete;
  PrivateNetns& operator=(const PrivateNetns&) = delete;

  // Makes the namespace prefix<pid>: "" or what ip said.
  std::string create(const std::string& prefix);
  // Runs "ip -n <namespace> args": "" or what ip said.
  std::string ip(const std::string& args) const;
  // Moves the calling thread inside until this object goes.
  bool enter();

 private:
  std::string name_;
  bool added_ = false;
  int home_ = -1;
};
