#pragma once
// A TCP port on the loopback address that was free a moment ago, for a
// server a test starts.

namespace testsupport {

unsigned short free_tcp_port();
// The same for a UDP server (snmpd, snmptrapd).
unsigned short free_udp_port();

}  // namespace testsupport
