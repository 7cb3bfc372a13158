// Bounded waits: each polls its condition until it holds or the time is up,
// so that a slow, loaded machine only makes a test slower, never wrong.
#pragma once
#include <functional>
#include <string>

void sleep_ms(int ms);
// True once cond holds, polled every step_ms for up to ms.
bool wait_until(const std::function<bool()>& cond, int ms = 5000, int step_ms = 20);
// True once the file holds text.
bool wait_for_text(const std::string& file, const std::string& text, int ms = 5000);
// True while something accepts TCP connections on the loopback port.
bool port_accepts(int port);
bool wait_for_port(int port, int ms = 5000);
// A loopback port nothing listens on (taken and given back at once).
int closed_port();
