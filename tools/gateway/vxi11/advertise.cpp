#include "advertise.h"

#ifdef TAVRIL_GATEWAY_AVAHI
#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/timeval.h>

#include <algorithm>
#include <list>
#include <mutex>
#endif

namespace tavlib::gateway::vxi11 {

std::string service_name(std::string_view model, std::string_view serial, std::uint32_t slot) {
    return std::string(model) + " " + std::string(serial) + " slot " + std::to_string(slot);
}

std::vector<std::string> instrument_txt(std::string_view manufacturer, std::string_view model,
                                        std::string_view serial, std::string_view firmware) {
    return {"txtvers=1", "Manufacturer=" + std::string(manufacturer), "Model=" + std::string(model),
            "SerialNumber=" + std::string(serial), "FirmwareVersion=" + std::string(firmware)};
}

#ifdef TAVRIL_GATEWAY_AVAHI

namespace {

constexpr unsigned kRetryMs = 5000;  // a client the library could not make

bool same(const Service& a, const Service& b) {
    return a.type == b.type && a.name == b.name && a.port == b.port && a.txt == b.txt;
}

}  // namespace

// Everything of the Avahi client runs on the advertiser's thread, around a
// simple poll: the client, its entry groups and their callbacks.  Other
// threads only hand over the wanted services (under `mutex`) and wake the
// poll.  Each service has an entry group of its own, so that a change
// touches only the services it changes.
struct Advertiser::State {
    struct Entry {
        State* owner = nullptr;
        Service service;    // as wanted
        std::string name;   // as announced: another when the name was taken
        AvahiEntryGroup* group = nullptr;
        bool established = false;
    };

    std::function<void(std::string_view)> log;
    int interfaceIndex = -1;
    AvahiSimplePoll* poll = nullptr;

    std::mutex mutex;
    std::vector<Service> wanted;  // under mutex
    bool changed = false;         // under mutex
    bool quit = false;            // under mutex

    // The thread's own.
    AvahiClient* client = nullptr;
    AvahiTimeout* retry = nullptr;
    std::list<Entry> entries;
    std::vector<Service> services;  // the last wanted, taken
    bool running = false;    // the daemon serves the client
    bool reconnect = false;  // make the client anew at the next turn
    bool away = false;       // told that the daemon is not there
    bool toldNoDaemon = false;

