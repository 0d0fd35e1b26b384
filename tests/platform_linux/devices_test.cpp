// Device enumeration, the interface detail record, opening, and the handle
// table of the Linux backend.

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <set>
#include <vector>

#include "platform/win32_errors.h"
#include "scripted_driver.h"

namespace tavtest {
namespace {

namespace err = tavlib::win32_error;
constexpr pf::Word kFlags = pf::kDigcfPresent | pf::kDigcfDeviceInterface;
constexpr pf::Word kInvalidUserBuffer = tavlib::win32_error::kInvalidUserBuffer;

// The device paths that a fresh device-information set lists, in order.
std::vector<std::string> enumerate(const pf::Guid& guid = kTavrilClass) {
    std::vector<std::string> paths;
    const pf::DevInfo set = pf::SetupDiGetClassDevsA(&guid, nullptr, nullptr, kFlags);
    EXPECT_FALSE(pf::is_invalid(set));
    for (pf::Word index = 0;; ++index) {
        pf::DeviceInterfaceData data{};
        data.cbSize = sizeof data;
        if (!pf::SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) {
            EXPECT_EQ(pf::GetLastError(), err::kNoMoreItems);
            break;
        }
        std::vector<char> detail(4 + 200);
        std::memcpy(detail.data(), &pf::kDetailFixedSize, 4);
        pf::Word required = 0;
        EXPECT_TRUE(pf::SetupDiGetDeviceInterfaceDetailA(
            set, &data, detail.data(), static_cast<pf::Word>(detail.size()), &required, nullptr));
        paths.emplace_back(detail.data() + pf::kDetailPathOffset);
    }
    EXPECT_TRUE(pf::SetupDiDestroyDeviceInfoList(set));
    return paths;
}

TEST(Enumeration, ListsListeningSocketsInByteOrderSkippingDeadOnesAndOtherFiles) {
    RuntimeDir runtime;
    const std::string folder = runtime.interfaces();
    DriverSocket second(folder, "b-2");
    DriverSocket first(folder, "a-1");
    DriverSocket highByte(folder, "\xC3-9");  // sorts last as an unsigned byte
    DriverSocket between(folder, "b-10");
    DriverSocket dead(folder, "a-5");
    dead.die();
    std::ofstream(folder + "/a-0") << "not a socket";

    EXPECT_EQ(enumerate(), (std::vector<std::string>{first.path(), between.path(), second.path(),
                                                     highByte.path()}));
}

TEST(Enumeration, OtherClassesAndAMissingFolderListNothing) {
    RuntimeDir runtime;
    EXPECT_TRUE(enumerate().empty());  // no interface folder yet
    struct stat st {};
    ASSERT_EQ(::stat(runtime.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    DriverSocket device(runtime.interfaces(), "dev-0");
    pf::Guid other = kTavrilClass;
    other.Data4[7] ^= 1;
    EXPECT_TRUE(enumerate(other).empty());
    EXPECT_EQ(enumerate().size(), 1u);
}

struct DetailCase {
    const char* name;
    bool withBuffer;
    int sizeDelta;  // buffer size relative to the required size
    pf::Word cbSize;
    bool succeeds;
    pf::Word error;
};

class DetailRecord : public ::testing::TestWithParam<DetailCase> {};

TEST_P(DetailRecord, AnswersLikeTheSetupServices) {
    const DetailCase& c = GetParam();
    RuntimeDir runtime;
    DriverSocket device(runtime.interfaces(), "dev-0");
    const pf::DevInfo set = pf::SetupDiGetClassDevsA(&kTavrilClass, nullptr, nullptr, kFlags);
    pf::DeviceInterfaceData data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(pf::SetupDiEnumDeviceInterfaces(set, nullptr, &kTavrilClass, 0, &data));

    const pf::Word needed = static_cast<pf::Word>(4 + device.path().size() + 1);
    const pf::Word size = static_cast<pf::Word>(static_cast<int>(needed) + c.sizeDelta);
    std::vector<char> detail(needed + 8, '#');
    std::memcpy(detail.data(), &c.cbSize, 4);
    pf::Word required = 0;
    pf::SetLastError(0);
    const bool ok = pf::SetupDiGetDeviceInterfaceDetailA(
        set, &data, c.withBuffer ? detail.data() : nullptr, c.withBuffer ? size : 0, &required,
        nullptr);
    EXPECT_EQ(ok, c.succeeds);
    if (!ok) {
        EXPECT_EQ(pf::GetLastError(), c.error);
        EXPECT_EQ(detail[4], '#');
    } else {
        EXPECT_EQ(std::string(detail.data() + 4), device.path());
    }
    if (ok || c.error == err::kInsufficientBuffer) {
        EXPECT_EQ(required, needed);
    }
    EXPECT_EQ(detail[needed], '#');
    pf::SetupDiDestroyDeviceInfoList(set);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DetailRecord,
    ::testing::Values(DetailCase{"SizeQuery", false, 0, 5, false, err::kInsufficientBuffer},
                      DetailCase{"ExactBuffer", true, 0, 5, true, 0},
                      DetailCase{"LargerBuffer", true, 8, 5, true, 0},
                      DetailCase{"OneByteShort", true, -1, 5, false, err::kInsufficientBuffer},
                      DetailCase{"SixtyFourBitCbSize", true, 0, 8, false, kInvalidUserBuffer},
                      DetailCase{"ZeroCbSize", true, 0, 0, false, kInvalidUserBuffer}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(Open, MissingOrRefusedPathsGiveFileNotFound) {
    RuntimeDir runtime;
    const std::string folder = runtime.interfaces();
    DriverSocket dead(folder, "dead");
    dead.die();
    std::ofstream(folder + "/file") << "x";
    for (const std::string& path : {folder + "/absent", dead.path(), folder + "/file"}) {
        pf::SetLastError(0);
        EXPECT_TRUE(pf::is_invalid(open_device(path))) << path;
        EXPECT_EQ(pf::GetLastError(), err::kFileNotFound) << path;
    }
}

TEST(Handles, UnknownOrClosedHandlesGiveInvalidHandleFromEveryCall) {
    RuntimeDir runtime;
    const pf::Handle closed = pf::CreateEventA(nullptr, true, false, nullptr);
    ASSERT_TRUE(pf::CloseHandle(closed));
    const pf::DevInfo set = pf::SetupDiGetClassDevsA(&kTavrilClass, nullptr, nullptr, kFlags);
    const pf::Handle event = pf::CreateEventA(nullptr, true, false, nullptr);

    for (const pf::Handle bad : {closed, reinterpret_cast<pf::Handle>(0x7777770), set}) {
        pf::Overlapped record{};
        record.hEvent = event;
        char buffer[8] = {};
        pf::Word n = 0;
        const std::vector<std::pair<const char*, std::function<bool()>>> calls = {
            {"CloseHandle", [&] { return pf::CloseHandle(bad); }},
            {"WriteFile", [&] { return pf::WriteFile(bad, "x", 1, &n, &record); }},
            {"ReadFile", [&] { return pf::ReadFile(bad, buffer, 8, &n, &record); }},
            {"GetOverlappedResult", [&] { return pf::GetOverlappedResult(bad, &record, &n, true); }},
            {"CancelIo", [&] { return pf::CancelIo(bad); }},
            {"DeviceIoControl",
             [&] {
                 return pf::DeviceIoControl(bad, tavlib::driver::kIoctlRecover, nullptr, 0,
                                            nullptr, 0, &n, nullptr);
             }},
            {"WaitForSingleObject",
             [&] { return pf::WaitForSingleObject(bad, pf::kInfinite) != pf::kWaitFailed; }},
        };
        for (const auto& [name, call] : calls) {
            pf::SetLastError(0);
            EXPECT_FALSE(call()) << name;
            EXPECT_EQ(pf::GetLastError(), err::kInvalidHandle) << name;
        }
    }
    // Nor is an event or an unknown value a device-information set.
    for (const pf::DevInfo bad : {event, closed}) {
        pf::DeviceInterfaceData data{};
        data.cbSize = sizeof data;
        pf::SetLastError(0);
        EXPECT_FALSE(pf::SetupDiEnumDeviceInterfaces(bad, nullptr, &kTavrilClass, 0, &data));
        EXPECT_EQ(pf::GetLastError(), err::kInvalidHandle);
        EXPECT_FALSE(pf::SetupDiDestroyDeviceInfoList(bad));
    }
    EXPECT_TRUE(pf::SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(pf::SetupDiDestroyDeviceInfoList(set));
    EXPECT_TRUE(pf::CloseHandle(event));
}

TEST(Handles, ValuesAreNeverZeroAllOnesOrReused) {
    std::set<pf::Handle> seen;
    for (int round = 0; round < 50; ++round) {
        const pf::Handle h = pf::CreateEventA(nullptr, round % 2 == 0, false, nullptr);
        ASSERT_NE(h, nullptr);
        EXPECT_FALSE(pf::is_invalid(h));
        EXPECT_TRUE(seen.insert(h).second) << "reused " << h;
        ASSERT_TRUE(pf::CloseHandle(h));
    }
}

}  // namespace
}  // namespace tavtest
