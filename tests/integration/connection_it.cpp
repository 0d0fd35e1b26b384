// Opening and closing real connections to the simulated instrument.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "library_fixture.h"

namespace tavlib::test {
namespace {

class ConnectionTest : public SimulatorTest {};

TEST_F(ConnectionTest, OneDeviceOpensAtSlot0AndSlot1HasNone) {
    TavrilHandle handle = TAVRIL_INVALID_HANDLE;
    InstrumentIdentity identity{};
    std::uint32_t error = 1;
    ASSERT_EQ(Open_Tavril(0, &handle, &identity, &error), TAVRIL_OPEN_OK);
    opened.push_back(handle);
    EXPECT_EQ(error, 0u);
    EXPECT_STREQ(identity.model, "ZQ907");
    EXPECT_EQ(std::string(identity.serialNumber), serial_of(dev));
    EXPECT_STREQ(identity.firmwareVersion, "1.0.0");

    TavrilHandle other = reinterpret_cast<TavrilHandle>(std::uintptr_t{0x1234});
    EXPECT_EQ(Open_Tavril(1, &other, &identity, &error), TAVRIL_OPEN_FAILED);
    EXPECT_EQ(error, 259u);
    EXPECT_EQ(other, TAVRIL_INVALID_HANDLE);
}

TEST_F(ConnectionTest, SlotsFollowTheOrderOfArrivalAndRemovalRenumbers) {
    const std::uint32_t added = sim->add_device().id;
    InstrumentIdentity identity{};
    std::uint32_t error = 0;
    TavrilHandle first = TAVRIL_INVALID_HANDLE;
    TavrilHandle second = TAVRIL_INVALID_HANDLE;
    ASSERT_EQ(Open_Tavril(0, &first, &identity, &error), TAVRIL_OPEN_OK);
    EXPECT_EQ(std::string(identity.serialNumber), serial_of(dev));
    ASSERT_EQ(Open_Tavril(1, &second, &identity, &error), TAVRIL_OPEN_OK);
    EXPECT_EQ(std::string(identity.serialNumber), serial_of(added));
    close_slot(first);
    close_slot(second);

    sim->remove_device(dev);
    TavrilHandle handle = open_slot(0);
    ASSERT_EQ(Conf_Tavril(handle, &identity, &error), TAVRIL_CONF_OK);
    EXPECT_EQ(std::string(identity.serialNumber), serial_of(added));
    EXPECT_EQ(Open_Tavril(1, &second, &identity, &error), TAVRIL_OPEN_FAILED);
    EXPECT_EQ(error, 259u);
}

TEST_F(ConnectionTest, ASlotThisProcessHoldsIsRefusedWithoutTouchingTheHandleWord) {
    open_slot(0);
    TavrilHandle untouched = reinterpret_cast<TavrilHandle>(std::uintptr_t{0x4242});
    InstrumentIdentity identity{};
    std::uint32_t error = 7;
    EXPECT_EQ(Open_Tavril(0, &untouched, &identity, &error), TAVRIL_OPEN_FAILED);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(untouched, reinterpret_cast<TavrilHandle>(std::uintptr_t{0x4242}));
    // Only the identification's connection reached the device.
    EXPECT_EQ(sim->stats(dev).value("connections"), 1u);
}

TEST_F(ConnectionTest, CloseFreesTheSlotForTheNextOpen) {
    TavrilHandle handle = open_slot(0);
    close_slot(handle);
    TavrilHandle again = open_slot(0);
    EXPECT_NE(again, TAVRIL_INVALID_HANDLE);
}

TEST_F(ConnectionTest, CloseOfMinusOneAndOfAnUnknownHandle) {
    std::uint32_t error = 9;
    EXPECT_EQ(Close_Tavril(TAVRIL_INVALID_HANDLE, &error), TAVRIL_CLOSE_FAILED);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(Close_Tavril(reinterpret_cast<TavrilHandle>(std::uintptr_t{0xBAD0}), &error),
              TAVRIL_CLOSE_FAILED);
    EXPECT_EQ(error, 6u);
}

// The slot-table file as every process sees it, 32- and 64-bit alike: four
// owner ids, then four 32-bit handle words.
struct TableWords {
    std::uint32_t owner[4];
    std::uint32_t handle[4];
};
static_assert(sizeof(TableWords) == 32);

TEST_F(ConnectionTest, CloseOfAValidHandleThatNoSlotRecordsClosesItAndGivesMinus1) {
    TavrilHandle handle = open_slot(0);
    // Make the table forget the handle, as if another process had reused
    // the slot's words.
    const std::string path = std::string(std::getenv("TAVRIL_RUNTIME_DIR")) + "/slot-table";
    const int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << path;
    void* map = ::mmap(nullptr, sizeof(TableWords), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(map, MAP_FAILED);
    auto* table = static_cast<TableWords*>(map);
    ASSERT_EQ(table->handle[0], reinterpret_cast<std::uintptr_t>(handle));
    ASSERT_EQ(table->owner[0], static_cast<std::uint32_t>(::getpid()));
    table->owner[0] = 0;
    table->handle[0] = ~std::uint32_t{0};

    std::uint32_t error = 5;
    EXPECT_EQ(Close_Tavril(handle, &error), TAVRIL_CLOSE_FAILED);
    EXPECT_EQ(error, 0u);
    std::erase(opened, handle);
    // The handle is closed all the same.
    std::uint32_t written = 0;
    EXPECT_EQ(Write_Tavril(handle, "x", 1, &written, &error), TAVRIL_WRITE_FAILED);
    EXPECT_EQ(error, 6u);
    ::munmap(map, sizeof(TableWords));
}

}  // namespace
}  // namespace tavlib::test
