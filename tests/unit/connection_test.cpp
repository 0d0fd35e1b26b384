// Open_Tavril, Close_Tavril and device discovery over the fake platform.
#include <cstring>
#include <new>

#include "connection/device_discovery.h"
#include "fake_fixture.h"

// The detail record is the only nothrow array allocation of the library:
// tests switch it off to reach the allocation failure of discovery.
namespace {
bool g_failNothrowArrayNew = false;
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (g_failNothrowArrayNew) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace tavlib::test {
namespace {

const char* const kIdentity = "VESPARO,ZQ907,SN0042,2.1.0\r\n";

class OpenCloseTest : public FakePlatformTest {
protected:
    void SetUp() override {
        FakePlatformTest::SetUp();
        g_failNothrowArrayNew = false;
        fake().devices = {"/dev/tav0", "/dev/tav1"};
    }
    void TearDown() override { g_failNothrowArrayNew = false; }

    std::int32_t open(std::uint32_t slot) {
        return Open_Tavril(slot, &handle, &identity, &error);
    }
    bool slot_free(int n) { return fake().slots.deviceHandle[n] == kFreeWord; }
    bool table_initial() {
        for (int n = 0; n < 4; ++n)
            if (!slot_free(n) || fake().slots.ownerProcessId[n] != 0) return false;
        return true;
    }

    TavrilHandle handle = reinterpret_cast<TavrilHandle>(std::uintptr_t{kSentinel});
    InstrumentIdentity identity{};
    std::uint32_t error = kSentinel;
};

TEST_F(OpenCloseTest, SlotOutOfRangeGivesMinus3AndTouchesNothing) {
    for (std::uint32_t slot : {4u, 5u, 0x80000000u, 0xFFFFFFFFu}) {
        fake().log.clear();
        EXPECT_EQ(open(slot), TAVRIL_OPEN_BAD_SLOT) << slot;
        EXPECT_EQ(handle, TAVRIL_INVALID_HANDLE);
        EXPECT_EQ(error, 0u);
        EXPECT_TRUE(fake().log.empty());
        EXPECT_TRUE(table_initial());
    }
}

TEST_F(OpenCloseTest, SlotInUseIsRefusedForEveryProcessIncludingTheOwner) {
    const auto held = reinterpret_cast<std::uintptr_t>(bogus_handle());
    for (std::uint32_t owner : {fake().processId, fake().processId + 1, 0u}) {
        fake().slots.ownerProcessId[2] = owner;
        fake().slots.deviceHandle[2] = held;
        fake().log.clear();
        EXPECT_EQ(open(2), TAVRIL_OPEN_FAILED);
        EXPECT_EQ(handle, reinterpret_cast<TavrilHandle>(std::uintptr_t{kSentinel}));
        EXPECT_EQ(error, 0u);
        EXPECT_EQ(fake::log_count("SetupDi"), 0);
        EXPECT_EQ(fake().slots.deviceHandle[2], held);
        EXPECT_EQ(fake().slots.ownerProcessId[2], owner);
    }
}

// Each discovery or open failure: -1, handle -1, the step's code, the table
// untouched, nothing opened, and the device list released if it was made.
struct DiscoveryFailure {
    const char* name;
    const char* failCall;   // injected failure (code 1784) ...
    const char* throwCall;  // ... or injected exception
    std::uint32_t slot;
    std::uint32_t expectedError;
    int infoSetsDestroyed;
};

class DiscoveryFailureTest : public OpenCloseTest,
                             public ::testing::WithParamInterface<DiscoveryFailure> {};

TEST_P(DiscoveryFailureTest, GivesMinus1WithTheStepsCode) {
    const DiscoveryFailure& c = GetParam();
    if (c.failCall) fake().failNext[c.failCall] = 1784;
    if (c.throwCall) fake().throwNext[c.throwCall] = true;
    EXPECT_EQ(open(c.slot), TAVRIL_OPEN_FAILED);
    EXPECT_EQ(handle, TAVRIL_INVALID_HANDLE);
    EXPECT_EQ(error, c.expectedError);
    EXPECT_TRUE(table_initial());
    EXPECT_EQ(fake().openDevices.size(), 0u);
    EXPECT_EQ(fake().infoSetsDestroyed, c.infoSetsDestroyed);
    EXPECT_EQ(fake().infoSetsCreated, c.infoSetsDestroyed);
    EXPECT_EQ(fake::log_count("DeviceIoControl"), 0);
    EXPECT_EQ(fake().slotLocks, fake().slotUnlocks);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DiscoveryFailureTest,
    ::testing::Values(
        DiscoveryFailure{"NoDeviceList", "SetupDiGetClassDevsA", nullptr, 0, 1784, 0},
        DiscoveryFailure{"NoInterfaceAtIndex", nullptr, nullptr, 2, 259, 1},
        DiscoveryFailure{"EnumerationFails", "SetupDiEnumDeviceInterfaces", nullptr, 0, 1784, 1},
        DiscoveryFailure{"SizeQueryNot122", "DetailSizeQuery", nullptr, 0, 1784, 1},
        DiscoveryFailure{"DetailRetrievalFails", "DetailRetrieval", nullptr, 1, 1784, 1},
        DiscoveryFailure{"EnumerationThrows", nullptr, "SetupDiEnumDeviceInterfaces", 0, 87, 1},
        DiscoveryFailure{"SizeQueryThrows", nullptr, "DetailSizeQuery", 0, 87, 1},
        DiscoveryFailure{"DetailRetrievalThrows", nullptr, "DetailRetrieval", 0, 122, 1},
        DiscoveryFailure{"OpenFails", "CreateFileA", nullptr, 1, 1784, 1}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(OpenCloseTest, DetailAllocationFailureIsReportedAs8) {
    g_failNothrowArrayNew = true;
    EXPECT_EQ(open(0), TAVRIL_OPEN_FAILED);
    g_failNothrowArrayNew = false;
    EXPECT_EQ(error, 8u);
    EXPECT_EQ(handle, TAVRIL_INVALID_HANDLE);
    EXPECT_EQ(fake::log_count("SetupDiGetDeviceInterfaceDetailA detail"), 0);
    EXPECT_EQ(fake().infoSetsDestroyed, 1);
}

TEST_F(OpenCloseTest, DiscoveryUsesTheClassAndFlagsAndOpensForOverlappedIo) {
    fake().responses = {kIdentity};
    ASSERT_EQ(open(1), TAVRIL_OPEN_OK);
    EXPECT_EQ(fake().log[fake::log_index("SetupDiGetClassDevsA")], "SetupDiGetClassDevsA 18");
    EXPECT_EQ(fake().log[fake::log_index("SetupDiEnumDeviceInterfaces")],
              "SetupDiEnumDeviceInterfaces 1");
    // The detail record is exactly as large as the platform asked for.
    EXPECT_EQ(fake().log[fake::log_index("SetupDiGetDeviceInterfaceDetailA detail")],
              "SetupDiGetDeviceInterfaceDetailA detail " + std::to_string(4 + 9 + 1));
    EXPECT_EQ(fake().log[fake::log_index("CreateFileA")],
              "CreateFileA /dev/tav1 3221225472 3 3 1073741952");
}

TEST_F(OpenCloseTest, SuccessClaimsTheSlotAndFillsTheIdentity) {
    fake().responses = {kIdentity};
    ASSERT_EQ(open(1), TAVRIL_OPEN_OK);
    EXPECT_EQ(error, 0u);
    ASSERT_EQ(fake().openDevices.size(), 1u);
    EXPECT_EQ(handle, fake().openDevices[0]);
    EXPECT_EQ(fake().slots.ownerProcessId[1], fake().processId);
    EXPECT_EQ(fake().slots.deviceHandle[1], reinterpret_cast<std::uintptr_t>(handle));
    EXPECT_STREQ(identity.model, "ZQ907");
    EXPECT_STREQ(identity.serialNumber, "SN0042");
    EXPECT_STREQ(identity.firmwareVersion, "2.1.0");
    // The claim is made under the table lock; the identification runs after
    // it, and the discovery objects live until the identification ends.
    EXPECT_LT(fake::log_index("lock"), fake::log_index("SetupDiGetClassDevsA"));
    EXPECT_LT(fake::log_index("CreateFileA"), fake::log_index("unlock"));
    EXPECT_LT(fake::log_index("unlock"), fake::log_index("WriteFile"));
    EXPECT_LT(fake::log_index("GlobalFree", fake::log_count("GlobalFree") - 1),
              fake::log_index("SetupDiDestroyDeviceInfoList"));
    EXPECT_EQ(fake().infoSetsDestroyed, 1);
    expect_resources_released();
}

TEST_F(OpenCloseTest, IdentificationFailureLeavesTheDeviceOpenAndTheSlotClaimedUntilClose) {
    fake().failNext["GlobalAlloc"] = 8;
    ASSERT_EQ(open(0), TAVRIL_OPEN_NOT_IDENTIFIED);
    EXPECT_EQ(error, 8u);
    ASSERT_EQ(fake().openDevices.size(), 1u);
    EXPECT_EQ(handle, fake().openDevices[0]);
    EXPECT_FALSE(slot_free(0));
    EXPECT_EQ(identity.model[0], '\0');
    EXPECT_EQ(fake().infoSetsDestroyed, 1);

    TavrilHandle second = nullptr;
    EXPECT_EQ(Open_Tavril(0, &second, &identity, &error), TAVRIL_OPEN_FAILED);
    EXPECT_EQ(error, 0u);

    EXPECT_EQ(Close_Tavril(handle, &error), TAVRIL_CLOSE_OK);
    EXPECT_EQ(error, 0u);
    EXPECT_TRUE(table_initial());
}

TEST_F(OpenCloseTest, CloseOfMinusOneClosesNothing) {
    EXPECT_EQ(Close_Tavril(TAVRIL_INVALID_HANDLE, &error), TAVRIL_CLOSE_FAILED);
    EXPECT_EQ(error, 0u);
    EXPECT_TRUE(fake().log.empty());
}

TEST_F(OpenCloseTest, CloseFailureReportsItsCodeAndLeavesTheTable) {
    const auto h = reinterpret_cast<std::uintptr_t>(bogus_handle());
    fake().slots.ownerProcessId[0] = fake().processId;
    fake().slots.deviceHandle[0] = h;
    EXPECT_EQ(Close_Tavril(bogus_handle(), &error), TAVRIL_CLOSE_FAILED);
    EXPECT_EQ(error, 6u);
    EXPECT_EQ(fake().slots.deviceHandle[0], h);
    EXPECT_EQ(fake().slotLocks, fake().slotUnlocks);
}

// Windows reuses a closed handle's value at once.  Another thread's open
// that runs right after the close gets the value and claims slot 0 with it;
// the close of slot 1's handle must still free slot 1, not slot 0.
TEST_F(OpenCloseTest, CloseAndReleaseAreOneStepAgainstAnOpenThatReusesTheValue) {
    fake().reuseClosedHandles = true;
    fake().responses = {kIdentity, kIdentity};
    ASSERT_EQ(open(1), TAVRIL_OPEN_OK);
    const TavrilHandle first = handle;

    TavrilHandle other = nullptr;
    std::int32_t otherResult = 1;
    fake().onDeviceClosed = [&] {
        fake::when_lock_free([&] {
            std::uint32_t otherError = 0;
            InstrumentIdentity otherIdentity{};
            otherResult = Open_Tavril(0, &other, &otherIdentity, &otherError);
        });
    };
    EXPECT_EQ(Close_Tavril(first, &error), TAVRIL_CLOSE_OK);
    ASSERT_EQ(otherResult, TAVRIL_OPEN_OK);
    ASSERT_EQ(other, first);  // the value came back
    EXPECT_TRUE(slot_free(1));
    EXPECT_EQ(fake().slots.deviceHandle[0], reinterpret_cast<std::uintptr_t>(other));
    EXPECT_EQ(fake().slots.ownerProcessId[0], fake().processId);
}

// Without the table lock the table cannot be trusted: open and close fail
// with the lock's code, and close leaves the handle open for a retry.
TEST_F(OpenCloseTest, ARefusedTableLockFailsOpenAndCloseWithItsCode) {
    fake().responses = {kIdentity};
    ASSERT_EQ(open(0), TAVRIL_OPEN_OK);
    const TavrilHandle held = handle;

    fake().failNext["lock"] = 5;
    EXPECT_EQ(open(1), TAVRIL_OPEN_FAILED);
    EXPECT_EQ(error, 5u);
    EXPECT_EQ(handle, TAVRIL_INVALID_HANDLE);
    EXPECT_EQ(fake::log_count("SetupDiGetClassDevsA"), 1);  // the first open's only

    fake().failNext["lock"] = 1450;
    EXPECT_EQ(Close_Tavril(held, &error), TAVRIL_CLOSE_FAILED);
    EXPECT_EQ(error, 1450u);
    EXPECT_EQ(fake().devicesClosed, 0);
    EXPECT_FALSE(slot_free(0));

    EXPECT_EQ(Close_Tavril(held, &error), TAVRIL_CLOSE_OK);
    EXPECT_TRUE(table_initial());
}

TEST_F(OpenCloseTest, CloseOfAHandleNoSlotRecordsClosesItAndGivesMinus1With0) {
    TavrilHandle raw = open_raw_device();
    EXPECT_EQ(Close_Tavril(raw, &error), TAVRIL_CLOSE_FAILED);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(fake().devicesClosed, 1);
    EXPECT_TRUE(table_initial());
}

TEST_F(OpenCloseTest, CloseReleasesOnlyTheLowestSlotOwnedByTheCaller) {
    TavrilHandle raw = open_raw_device();
    const auto h = reinterpret_cast<std::uintptr_t>(raw);
    const std::uint32_t me = fake().processId;
    // Slot 0 records the handle for another process, slots 1 and 3 for us.
    fake().slots.ownerProcessId[0] = me + 1;
    fake().slots.deviceHandle[0] = h;
    fake().slots.ownerProcessId[1] = me;
    fake().slots.deviceHandle[1] = h;
    fake().slots.ownerProcessId[3] = me;
    fake().slots.deviceHandle[3] = h;

    EXPECT_EQ(Close_Tavril(raw, &error), TAVRIL_CLOSE_OK);
    EXPECT_EQ(fake().slots.deviceHandle[0], h);
    EXPECT_EQ(fake().slots.ownerProcessId[0], me + 1);
    EXPECT_TRUE(slot_free(1));
    EXPECT_EQ(fake().slots.ownerProcessId[1], 0u);
    EXPECT_EQ(fake().slots.deviceHandle[3], h);
}

TEST_F(OpenCloseTest, ASlotOwnedByAnotherProcessIsNotReleasedByClose) {
    fake().responses = {kIdentity};
    ASSERT_EQ(open(0), TAVRIL_OPEN_OK);
    fake().processId += 1;  // another process presents the same handle value
    EXPECT_EQ(Close_Tavril(handle, &error), TAVRIL_CLOSE_FAILED);
    EXPECT_EQ(error, 0u);
    EXPECT_FALSE(slot_free(0));
}

TEST(DeviceInterface, DevicePathIsNullWithoutDetailAndFollowsTheCountOtherwise) {
    fake::reset();
    fake::state().devices = {"/dev/only"};
    std::uint32_t word = kSentinel;
    connection::DeviceInfoSet set(connection::kInterfaceClassGuid, &word);
    ASSERT_EQ(word, 0u);
    {
        connection::DeviceInterface missing(set, 1, &word);
        EXPECT_EQ(word, 259u);
        EXPECT_EQ(missing.devicePath(), nullptr);
    }
    connection::DeviceInterface present(set, 0, &word);
    EXPECT_EQ(word, 0u);
    EXPECT_STREQ(present.devicePath(), "/dev/only");
}

}  // namespace
}  // namespace tavlib::test
