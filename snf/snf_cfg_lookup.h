#pragma once
// The store file configuration of many destinations one after the other, as
// a store list load asks for it: the values and the effect on the current
// values and the cached client are those of GetSnfMaxSize and GetSnfMaxPeriod
// called for each destination in turn, but the service's client subkeys are
// enumerated once and each node's registry values are read once. The registry
// is taken not to change while one lookup lives; a registry call that fails
// is left to ReadRegSnfCfg, called as the getters call it, so that every
// failure is logged and reported as before.
#include <cstdint>
#include <string>
#include <unordered_map>

#include "msglib/records.h"
#include "platform/registry.h"

struct SnfCfgValues {
    std::int32_t maxSize;
    std::int32_t maxPeriod;
};

struct SnfCfgLookup {
    SnfCfgLookup() = default;
    SnfCfgLookup(const SnfCfgLookup&) = delete;
    SnfCfgLookup& operator=(const SnfCfgLookup&) = delete;
    ~SnfCfgLookup();

    // Registry values already read, by node name with ASCII letters in lower
    // case (the registry's and the getters' comparison).
    std::unordered_map<std::string, SnfCfgValues> known;
    // The service's key, held open, and its subkeys by folded name (the
    // first in enumeration order of those that fold alike), read at the
    // first registry lookup. Not usable: each node goes to ReadRegSnfCfg.
    bool subkeysRead = false;
    bool subkeysUsable = false;
    platform::RegKey key = nullptr;
    std::unordered_map<std::string, std::string> subkeys;
};

// GetSnfMaxSize and GetSnfMaxPeriod of destination, in one.
SnfCfgValues lookUpSnfCfg(SnfCfgLookup& lookup, const AddressRecord& destination);

// The parts of a lookup, beside the routines of the registry. A name with its
// ASCII letters in lower case.
std::string foldedSnfName(const char* name);
// Reads the service's client subkeys into lookup.
void readSnfClientSubkeys(SnfCfgLookup& lookup);
// The values of lookup's subkey name as ReadRegSnfCfg reads them; false when
// a registry call failed (ReadRegSnfCfg then tells how).
bool readSnfClientValues(const SnfCfgLookup& lookup, const std::string& name, SnfCfgValues& values);