    ~State() {
        if (poll != nullptr) avahi_simple_poll_free(poll);
    }
    void note(const std::string& text) const {
        if (log) log(text);
    }
    void run(std::promise<void>& finished);
    void connect();
    void drop_client();
    void sync();
    void commit(Entry& entry);
    static void on_client(AvahiClient* client, AvahiClientState state, void* self);
    static void on_group(AvahiEntryGroup* group, AvahiEntryGroupState state, void* entry);
    static void on_retry(AvahiTimeout* timeout, void* self);
};

void Advertiser::State::run(std::promise<void>& finished) {
    connect();
    for (;;) {
        {
            const std::lock_guard lock(mutex);
            if (quit) break;
            if (changed) {
                services = wanted;
                changed = false;
            }
        }
        if (reconnect) {
            reconnect = false;
            drop_client();
            connect();
        }
        sync();
        if (avahi_simple_poll_iterate(poll, -1) != 0) {
            const std::lock_guard lock(mutex);
            if (!quit) note("mDNS: the announcements' event loop failed; not announcing");
            break;
        }
    }
    // Freeing the client withdraws every group.
    drop_client();
    finished.set_value();
}

void Advertiser::State::connect() {
    int error = 0;
    // NO_FAIL: without the daemon the client waits for it to appear
    // (CONNECTING) rather than failing.
    AvahiClient* made = avahi_client_new(avahi_simple_poll_get(poll), AVAHI_CLIENT_NO_FAIL,
                                         &State::on_client, this, &error);
    if (made != nullptr) {
        client = made;
        return;
    }
    // No D-Bus system bus, for one: tried again a little later.
    if (!toldNoDaemon)
        note("mDNS: not announcing: no Avahi daemon (" + std::string(avahi_strerror(error)) +
             "); trying again every " + std::to_string(kRetryMs / 1000) + " s");
    toldNoDaemon = true;
    away = true;
    timeval when{};
    const AvahiPoll* api = avahi_simple_poll_get(poll);
    retry = api->timeout_new(api, avahi_elapse_time(&when, kRetryMs, 0), &State::on_retry, this);
}

void Advertiser::State::on_retry(AvahiTimeout* timeout, void* self) {
    auto& me = *static_cast<State*>(self);
    avahi_simple_poll_get(me.poll)->timeout_free(timeout);
    me.retry = nullptr;
    me.reconnect = true;
}

void Advertiser::State::drop_client() {
    if (retry != nullptr) {
        avahi_simple_poll_get(poll)->timeout_free(retry);
        retry = nullptr;
    }
    if (client != nullptr) avahi_client_free(client);  // and its groups
    client = nullptr;
    running = false;
    for (Entry& entry : entries) {
        entry.group = nullptr;
        entry.established = false;
    }
}

// Brings the entries to the wanted services; while the daemon runs, every
// entry without its group is announced.
void Advertiser::State::sync() {
    for (auto entry = entries.begin(); entry != entries.end();) {
        const bool kept = std::any_of(services.begin(), services.end(),
                                      [&](const Service& service) { return same(service, entry->service); });
        if (kept) {
            ++entry;
            continue;
        }
        if (entry->established)
            note("mDNS: withdrawing " + entry->service.type + " \"" + entry->name + "\" on port " +
                 std::to_string(entry->service.port));
        if (entry->group != nullptr) avahi_entry_group_free(entry->group);
        entry = entries.erase(entry);
    }
    for (const Service& service : services) {
        const bool known = std::any_of(entries.begin(), entries.end(),
                                       [&](const Entry& entry) { return same(service, entry.service); });
        if (!known) entries.push_back(Entry{this, service, service.name, nullptr, false});
    }
    if (!running) return;
    for (Entry& entry : entries)
        if (entry.group == nullptr) commit(entry);
}

void Advertiser::State::commit(Entry& entry) {
    if (entry.group == nullptr) entry.group = avahi_entry_group_new(client, &State::on_group, &entry);
    if (entry.group == nullptr) {
        note("mDNS: cannot announce " + entry.service.type + " \"" + entry.name +
             "\": " + avahi_strerror(avahi_client_errno(client)));
        return;
    }
    const AvahiIfIndex where = interfaceIndex < 0 ? AVAHI_IF_UNSPEC : interfaceIndex;
    AvahiStringList* txt = nullptr;
    for (const std::string& item : entry.service.txt) txt = avahi_string_list_add(txt, item.c_str());
    int error = 0;
    for (int attempt = 0; attempt < 16; ++attempt) {
        error = avahi_entry_group_add_service_strlst(entry.group, where, AVAHI_PROTO_UNSPEC,
                                                     AvahiPublishFlags{}, entry.name.c_str(),
                                                     entry.service.type.c_str(), nullptr, nullptr,
                                                     entry.service.port, txt);
        if (error != AVAHI_ERR_COLLISION) break;
        char* other = avahi_alternative_service_name(entry.name.c_str());
        note("mDNS: the name \"" + entry.name + "\" is taken; now \"" + other + "\"");
        entry.name = other;
        avahi_free(other);
    }
    avahi_string_list_free(txt);
    if (error >= 0) error = avahi_entry_group_commit(entry.group);
    if (error < 0)
        note("mDNS: cannot announce " + entry.service.type + " \"" + entry.name + "\": " + avahi_strerror(error));
}

void Advertiser::State::on_group(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
    auto& entry = *static_cast<Entry*>(self);
    entry.group = group;
    if (state == AVAHI_ENTRY_GROUP_ESTABLISHED) {
        if (!entry.established)
            entry.owner->note("mDNS: announcing " + entry.service.type + " \"" + entry.name +
                              "\" on port " + std::to_string(entry.service.port));
        entry.established = true;
    } else if (state == AVAHI_ENTRY_GROUP_COLLISION) {
        // Another host took the name meanwhile: its next alternative.
        char* other = avahi_alternative_service_name(entry.name.c_str());
        entry.owner->note("mDNS: the name \"" + entry.name + "\" is taken on the network; now \"" +
                          other + "\"");
        entry.name = other;
        avahi_free(other);
        entry.established = false;
        avahi_entry_group_reset(group);
        entry.owner->commit(entry);
    } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
        entry.owner->note("mDNS: announcing " + entry.service.type + " \"" + entry.name + "\" failed: " +
                          avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
    }
}

void Advertiser::State::on_client(AvahiClient* client, AvahiClientState state, void* self) {
    auto& me = *static_cast<State*>(self);
    me.client = client;
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        if (me.away) me.note("mDNS: the Avahi daemon is running: announcing");
        me.away = false;
        me.toldNoDaemon = false;
        me.running = true;
        me.sync();
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host name changes: everything is announced again once it
        // runs.
        me.running = false;
        for (Entry& entry : me.entries) {
            if (entry.group != nullptr) avahi_entry_group_free(entry.group);
            entry.group = nullptr;
            entry.established = false;
        }
        break;
    case AVAHI_CLIENT_FAILURE:
        me.running = false;
        me.away = true;
        if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
            // The daemon ended (or restarts): a new client waits for it.
            me.note("mDNS: the Avahi daemon went away; announcing again once it is back");
            me.reconnect = true;
        } else {
            me.note("mDNS: the Avahi client failed (" + std::string(avahi_strerror(avahi_client_errno(client))) +
                    "); trying again in " + std::to_string(kRetryMs / 1000) + " s");
            timeval when{};
            const AvahiPoll* api = avahi_simple_poll_get(me.poll);
            if (me.retry == nullptr)
                me.retry = api->timeout_new(api, avahi_elapse_time(&when, kRetryMs, 0), &State::on_retry, &me);
        }
        break;
    case AVAHI_CLIENT_CONNECTING:
        me.running = false;
        if (!me.away)
            me.note("mDNS: not announcing: the Avahi daemon is not running; announcing once it starts");
        me.away = true;
        break;
    }
}

