#include "instrument_calls.h"

#include "instrument_handle.h"

namespace tavlib::gateway {
namespace {

class LibraryCalls final : public InstrumentCalls {
public:
    Opened open(std::uint32_t slot) override {
        tools::InstrumentHandle::Opened opened = tools::InstrumentHandle::open(slot);
        Opened result{opened.result, opened.errorCode, opened.identity};
        // A handle that was opened but not identified closes with `opened`.
        if (opened.result == TAVRIL_OPEN_OK) handle_ = std::move(opened.handle);
        return result;
    }
    bool is_open() const override { return handle_.is_open(); }
    std::int32_t close(std::uint32_t& errorCode) override {
        const tools::InstrumentHandle::Closed closed = handle_.close();
        errorCode = closed.errorCode;
        return closed.result;
    }
    std::int32_t write(const char* text, std::uint32_t timeoutSeconds, std::uint32_t& written,
                       std::uint32_t& errorCode) override {
        return Write_Tavril(handle_.get(), text, timeoutSeconds, &written, &errorCode);
    }
    std::int32_t read(char* buffer, std::uint32_t maxBytes, std::uint32_t timeoutSeconds, std::uint32_t& count,
                      std::uint32_t& errorCode) override {
        return Read_Tavril(handle_.get(), maxBytes, TAVRIL_MODE_RAW, timeoutSeconds, buffer, &count, &errorCode);
    }

private:
    tools::InstrumentHandle handle_;
};

}  // namespace

std::unique_ptr<InstrumentCalls> library_calls() { return std::make_unique<LibraryCalls>(); }

}  // namespace tavlib::gateway
