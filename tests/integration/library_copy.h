// One copy of the library loaded with dlopen(RTLD_LOCAL), as a plugin host
// loads it, and its six functions.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "tavlib.h"

namespace tavlib::test {

class LibraryCopy {
public:
    explicit LibraryCopy(const std::string& path) : module_(load(path)) {
        if (module_ == nullptr) throw std::runtime_error(::dlerror());
        bind(open_, "Open_Tavril");
        bind(close_, "Close_Tavril");
        bind(write_, "Write_Tavril");
        bind(read_, "Read_Tavril");
        bind(scmd_, "Scmd_Tavril");
        bind(conf_, "Conf_Tavril");
    }
    ~LibraryCopy() { unload(); }
    LibraryCopy(const LibraryCopy&) = delete;
    LibraryCopy& operator=(const LibraryCopy&) = delete;

    // Each answers "RESULT ERROR"; open keeps the handle of a successful open.
    std::string open(std::uint32_t slot, void** handle) {
        InstrumentIdentity identity{};
        std::uint32_t error = 0;
        const std::int32_t result = open_(slot, handle, &identity, &error);
        return answer(result, error);
    }
    std::string close(void* handle) {
        std::uint32_t error = 0;
        const std::int32_t result = close_(handle, &error);
        return answer(result, error);
    }
    std::string write(void* handle, const char* text) {
        std::uint32_t written = 0;
        std::uint32_t error = 0;
        const std::int32_t result = write_(handle, text, 5, &written, &error);
        return answer(result, error);
    }
    // The response's first line goes to `line`.
    std::string read(void* handle, std::string& line) {
        char buffer[257] = {};
        std::uint32_t count = 0;
        std::uint32_t error = 0;
        const std::int32_t result = read_(handle, 256, TAVRIL_MODE_LINE, 5, buffer, &count, &error);
        line = buffer;
        return answer(result, error);
    }
    std::string scmd(void* handle, const char* command, std::string& line) {
        char buffer[257] = {};
        std::uint32_t error = 0;
        const std::int32_t result = scmd_(handle, command, 256, TAVRIL_MODE_LINE, 5, 5, buffer, &error);
        line = buffer;
        return answer(result, error);
    }
    std::string conf(void* handle, InstrumentIdentity& identity) {
        std::uint32_t error = 0;
        const std::int32_t result = conf_(handle, &identity, &error);
        return answer(result, error);
    }

    void unload() {
        if (module_ != nullptr) ::dlclose(module_);
        module_ = nullptr;
    }

private:
    // A loaded copy keeps its process-wide state (taken at load) until the
    // process ends, on purpose: threads may still use it.  A copy unloaded
    // early leaves that state unreachable, which is no leak to report.
    static void* load(const std::string& path) {
#if defined(__SANITIZE_ADDRESS__)
        __lsan_disable();
#endif
        void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#if defined(__SANITIZE_ADDRESS__)
        __lsan_enable();
#endif
        return module;
    }
    template <class Function>
    void bind(Function*& function, const char* name) {
        function = reinterpret_cast<Function*>(::dlsym(module_, name));
        if (function == nullptr) throw std::runtime_error(std::string("no ") + name);
    }
    static std::string answer(std::int32_t result, std::uint32_t error) {
        return std::to_string(result) + " " + std::to_string(error);
    }

    void* module_;
    decltype(Open_Tavril)* open_ = nullptr;
    decltype(Close_Tavril)* close_ = nullptr;
    decltype(Write_Tavril)* write_ = nullptr;
    decltype(Read_Tavril)* read_ = nullptr;
    decltype(Scmd_Tavril)* scmd_ = nullptr;
    decltype(Conf_Tavril)* conf_ = nullptr;
};

}  // namespace tavlib::test
