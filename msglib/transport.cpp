#include "msglib/transport.h"

#include "msglib/application_id.h"
#include "msglib/msglib.h"

namespace msglib {

namespace {
Transport* installed = nullptr;
}  // namespace

void installTransport(Transport* transport) { installed = transport; }

Transport& installedTransport() { return installed != nullptr ? *installed : socketTransport(); }

}  // namespace msglib

void ZENTO_SERVER_INIT(std::int32_t mode, std::string_view serviceName, AddressRecord& self, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    msglib::installedTransport().init(mode, serviceName, self, status);
    if (!statusFailed(status)) msglib::rememberApplicationId(self);
}

void ZENTO_SERVER_ACCEPT(StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    msglib::installedTransport().accept(status);
}

std::int32_t ZENTO_SERVER_RECEIVE(std::int32_t timeout, Message& msg, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    return msglib::installedTransport().receive(timeout, msg, status);
}

void ZENTO_SERVER_SEND(std::int32_t timeout, MsgView msg, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    msglib::installedTransport().send(timeout, msg, status);
}

void ZENTO_SERVER_EXIT(StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    msglib::installedTransport().exit(status);
    msglib::rememberApplicationId(AddressRecord{});
}

void ZENTO_SERVER_GETTIME(TimeStamp& now) { now = msglib::installedTransport().now(); }

std::uint64_t clockMilliseconds() {
    TimeStamp now{};
    ZENTO_SERVER_GETTIME(now);
    return std::uint64_t{static_cast<std::uint32_t>(now.seconds)} * 1000u + static_cast<std::uint32_t>(now.milliseconds);
}

void ZENTO_SERVER_SLEEP(std::int32_t units) { msglib::installedTransport().sleep(units); }
