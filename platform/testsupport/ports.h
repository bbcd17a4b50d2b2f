// Loopback ports for tests that run servers of their own.
#ifndef KV_PLATFORM_TESTSUPPORT_PORTS_H
#define KV_PLATFORM_TESTSUPPORT_PORTS_H

#include <cstdint>

namespace kv::test {

// A TCP port on 127.0.0.1 that was free a moment ago: one below the range
// the kernel gives outgoing connections, that binds and has no listener.
uint16_t FreePort();

// True when a TCP connection to 127.0.0.1:port is accepted.
bool CanConnect(uint16_t port);

// Polls CanConnect every 50 ms, at most `tries` times; returns CanConnect.
bool WaitForPort(uint16_t port, int tries = 200);

}  // namespace kv::test

#endif
