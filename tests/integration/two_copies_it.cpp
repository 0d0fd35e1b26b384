// A program that links the library and also loads another copy of it with
// dlopen(RTLD_LOCAL), as a plugin host does.  The linked copy's six names
// are then first in the process's global scope, where a call between the
// loaded copy's own functions would land if it went through those names.
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "library_copy.h"
#include "library_fixture.h"

namespace tavlib::test {
namespace {

class TwoCopiesTest : public SimulatorTest {
protected:
    void SetUp() override { start({"--devices", "2"}); }

    // A copy of the library under another name, in this test's runtime
    // directory.
    static std::string copy_of_library() {
        const std::filesystem::path folder =
            std::filesystem::path(std::getenv("TAVRIL_RUNTIME_DIR")) / "copy";
        std::filesystem::create_directories(folder);
        const std::filesystem::path copy = folder / "libtavlib-copy.so";
        std::filesystem::copy_file(TAVLIB_LIBRARY_PATH, copy,
                                   std::filesystem::copy_options::overwrite_existing);
        return copy;
    }

    static std::string identity_line(std::uint32_t device) {
        return "VESPARO,ZQ907," + serial_of(device) + ",1.0.0";
    }
};

// Every function of the loaded copy works on that copy's handle: the ones
// that call others (Open_Tavril, Scmd_Tavril, Conf_Tavril) reach the loaded
// copy's own functions, not the linked copy's, which do not know the handle.
TEST_F(TwoCopiesTest, ALoadedCopysFunctionsCallItsOwnBesideALinkedCopy) {
    const auto devices = sim->devices();
    ASSERT_EQ(devices.size(), 2u);
    TavrilHandle linked = open_slot(0);
    LibraryCopy loaded(copy_of_library());

    void* handle = TAVRIL_INVALID_HANDLE;
    std::string line;
    InstrumentIdentity identity{};
    struct Step {
        const char* call;
        std::function<std::string()> run;
        std::string line;  // the response line or serial number it gives; empty: none
    };
    const Step steps[] = {
        {"Open_Tavril", [&] { line.clear(); return loaded.open(1, &handle); }, ""},
        {"Scmd_Tavril", [&] { return loaded.scmd(handle, "*IDN?", line); },
         identity_line(devices[1].id)},
        {"Write_Tavril", [&] { line.clear(); return loaded.write(handle, "PING"); }, ""},
        {"Read_Tavril", [&] { return loaded.read(handle, line); }, "PING"},
        {"Conf_Tavril",
         [&] {
             const std::string answer = loaded.conf(handle, identity);
             line = identity.serialNumber;
             return answer;
         },
         serial_of(devices[1].id)},
        {"Close_Tavril", [&] { line.clear(); return loaded.close(handle); }, ""},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(step.run(), "0 0") << step.call << " of the loaded copy";
        EXPECT_EQ(line, step.line) << step.call << " of the loaded copy";
    }

    // The linked copy still serves its own handle.
    char response[257] = {};
    std::uint32_t error = 0;
    EXPECT_EQ(Scmd_Tavril(linked, "*IDN?", 256, TAVRIL_MODE_LINE, 5, 5, response, &error),
              TAVRIL_SCMD_OK);
    EXPECT_EQ(response, identity_line(devices[0].id));
}

}  // namespace
}  // namespace tavlib::test
