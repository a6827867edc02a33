#pragma once
// The transport behind ZENTO_SERVER_INIT, ACCEPT, RECEIVE, SEND, EXIT,
// GETTIME and SLEEP. Programs use the socket backend; a test installs another
// backend (for instance InProcessNetwork) for the calls to go through.
//
// Every call below receives an empty status block (the ZENTO_SERVER_* entry
// points empty it) and only loads entries into it.
#include <cstdint>
#include <string_view>

#include "msglib/message.h"
#include "msglib/records.h"
#include "msglib/status_block.h"

namespace msglib {

struct Transport {
    virtual ~Transport() = default;
    virtual void init(std::int32_t mode, std::string_view serviceName, AddressRecord& self, StatusBlock& status) = 0;
    virtual void accept(StatusBlock& status) = 0;
    virtual std::int32_t receive(std::int32_t timeout, Message& msg, StatusBlock& status) = 0;
    virtual void send(std::int32_t timeout, MsgView msg, StatusBlock& status) = 0;
    virtual void exit(StatusBlock& status) = 0;
    virtual TimeStamp now() = 0;
    virtual void sleep(std::int32_t units) = 0;
};

// The process's socket backend (the default).
Transport& socketTransport();

// Routes the ZENTO_SERVER_* calls to transport; nullptr restores the socket
// backend. The caller keeps transport alive while it is installed.
void installTransport(Transport* transport);
Transport& installedTransport();

// Installs a backend for the lifetime of a scope (a test's).
class ScopedTransport {
public:
    explicit ScopedTransport(Transport& transport) { installTransport(&transport); }
    ~ScopedTransport() { installTransport(nullptr); }
    ScopedTransport(const ScopedTransport&) = delete;
    ScopedTransport& operator=(const ScopedTransport&) = delete;
};

}  // namespace msglib
