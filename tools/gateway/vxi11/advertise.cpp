#include "advertise.h"

#ifdef TAVRIL_GATEWAY_AVAHI
#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
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

// The Avahi client runs its own thread (a threaded poll); its callbacks run
// there, and every other use of the client or its group holds the poll's
// lock.
struct Advertiser::State {
    std::function<void(std::string_view)> log;
    int interfaceIndex = -1;
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    std::vector<Service> services;
    bool running = false;  // the daemon answered

    void note(const std::string& text) const {
        if (log) log(text);
    }
    void publish();
    static void on_client(AvahiClient* client, AvahiClientState state, void* self);
    static void on_group(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self);
};

void Advertiser::State::publish() {
    if (!running || client == nullptr) return;
    if (group == nullptr) group = avahi_entry_group_new(client, &State::on_group, this);
    if (group == nullptr) {
        note("mDNS: cannot announce: " + std::string(avahi_strerror(avahi_client_errno(client))));
        return;
    }
    avahi_entry_group_reset(group);
    if (services.empty()) return;
    const AvahiIfIndex where = interfaceIndex < 0 ? AVAHI_IF_UNSPEC : interfaceIndex;
    for (Service& service : services) {
        AvahiStringList* txt = nullptr;
        for (const std::string& entry : service.txt) txt = avahi_string_list_add(txt, entry.c_str());
        const int error = avahi_entry_group_add_service_strlst(
            group, where, AVAHI_PROTO_UNSPEC, AvahiPublishFlags{}, service.name.c_str(),
            service.type.c_str(), nullptr, nullptr, service.port, txt);
        avahi_string_list_free(txt);
        if (error == AVAHI_ERR_COLLISION) {
            char* other = avahi_alternative_service_name(service.name.c_str());
            note("mDNS: the name \"" + service.name + "\" is taken; now \"" + other + "\"");
            service.name = other;
            avahi_free(other);
            publish();
            return;
        }
        if (error < 0) {
            note("mDNS: cannot announce " + service.type + " \"" + service.name + "\": " + avahi_strerror(error));
            return;
        }
    }
    if (const int error = avahi_entry_group_commit(group); error < 0)
        note("mDNS: cannot announce: " + std::string(avahi_strerror(error)));
}

void Advertiser::State::on_group(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
    auto& me = *static_cast<State*>(self);
    me.group = group;
    if (state == AVAHI_ENTRY_GROUP_ESTABLISHED) {
        for (const Service& service : me.services)
            me.note("mDNS: announcing " + service.type + " \"" + service.name + "\" on port " +
                    std::to_string(service.port));
    } else if (state == AVAHI_ENTRY_GROUP_COLLISION) {
        // Another host took a name meanwhile: every name gets its next
        // alternative.
        for (Service& service : me.services) {
            char* other = avahi_alternative_service_name(service.name.c_str());
            service.name = other;
            avahi_free(other);
        }
        me.note("mDNS: a name is taken on the network; announcing under other names");
        me.publish();
    } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
        me.note("mDNS: announcing failed: " +
                std::string(avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group)))));
    }
}

void Advertiser::State::on_client(AvahiClient* client, AvahiClientState state, void* self) {
    auto& me = *static_cast<State*>(self);
    me.client = client;
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        me.running = true;
        me.publish();
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host name changes: announced again once it runs.
        me.running = false;
        if (me.group != nullptr) avahi_entry_group_reset(me.group);
        break;
    case AVAHI_CLIENT_FAILURE:
        me.running = false;
        me.note("mDNS: the Avahi daemon went away (" +
                std::string(avahi_strerror(avahi_client_errno(client))) + "); not announcing");
        break;
    case AVAHI_CLIENT_CONNECTING: break;
    }
}

Advertiser::Advertiser(std::function<void(std::string_view)> log, int interfaceIndex)
    : state_(std::make_unique<State>()) {
    state_->log = std::move(log);
    state_->interfaceIndex = interfaceIndex;
}

Advertiser::~Advertiser() {
    if (state_->poll != nullptr) avahi_threaded_poll_stop(state_->poll);
    // With the poll's thread ended, nothing else touches the client; freeing
    // it withdraws the announcements.
    if (state_->client != nullptr) avahi_client_free(state_->client);
    if (state_->poll != nullptr) avahi_threaded_poll_free(state_->poll);
}

bool Advertiser::advertise(std::vector<Service> services) {
    State& state = *state_;
    if (state.poll == nullptr) {
        state.poll = avahi_threaded_poll_new();
        if (state.poll == nullptr) {
            state.note("mDNS: not announcing: out of memory");
            return false;
        }
        state.services = std::move(services);
        int error = 0;
        // Created before the poll's thread starts: the first callbacks run
        // here.
        AvahiClient* client = avahi_client_new(avahi_threaded_poll_get(state.poll), AvahiClientFlags{},
                                               &State::on_client, &state, &error);
        if (client == nullptr) {
            state.note("mDNS: not announcing: no Avahi daemon (" + std::string(avahi_strerror(error)) + ")");
            avahi_threaded_poll_free(state.poll);
            state.poll = nullptr;
            state.client = nullptr;
            return false;
        }
        state.client = client;
        if (avahi_threaded_poll_start(state.poll) < 0) {
            state.note("mDNS: not announcing: cannot start its thread");
            return false;
        }
        return true;
    }
    avahi_threaded_poll_lock(state.poll);
    state.services = std::move(services);
    state.publish();
    avahi_threaded_poll_unlock(state.poll);
    return state.client != nullptr;
}

#else

struct Advertiser::State {
    std::function<void(std::string_view)> log;
    bool told = false;
};

Advertiser::Advertiser(std::function<void(std::string_view)> log, int interfaceIndex)
    : state_(std::make_unique<State>()) {
    state_->log = std::move(log);
    (void)interfaceIndex;
}

Advertiser::~Advertiser() = default;

bool Advertiser::advertise(std::vector<Service> services) {
    (void)services;
    if (!state_->told && state_->log)
#ifdef _WIN32
        state_->log("mDNS: not announcing: no mDNS on this system");
#else
        state_->log("mDNS: not announcing: built without libavahi-client");
#endif
    state_->told = true;
    return false;
}

#endif

}  // namespace tavlib::gateway::vxi11
