// Clients through the dispatch routines as user mode reaches them: open, read (waiting,
// cancelled, rejected), write, close, and the first and last open of the port.
#include "core/testing/device_rig.h"

#include <memory>

namespace {

using varlo_test::DeviceRig;
using varlo_test::ReadBuffer;

constexpr ULONG kReadSize = sizeof(DdMidiBuffer);

std::unique_ptr<ks::PendingRequest> ReadAsync(ks::ClientHandle* h, ReadBuffer& out) {
    return ks::ClientReadAsync(h, &out.buffer, kReadSize);
}

void ExpectEnds(ks::PendingRequest& read, NTSTATUS status) {
    ASSERT_TRUE(read.Wait(5000));
    EXPECT_EQ(read.Status(), status);
}

TEST(ClientsTest, TwoClientsBothReceiveAndLastCloseClosesPort) {
    DeviceRig rig;
    ks::ClientHandle* a = rig.Open();
    ks::ClientHandle* b = rig.Open();
    EXPECT_EQ(rig.lower.opens, 1);
    EXPECT_EQ(rig.ext->OpenCount, 2);

    ReadBuffer ra, rb;
    auto readA = ReadAsync(a, ra);
    auto readB = ReadAsync(b, rb);
    EXPECT_FALSE(readA->Completed());
    rig.Feed({0x90, 0x3C, 0x40});
    for (auto* r : {readA.get(), readB.get()}) {
        ExpectEnds(*r, STATUS_SUCCESS);
        EXPECT_EQ(r->Information(), 20u);
    }
    EXPECT_EQ(ra.buffer.Type, DD_BUF_EVENTS);
    EXPECT_EQ(ra.Events(), (std::vector<ULONG>{0x01403C90}));
    EXPECT_EQ(rb.Events(), ra.Events());

    // A client receives only from its first waiting read on: nothing was kept for a late one.
    ks::ClientHandle* late = rig.Open();
    rig.Feed({0xF8, 0xFA});
    ReadBuffer l;
    auto lateRead = ReadAsync(late, l);
    EXPECT_FALSE(lateRead->Wait(50));
    rig.Feed({0xFC});
    ExpectEnds(*lateRead, STATUS_SUCCESS);
    EXPECT_EQ(l.Events(), (std::vector<ULONG>{0x010000FC}));
    ks::ClientClose(late);

    ks::ClientClose(a);
    EXPECT_EQ(rig.lower.closes, 0);
    ks::ClientClose(b);
    EXPECT_EQ(rig.lower.closes, 1);
    EXPECT_EQ(rig.ext->OpenCount, 0);
}

TEST(ClientsTest, ReadRulesLengthsAndWaitingActivationSendsOnlyChanges) {
    DeviceRig rig;
    ks::ClientHandle* h = rig.Open();
    UCHAR big[kReadSize + 1];
    ULONG got = 99;
    EXPECT_EQ(ks::ClientRead(h, big, kReadSize - 1, &got), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(ks::ClientRead(h, big, kReadSize + 1, &got), STATUS_INFO_LENGTH_MISMATCH);

    // A second read while one waits fails at once; the first still completes later.
    ReadBuffer first;
    auto waiting = ReadAsync(h, first);
    EXPECT_EQ(ks::ClientRead(h, big, kReadSize, &got), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(waiting->Completed());
    rig.Feed({0xF8});
    ExpectEnds(*waiting, STATUS_SUCCESS);

    // Events collected while no read waits are handed out at once by the next read.
    rig.Feed({0x90, 0x3C, 0x40, 0x3D, 0x40, 0x3E, 0x40});
    ReadBuffer now;
    EXPECT_EQ(ks::ClientRead(h, &now.buffer, kReadSize, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 28u);
    EXPECT_EQ(now.buffer.Type, DD_BUF_EVENTS);
    EXPECT_EQ(now.buffer.Length, 12);

    ULONG written = 99;
    EXPECT_EQ(ks::ClientWrite(h, big, 7, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 0u);

    // A cancelled read ends with nothing; the next one waits for input again.
    auto cancelled = ReadAsync(h, now);
    EXPECT_TRUE(cancelled->Cancel());
    ExpectEnds(*cancelled, STATUS_CANCELLED);
    EXPECT_EQ(cancelled->Information(), 0u);
    auto again = ReadAsync(h, now);
    EXPECT_FALSE(again->Wait(20));
    rig.Feed({0xF8});
    ExpectEnds(*again, STATUS_SUCCESS);

    // The activation switch sends only changes, and nothing once the port is closed.
    EXPECT_TRUE(DdActivatePort(rig.ext, TRUE));
    EXPECT_TRUE(rig.lower.ModesSet().empty());
    EXPECT_TRUE(DdActivatePort(rig.ext, FALSE));
    EXPECT_FALSE(DdActivatePort(rig.ext, FALSE));
    EXPECT_FALSE(DdActivatePort(rig.ext, TRUE));
    EXPECT_EQ(rig.lower.ModesSet(), (std::vector<LONG>{DD_ACTIVATE_OFF, DD_ACTIVATE_ON}));
    ks::ClientClose(h);
    DdActivatePort(rig.ext, TRUE); // the port is closed: nothing to switch
    EXPECT_EQ(rig.lower.ModesSet().size(), 2u);
}

TEST(ClientsTest, CloseReleasesQueuedBuffersAndWaitingRead) {
    DeviceRig rig;
    size_t before = ks::PoolBlocks(DD_POOL_TAG);
    ks::ClientHandle* h = rig.Open();
    ReadBuffer r;
    auto read = ReadAsync(h, r);
    rig.Feed({0xF8});
    ExpectEnds(*read, STATUS_SUCCESS);
    std::vector<UCHAR> clocks(200, 0xF8);
    rig.Feed(clocks);             // several buffers queued, one half-filled
    rig.Feed({0xF0, 0x01, 0x02}); // and a System Exclusive message left open
    ks::ClientClose(h);
    EXPECT_EQ(rig.lower.closes, 1);
    DdReleaseTb(rig.ext, &rig.tb);
    EXPECT_EQ(ks::PoolBlocks(DD_POOL_TAG), before);

    // A read still waiting when the handle closes ends with it, and the port closes.
    h = rig.Open();
    auto orphan = ReadAsync(h, r);
    ks::ClientClose(h);
    ExpectEnds(*orphan, STATUS_CANCELLED);
    EXPECT_EQ(rig.lower.closes, 2);
    EXPECT_EQ(ks::PoolBlocks(DD_POOL_TAG), before);
}

TEST(ClientsTest, CreateRefusedWithoutPoolOrLowerLayerFailedFirstOpenRetried) {
    {
        DeviceRig rig;
        size_t before = ks::PoolBlocks(DD_POOL_TAG);
        ks::FailPoolAllocations(DD_POOL_TAG, 0, 1);
        EXPECT_EQ(rig.Open(STATUS_NOT_FOUND), nullptr);
        ks::FailPoolAllocations(0, 0, 0);
        EXPECT_EQ(rig.lower.opens, 0);
        // A first open of the port that fails leaves nothing; the next create tries again.
        rig.lower.openSucceeds = false;
        EXPECT_EQ(rig.Open(STATUS_NOT_FOUND), nullptr);
        EXPECT_EQ(rig.ext->OpenCount, 0);
        EXPECT_EQ(rig.ext->Clients, nullptr);
        EXPECT_EQ(ks::PoolBlocks(DD_POOL_TAG), before);
        EXPECT_FALSE(ks::RegistryGetDword(rig.RegistryPath(), u"NumSubDevices").has_value());

        rig.lower.openSucceeds = true;
        ks::ClientHandle* h = rig.Open();
        EXPECT_EQ(rig.lower.opens, 2);
        EXPECT_EQ(rig.ext->OpenCount, 1);
        ks::ClientClose(h);
        // The client's close counts for the successful open only.
        EXPECT_EQ(rig.lower.closes, 1);
    }
    {
        DeviceRig rig([](DdDriverInfo& info) { info.DeviceActivate = nullptr; });
        EXPECT_EQ(rig.Open(STATUS_NOT_FOUND), nullptr);
        EXPECT_EQ(rig.lower.opens, 0);
    }
    {
        DeviceRig rig(
            [](DdDriverInfo& info) { info.OpenCheck = varlo_test::FakeLower::OpenCheck; });
        rig.lower.openCheckAllows = false;
        EXPECT_EQ(rig.Open(STATUS_NOT_FOUND), nullptr);
        EXPECT_EQ(rig.lower.openChecks, 1);
        EXPECT_EQ(rig.lower.opens, 0);
    }
}

TEST(ClientsTest, FirstOpenPublishesSubDevices) {
    DeviceRig rig;
    rig.lower.subDevices.push_back({7, "Second"});
    ks::ClientHandle* a = rig.Open();
    EXPECT_EQ(ks::RegistryGetString(rig.RegistryPath(), u"SubDevice0"), u"123;Korvane Varlo");
    EXPECT_EQ(ks::RegistryGetString(rig.RegistryPath(), u"SubDevice1"), u"7;Second");
    EXPECT_EQ(ks::RegistryGetDword(rig.RegistryPath(), u"NumSubDevices"), 2u);

    // Only a first open rewrites the list; values of vanished sub-devices stay.
    rig.lower.subDevices.pop_back();
    ks::ClientHandle* b = rig.Open();
    EXPECT_EQ(ks::RegistryGetDword(rig.RegistryPath(), u"NumSubDevices"), 2u);
    ks::ClientClose(a);
    ks::ClientClose(b);
    a = rig.Open();
    EXPECT_EQ(ks::RegistryGetDword(rig.RegistryPath(), u"NumSubDevices"), 1u);
    EXPECT_EQ(ks::RegistryGetString(rig.RegistryPath(), u"SubDevice1"), u"7;Second");
    ks::ClientClose(a);

    // A lower layer that never runs out of sub-devices is cut off at the capabilities' limit.
    rig.lower.endlessSubDevices = true;
    a = rig.Open();
    EXPECT_EQ(ks::RegistryGetDword(rig.RegistryPath(), u"NumSubDevices"),
              (ULONG)DD_MAX_SUB_DEVICES);
    ks::ClientClose(a);
}

TEST(ClientsTest, ShortMessagesAllocateNoPool) {
    DeviceRig rig;
    ks::ClientHandle* h = rig.Open();
    ReadBuffer r;
    auto read = ReadAsync(h, r);
    size_t blocks = ks::PoolBlocks(DD_POOL_TAG);
    // With every allocation failing, short messages must still all arrive.
    ks::FailPoolAllocations(DD_POOL_TAG, 0, 1 << 30);
    rig.Feed({0x90, 0x3C, 0x40, 0xF8, 0x3C, 0x00, 0xF1, 0x21, 0xF0, 0x01, 0xF7, 0xC0, 0x05});
    ks::FailPoolAllocations(0, 0, 0);
    ExpectEnds(*read, STATUS_SUCCESS);
    // The System Exclusive message had no buffer and was dropped whole; its data byte was not
    // taken as quarter-frame data under running status.
    EXPECT_EQ(r.Events(),
              (std::vector<ULONG>{0x01403C90, 0x010000F8, 0x01003C90, 0x010021F1, 0x010005C0}));
    EXPECT_EQ(ks::PoolBlocks(DD_POOL_TAG), blocks);
    ks::ClientClose(h);
}

} // namespace
