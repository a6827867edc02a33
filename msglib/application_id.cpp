#include "msglib/application_id.h"

#include <mutex>

#include "msglib/msglib.h"

namespace {
std::mutex idLock;
AddressRecord registered{};
}  // namespace

namespace msglib {
void rememberApplicationId(const AddressRecord& self) {
    const std::lock_guard<std::mutex> guard(idLock);
    registered = self;
}
}  // namespace msglib

AddressRecord& ZENTO_USR_GetApplicationID(AddressRecord& record) {
    {
        const std::lock_guard<std::mutex> guard(idLock);
        record = registered;
    }
    // Before registration (and after it ends) the process is still on this node.
    if (record.node[0] == '\0') setFixedText(record.node, sizeof record.node, zentoNode());
    return record;
}
