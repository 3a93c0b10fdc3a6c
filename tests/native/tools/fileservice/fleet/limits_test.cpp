// The report route's limits apart from the server: which addresses a list holds, which client a
// front speaks for, and how many reports one address may send.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include "tools/fileservice/fleet/address_list.h"
#include "tools/fileservice/fleet/report_rate.h"

namespace {

TEST(AddressList, NetworksOfBothFamilies) {
    const fleet::AddressList list = fleet::AddressList::Parse("127.0.0.0/8, ::1,10.20.0.0/16,fd00::/8");
    const struct {
        const char* address;
        bool in;
    } cases[] = {
        {"127.0.0.1", true}, {"127.255.3.4", true}, {"::ffff:127.0.0.1", true},
        {"::1", true},       {"10.20.9.9", true},   {"10.21.0.1", false},
        {"fd12::5", true},   {"fe80::1", false},    {"192.0.2.1", false},
        {"::2", false},      {"", false},           {"not an address", false},
        {"[::1]", true},
    };
    for (const auto& c : cases) EXPECT_EQ(list.Contains(c.address), c.in) << c.address;
    for (const char* bad : {"10.0.0.0/33", "::/129", "10.0.0.1/x", "host.example", "10.0.0.0/"})
        EXPECT_THROW(fleet::AddressList::Parse(bad), std::invalid_argument) << bad;
    EXPECT_FALSE(fleet::AddressList::Parse("").Contains("127.0.0.1"));
}

// Only a trusted front names the client, by the address it appended last; a forged header from
// anyone else, or garbage from the front, changes nothing.
TEST(AddressList, TheClientBehindATrustedFront) {
    const fleet::AddressList fronts = fleet::AddressList::Parse("127.0.0.1");
    const struct {
        const char* peer;
        const char* forwarded;
        const char* client;
    } cases[] = {
        {"127.0.0.1", "", "127.0.0.1"},
        {"127.0.0.1", "10.1.2.3", "10.1.2.3"},
        {"127.0.0.1", "6.6.6.6, 10.1.2.3", "10.1.2.3"},
        {"127.0.0.1", "10.1.2.3, garbage", "127.0.0.1"},
        {"10.9.9.9", "127.0.0.1", "10.9.9.9"},
        {"127.0.0.1", "::ffff:10.1.2.3", "10.1.2.3"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fleet::ClientAddress(c.peer, c.forwarded, fronts), c.client)
            << c.peer << " " << c.forwarded;
}

TEST(ReportRate, ABurstThenTheRate) {
    using namespace std::chrono_literals;
    fleet::ReportRate rate(120);  // two a second, a burst of 120
    const auto t0 = fleet::ReportRate::Clock::time_point{} + 1h;
    EXPECT_EQ(rate.Take("10.0.0.1", 50, t0), 0u);
    EXPECT_EQ(rate.Take("10.0.0.1", 50, t0), 0u);
    EXPECT_EQ(rate.Take("10.0.0.1", 50, t0), 15u);  // 20 left: 30 more at two a second
    EXPECT_EQ(rate.Take("10.0.0.2", 50, t0), 0u);   // another address has its own
    EXPECT_EQ(rate.Take("10.0.0.1", 50, t0 + 15s), 0u);
    EXPECT_EQ(rate.Refused(), 1u);
    // IPv6 clients are counted per /64.
    EXPECT_EQ(rate.Take("2001:db8::1", 100, t0), 0u);
    EXPECT_NE(rate.Take("2001:db8::2", 50, t0), 0u);
    EXPECT_EQ(rate.Take("2001:db8:0:1::1", 50, t0), 0u);
    // A batch always fits a bucket, however low the rate.
    fleet::ReportRate slow(1);
    EXPECT_EQ(slow.Take("10.0.0.1", 50, t0), 0u);
    EXPECT_GE(slow.Take("10.0.0.1", 1, t0), 59u);
    EXPECT_EQ(fleet::ReportRate(0).Take("10.0.0.1", 1000000, t0), 0u);
}

// The table of addresses stays bounded: full buckets are forgotten, and past the bound a new
// address waits rather than grow it.
TEST(ReportRate, TheTableOfAddressesIsBounded) {
    using namespace std::chrono_literals;
    fleet::ReportRate rate(60, 3);
    const auto t0 = fleet::ReportRate::Clock::time_point{} + 1h;
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(rate.Take("10.0.0." + std::to_string(i), 10, t0), 0u);
    EXPECT_NE(rate.Take("10.0.0.9", 1, t0), 0u);
    EXPECT_EQ(rate.Tracked(), 3u);
    EXPECT_EQ(rate.Take("10.0.0.9", 1, t0 + 11s), 0u);  // the others' buckets are full again
    EXPECT_LE(rate.Tracked(), 3u);
}

}  // namespace
