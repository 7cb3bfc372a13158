#include "peers.h"

#include <signal.h>

#include "wait.h"

SServer::SServer(const std::vector<std::string>& options) {
  std::vector<std::string> argv = {"openssl", "s_server", "-accept", "127.0.0.1:0", "-rev"};
  argv.insert(argv.end(), options.begin(), options.end());
  if (start(argv, {.die_with_parent = true})) port_ = port_after("ACCEPT ");
}

#ifndef KEVA_SERVER_PATH
#define KEVA_SERVER_PATH "keva-server"
#endif

KevaServer::KevaServer(const std::vector<std::string>& options) {
  std::vector<std::string> argv = {KEVA_SERVER_PATH, "--listen", "127.0.0.1", "--port", "0"};
  argv.insert(argv.end(), options.begin(), options.end());
  if (start(argv, {.die_with_parent = true})) port_ = port_after("listening on ");
}

Tinyproxy::Tinyproxy(bool auth) {
  port_ = closed_port();
  std::string conf = "Port " + std::to_string(port_) +
                     "\nListen 127.0.0.1\nTimeout 30\nMaxClients 10\nAllow 127.0.0.1\nLogLevel Critical\n"
                     "LogFile \"" +
                     dir_.path() + "/log\"\n";
  if (auth) conf += "BasicAuth user secret\n";
  write_file(dir_.path() + "/tinyproxy.conf", conf);
  pid_ = spawn({"tinyproxy", "-d", "-c", dir_.path() + "/tinyproxy.conf"}, {.own_group = true});
  wait_for_port(port_);
}

Tinyproxy::~Tinyproxy() { finish(pid_, SIGTERM); }
