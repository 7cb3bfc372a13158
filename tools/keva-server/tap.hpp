#pragma once
// The server's own TAP device as a switch port.
#include <string>
#include <thread>
#include <vector>

#include "server.hpp"
#include "switch.hpp"

namespace ks {

// Creates TAP device `name` (no packet information header), brings it up and
// returns its non-blocking descriptor, or -1 with `err` set. Linux only.
int tap_open(const std::string& name, std::string& err);

class TapPort : public Port {
public:
    TapPort(Server& srv, int fd, std::string name);
    ~TapPort() override;
    bool start();
    void stop();
    void deliver(const BatchView& b, const bool* sel, int nsel) override;
    const char* port_name() const override { return name_.c_str(); }

private:
    void run();
    Server& srv_;
    int fd_;
    std::string name_;
    std::thread thread_;
    std::vector<uint8_t> batch_;
    unsigned long long write_errors_ = 0;
};

}  // namespace ks
