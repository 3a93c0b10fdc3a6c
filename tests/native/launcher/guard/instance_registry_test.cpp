// The registry block's layout and its changes, on plain memory.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "launcher/guard/instance_registry.h"

namespace {

using Pids = std::vector<std::uint32_t>;

struct Block {
    std::array<std::byte, kInstanceRegistrySize> bytes{};
    InstanceRegistry registry{bytes};

    std::uint16_t U16(std::size_t offset) const {
        std::uint16_t v;
        std::memcpy(&v, bytes.data() + offset, 2);
        return v;
    }
    std::uint32_t U32(std::size_t offset) const {
        std::uint32_t v;
        std::memcpy(&v, bytes.data() + offset, 4);
        return v;
    }
};

TEST(InstanceRegistry, AppendWritesCountAndIdsAtTheirOffsetsAndTheLimitIsSetOnce) {
    Block b;
    EXPECT_EQ(b.registry.Count(), 0u);
    b.registry.Append(0x11223344);
    b.registry.Append(7);
    b.registry.SetLimitIfUnset(kAllInstancesLimit);
    b.registry.SetLimitIfUnset(3);
    EXPECT_EQ(b.U16(0), 65535);
    EXPECT_EQ(b.U16(2), 2);
    EXPECT_EQ(b.U32(4), 0x11223344u);
    EXPECT_EQ(b.U32(8), 7u);
    EXPECT_EQ(b.registry.ProcessIds(), (Pids{0x11223344, 7}));
}

TEST(InstanceRegistry, RemovalKeepsTheOrderOfTheOthers) {
    struct Case {
        Pids before;
        std::uint32_t removed;
        Pids after;
    };
    const Case cases[] = {
        {{1, 2, 3}, 1, {2, 3}},  // the oldest: the next one becomes the first
        {{1, 2, 3}, 2, {1, 3}},
        {{1, 2, 3}, 3, {1, 2}},
        {{1, 2, 3}, 9, {1, 2, 3}},  // not registered: unchanged
        {{5}, 5, {}},
        {{4, 5, 4}, 4, {5}},  // every entry of the process goes
    };
    for (const auto& c : cases) {
        Block b;
        for (auto pid : c.before) b.registry.Append(pid);
        b.registry.Remove(c.removed);
        EXPECT_EQ(b.registry.ProcessIds(), c.after) << "removing " << c.removed;
        // Freed slots are cleared, so the block never shows a stale id past the count.
        for (std::size_t i = c.after.size(); i < c.before.size(); ++i) EXPECT_EQ(b.U32(4 + 4 * i), 0u);
    }
}

TEST(InstanceRegistry, RemoveIfSweepsTheDeadAndReportsHowMany) {
    Block b;
    for (std::uint32_t pid : {10, 11, 12, 13}) b.registry.Append(pid);
    EXPECT_EQ(b.registry.RemoveIf([](std::uint32_t pid) { return pid % 2 == 1; }), 2u);
    EXPECT_EQ(b.registry.ProcessIds(), (Pids{10, 12}));
}

TEST(InstanceRegistry, AFullRegistryRefusesMoreAndACorruptCountStaysInsideTheBlock) {
    Block b;
    for (std::uint32_t i = 1; i <= kInstanceRegistryCapacity; ++i) ASSERT_TRUE(b.registry.Append(i));
    EXPECT_FALSE(b.registry.Append(999));
    EXPECT_EQ(b.registry.Count(), kInstanceRegistryCapacity);
    EXPECT_EQ(b.registry.At(kInstanceRegistryCapacity - 1), kInstanceRegistryCapacity);

    Block corrupt;
    const std::uint16_t huge = 60000;
    std::memcpy(corrupt.bytes.data() + 2, &huge, 2);
    EXPECT_EQ(corrupt.registry.ProcessIds().size(), kInstanceRegistryCapacity);
    corrupt.registry.RemoveIf([](std::uint32_t) { return true; });
    EXPECT_EQ(corrupt.U16(2), 0);
}

TEST(InstanceIdentityOf, PrefixesAndTurnsEveryBackslashIntoAnUnderscore) {
    EXPECT_EQ(InstanceIdentityOf(L"C:\\AUREVIA\\AUREVIA.EXE"), L"APPINSTC:_AUREVIA_AUREVIA.EXE");
    EXPECT_EQ(InstanceIdentityOf(L"\\\\SRV\\A\\"), L"APPINST__SRV_A_");
    EXPECT_EQ(InstanceIdentityOf(L""), L"APPINST");
}

}  // namespace
