// The one HOST:PORT parser behind every address option: what it takes, what it
// refuses and in which words.
#include <gtest/gtest.h>

#include "host/host_port.h"

namespace {

using smd::HostPort;
using smd::PortZero;

struct Case {
    const char* text;
    PortZero zero;
    unsigned default_port;
    const char* host;  // null: refused
    unsigned port;
    const char* why;
};

const Case kCases[] = {
    {"127.0.0.1:9418", PortZero::Refused, 0, "127.0.0.1", 9418, ""},
    {"plant.example:3493", PortZero::Refused, 0, "plant.example", 3493, ""},
    {"[::1]:3493", PortZero::Refused, 0, "::1", 3493, ""},
    {"[fe80::1%eth0]:502", PortZero::Refused, 0, "fe80::1%eth0", 502, ""},
    {"0.0.0.0:0", PortZero::Allowed, 0, "0.0.0.0", 0, ""},
    {"broker", PortZero::Refused, 1883, "broker", 1883, ""},
    {"[::1]", PortZero::Refused, 8883, "::1", 8883, ""},
    {"host:65535", PortZero::Refused, 0, "host", 65535, ""},
    // Refused, each in its own words.
    {"host:0", PortZero::Refused, 0, nullptr, 0, "the port is not a number from 1 to 65535"},
    {"host:65536", PortZero::Allowed, 0, nullptr, 0, "the port is not a number from 0 to 65535"},
    // A resolver would take 99999 modulo 65536, or 0x50 as 80.
    {"host:099999", PortZero::Refused, 0, nullptr, 0, "the port is not a number from 1 to 65535"},
    {"host:+80", PortZero::Refused, 0, nullptr, 0, "the port is not a number from 1 to 65535"},
    {"host:", PortZero::Refused, 1883, nullptr, 0, "the port is not a number from 1 to 65535"},
    {"host", PortZero::Refused, 0, nullptr, 0, "has no port (HOST:PORT)"},
    {":80", PortZero::Refused, 0, nullptr, 0, "has no host"},
    {"", PortZero::Refused, 1883, nullptr, 0, "has no host"},
    {"::1:80", PortZero::Refused, 0, nullptr, 0,
     "has more than one colon (an IPv6 address goes in brackets: [::1]:PORT)"},
    {"[::1:80", PortZero::Refused, 0, nullptr, 0, "an IPv6 address needs its ]"},
    {"[::1]80", PortZero::Refused, 0, nullptr, 0, "has text after the IPv6 address"},
    {"[host]:80", PortZero::Refused, 0, nullptr, 0, "is not an IPv6 address in brackets"},
    {"a b:80", PortZero::Refused, 0, nullptr, 0, "the host has a space, a slash or an @"},
    {"user@host:80", PortZero::Refused, 0, nullptr, 0, "the host has a space, a slash or an @"},
};

TEST(HostPort, TakesAndRefusesEveryAddressOptionsTexts) {
    for (const Case& c : kCases) {
        HostPort hp;
        hp.host = "untouched";
        const std::string why = smd::parse_host_port(c.text, hp, c.zero, c.default_port);
        EXPECT_EQ(why, c.why) << c.text;
        if (c.host) {
            EXPECT_EQ(hp.host, c.host) << c.text;
            EXPECT_EQ(hp.port, c.port) << c.text;
        } else {
            EXPECT_EQ(hp.host, "untouched") << c.text << ": a refused text leaves the answer alone";
        }
    }
    HostPort v6;
    ASSERT_EQ(smd::parse_host_port("[::1]:3493", v6, PortZero::Refused), "");
    EXPECT_EQ(v6.text(), "[::1]:3493");
}

}  // namespace
