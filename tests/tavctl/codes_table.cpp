// Prints the C++ tools' table of result names and Win32 codes, one entry a
// line, for the test that compares the Python module's copy with it:
//   result Open_Tavril -1 TAVRIL_OPEN_FAILED
//   win32 259 ERROR_NO_MORE_ITEMS No more data is available.
#include <cstdio>
#include <string>

#include "result_codes.h"

int main() {
    using namespace tavlib::tools;
    for (const ResultEntry& entry : result_table())
        std::printf("result %s %d %s\n", std::string(function_name(entry.function)).c_str(),
                    static_cast<int>(entry.value), std::string(entry.name).c_str());
    for (const Win32Error& entry : win32_table())
        std::printf("win32 %u %s %s\n", static_cast<unsigned>(entry.code),
                    std::string(entry.name).c_str(), std::string(entry.text).c_str());
    return 0;
}
