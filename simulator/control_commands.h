// The control commands: one table that both runs them and writes `help`,
// their handlers, and the `wait` conditions that hold a client's further
// lines back (ControlChannel) until the devices meet them.
#pragma once

#include "control_channel.h"
#include "device_set.h"
#include "event_loop.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavlib::sim {

// What the commands act on besides the devices: the simulator around them.
class ControlHost {
public:
    virtual ~ControlHost() = default;
    virtual void print(const std::string& line) = 0;
    virtual bool tracing() const = 0;
    virtual void set_tracing(bool on) = 0;
    virtual void trace(const std::string& line) = 0;
    // Adds a device and says so; throws std::runtime_error.
    virtual Device& add_device(const std::shared_ptr<const InstrumentDef>& def) = 0;
    // Removes a device and says so.
    virtual void remove_device(std::uint32_t number) = 0;
    virtual void quit() = 0;
};

class ControlCommands {
    struct Call;  // one command being run

public:
    using ClientKey = ControlChannel::ClientKey;

    // What a command accepts after its name.  Checked in this order: the
    // number of words (and the first word's choices), the control channel,
    // the device.  A failed count or choice gets the reply
    // "error usage: " + the command's usage.
    struct ArgRule {
        std::size_t min = 0;
        std::size_t max = SIZE_MAX;
        std::string_view choices{};  // non-empty: the first word must be one of these (blank-separated)
        bool channel = false;        // refused without a control channel client
        bool device = false;         // the first word is a device number as `list` shows it
    };
    struct Command {
        std::string_view name;
        std::string_view usage;    // the command's line in `help` and its usage error
        std::string_view summary;  // behind the usage in `help`; may be empty
        std::string_view details;  // further `help` lines, separated by '\n'; may be empty
        ArgRule args;
        void (ControlCommands::*handler)(Call&);
    };
    static std::span<const Command> commands();
    // The table's entry for `name`, or nullptr.
    static const Command* find(std::string_view name);

    // `channel` receives the replies of `wait`s met later.
    ControlCommands(EventLoop& loop, DeviceSet& devices, ControlHost& host, ControlChannel& channel);
    ControlCommands(const ControlCommands&) = delete;
    ControlCommands& operator=(const ControlCommands&) = delete;

    // Runs one line.  `client` 0: not from the control channel (`wait` is
    // refused then).
    ControlReply run(std::string_view line, ClientKey client);

    // Something a `wait` may wait for has changed on the device.
    void device_changed(std::uint32_t number);
    // The client has left; its wait ends unanswered.
    void client_gone(ClientKey client) { waits_.erase(client); }

private:
    struct WaitTerm {
        std::string key;
        char op;  // '=', '>' (>=) or '<' (<=)
        std::uint64_t value;
    };
    struct Wait {
        std::uint32_t device = 0;
        std::vector<WaitTerm> terms;
        EventLoop::Timer timer;
    };

    void cmd_help(Call& call);
    void cmd_list(Call& call);
    void cmd_instruments(Call& call);
    void cmd_add(Call& call);
    void cmd_remove(Call& call);
    void cmd_fault(Call& call);
    void cmd_clear(Call& call);
    void cmd_faults(Call& call);
    void cmd_push(Call& call);
    void cmd_identity(Call& call);
    void cmd_stats(Call& call);
    void cmd_reset(Call& call);
    void cmd_wait(Call& call);
    void cmd_trace(Call& call);
    void cmd_quit(Call& call);

    Device* device_word(std::string_view word, std::vector<std::string>& lines);
    static std::optional<std::string> text_argument(Call& call);
    static std::optional<std::uint64_t> wait_value(const Device& device, std::string_view key);
    bool wait_met(const Wait& wait) const;
    void check_waits();
    // Ends the client's wait with `line` as its reply.
    void end_wait(ClientKey client, std::string line);

    EventLoop& loop_;
    DeviceSet& devices_;
    ControlHost& host_;
    ControlChannel& channel_;
    std::map<ClientKey, Wait> waits_;
    std::set<std::uint32_t> changedDevices_;
    EventLoop::Timer waitCheck_;
};

}  // namespace tavlib::sim
