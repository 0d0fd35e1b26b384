// Drives the library from commands on stdin, one answer line per command:
//   open SLOT   -> "open RESULT ERROR"  (keeps the handle of a 0 or -2)
//   close       -> "close RESULT ERROR"
//   setenv NAME VALUE -> "ok" (for tests of what a loaded library reads)
//   chdir DIR   -> "ok", or "chdir failed"
//   quit
// Prints "ready" once the library is loaded.
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <iostream>
#include <sstream>
#include <string>

#include "tavlib.h"

int main() {
    TavrilHandle handle = TAVRIL_INVALID_HANDLE;
    std::cout << "ready" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string verb;
        words >> verb;
        std::uint32_t error = 0;
        if (verb == "open") {
            std::uint32_t slot = 0;
            words >> slot;
            InstrumentIdentity identity{};
            TavrilHandle opened = TAVRIL_INVALID_HANDLE;
            const std::int32_t result = Open_Tavril(slot, &opened, &identity, &error);
            if (result == TAVRIL_OPEN_OK || result == TAVRIL_OPEN_NOT_IDENTIFIED) handle = opened;
            std::cout << "open " << result << " " << error << std::endl;
        } else if (verb == "close") {
            const std::int32_t result = Close_Tavril(handle, &error);
            handle = TAVRIL_INVALID_HANDLE;
            std::cout << "close " << result << " " << error << std::endl;
        } else if (verb == "setenv") {
            std::string name, value;
            words >> name >> value;
            ::setenv(name.c_str(), value.c_str(), 1);
            std::cout << "ok" << std::endl;
        } else if (verb == "chdir") {
            std::string dir;
            words >> dir;
            std::cout << (::chdir(dir.c_str()) == 0 ? "ok" : "chdir failed") << std::endl;
        } else if (verb == "quit") {
            break;
        } else {
            std::cout << "unknown " << verb << std::endl;
        }
    }
    return 0;
}