Advertiser::Advertiser(std::function<void(std::string_view)> log, int interfaceIndex)
    : state_(std::make_shared<State>()) {
    state_->log = std::move(log);
    state_->interfaceIndex = interfaceIndex;
    state_->poll = avahi_simple_poll_new();
    if (state_->poll == nullptr) {
        state_->note("mDNS: not announcing: out of memory");
        return;
    }
    auto finished = std::make_shared<std::promise<void>>();
    done_ = finished->get_future();
    // The thread keeps the state: after a shutdown that could not wait for
    // it, it ends on its own.
    thread_ = std::thread([state = state_, finished] { state->run(*finished); });
}

Advertiser::~Advertiser() {
    if (!thread_.joinable()) return;
    {
        const std::lock_guard lock(state_->mutex);
        state_->quit = true;
    }
    avahi_simple_poll_wakeup(state_->poll);
    if (done_.wait_for(std::chrono::milliseconds(500)) == std::future_status::ready)
        thread_.join();
    else
        thread_.detach();  // a daemon that does not answer: the process ends without waiting
}

void Advertiser::advertise(std::vector<Service> services) {
    if (state_->poll == nullptr) return;
    {
        const std::lock_guard lock(state_->mutex);
        state_->wanted = std::move(services);
        state_->changed = true;
    }
    avahi_simple_poll_wakeup(state_->poll);
}

#else

struct Advertiser::State {
    std::function<void(std::string_view)> log;
    bool told = false;
};

Advertiser::Advertiser(std::function<void(std::string_view)> log, int interfaceIndex)
    : state_(std::make_shared<State>()) {
    state_->log = std::move(log);
    (void)interfaceIndex;
}

Advertiser::~Advertiser() = default;

void Advertiser::advertise(std::vector<Service> services) {
    (void)services;
    if (!state_->told && state_->log)
#ifdef _WIN32
        state_->log("mDNS: not announcing: no mDNS on this system");
#else
        state_->log("mDNS: not announcing: built without libavahi-client");
#endif
    state_->told = true;
}

#endif

}  // namespace tavlib::gateway::vxi11
