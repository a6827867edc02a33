#pragma once
// Byte images of the list files written out offset by offset, independently
// of the records' encoders, and a fixture with a DLGP address, diagnostics on
// and the store task running.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "lists/list_tables.h"
#include "msglib/diag_switch.h"
#include "msglib/msglib.h"
#include "msglib/task_kind.h"
#include "snf/snf_config.h"
#include "tests/diag/diag_log.h"
#include "tests/snf/snf_test_support.h"

namespace listtest {

using Bytes = std::vector<std::uint8_t>;

inline void put32(Bytes& image, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
inline void put64(Bytes& image, std::size_t at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) image[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
inline void putText(Bytes& image, std::size_t at, const std::string& text) {
    std::memcpy(&image[at], text.data(), text.size());
}

inline Bytes header(std::uint32_t signature, std::uint32_t revision, std::uint32_t count) {
    Bytes image(12, 0);
    put32(image, 0, signature);
    put32(image, 4, revision);
    put32(image, 8, count);
    return image;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline Bytes fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

struct UnsolFields {
    std::int32_t listId = 0;
    std::string destNode, destService, sourceNode, sourceService;
    std::uint32_t inUse = 1;
    std::uint32_t flag136 = 0;
};

inline Bytes unsolImage(const UnsolFields& f) {
    Bytes image(140, 0);
    put32(image, 0, static_cast<std::uint32_t>(f.listId));
    putText(image, 4, f.destNode);
    putText(image, 36, f.destService);
    putText(image, 68, f.sourceNode);
    putText(image, 100, f.sourceService);
    put32(image, 132, f.inUse);
    put32(image, 136, f.flag136);
    return image;
}

inline UnsolListEntry unsolEntry(const UnsolFields& f) {
    UnsolListEntry entry;
    entry.listId = f.listId;
    entry.destination = makeAddress(f.destNode, f.destService);
    entry.requestSource = makeAddress(f.sourceNode, f.sourceService);
    entry.inUse = f.inUse;
    entry.flag136 = f.flag136;
    return entry;
}

struct StoreFields {
    std::string fileName;
    std::uint32_t word1024 = 0;
    std::int32_t fileHandle = 0;
    std::int64_t offset = 0;
    std::string node, service;
    std::uint32_t isComOk = 0, isAcked = 0, existsInList = 1, existsInDisk = 0, needToRetry = 0;
    std::int32_t maxSize = 0, maxPeriod = 0;
    std::uint32_t word1132 = 0;
    std::int32_t expirationMs = 0, expirationSeconds = 0;
    std::uint32_t flag1144 = 0, flag1148 = 0;
};

inline Bytes storeImage(const StoreFields& f) {
    Bytes image(1152, 0);
    putText(image, 0, f.fileName);
    put32(image, 1024, f.word1024);
    put32(image, 1028, static_cast<std::uint32_t>(f.fileHandle));
    put64(image, 1032, static_cast<std::uint64_t>(f.offset));
    putText(image, 1040, f.node);
    putText(image, 1072, f.service);
    put32(image, 1104, f.isComOk);
    put32(image, 1108, f.isAcked);
    put32(image, 1112, f.existsInList);
    put32(image, 1116, f.existsInDisk);
    put32(image, 1120, f.needToRetry);
    put32(image, 1124, static_cast<std::uint32_t>(f.maxSize));
    put32(image, 1128, static_cast<std::uint32_t>(f.maxPeriod));
    put32(image, 1132, f.word1132);
    put32(image, 1136, static_cast<std::uint32_t>(f.expirationMs));
    put32(image, 1140, static_cast<std::uint32_t>(f.expirationSeconds));
    put32(image, 1144, f.flag1144);
    put32(image, 1148, f.flag1148);
    return image;
}

inline StoreListEntry storeEntry(const StoreFields& f) {
    StoreListEntry entry;
    setFixedText(entry.FileName, sizeof entry.FileName, f.fileName);
    entry.word1024 = f.word1024;
    entry.FileHandle = f.fileHandle;
    entry.offset = f.offset;
    entry.msgDest = makeAddress(f.node, f.service);
    entry.isComOk = f.isComOk;
    entry.isAcked = f.isAcked;
    entry.existsInList = f.existsInList;
    entry.existsInDisk = f.existsInDisk;
    entry.needToRetry = f.needToRetry;
    entry.maxSize = f.maxSize;
    entry.maxPeriod = f.maxPeriod;
    entry.word1132 = f.word1132;
    entry.expirationTime = {f.expirationMs, f.expirationSeconds};
    entry.flag1144 = f.flag1144;
    entry.flag1148 = f.flag1148;
    return entry;
}

// Its own ZENTO_HOME and registry, the DLGP address SERVERNODE/SVC, the store
// task running and diagnostics on.
class ListFileTest : public snftest::SnfTest {
protected:
    void SetUp() override {
        SnfTest::SetUp();
        resetSnfCfgState();
        const AddressRecord dlgp = makeAddress("SERVERNODE", "SVC");
        SetDlgpAddress(&dlgp);
        ::setenv("ZENTO_DIAG", "on", 1);
        msglib::refreshDiagnosticSwitch();
        previousKind_ = currentTaskKind();
        setTaskKind(kTaskStore);
    }
    void TearDown() override {
        ::unsetenv("ZENTO_DIAG");
        msglib::refreshDiagnosticSwitch();
        setTaskKind(previousKind_);
        resetSnfCfgState();
    }
    // The diagnostic records filed since the last call.
    std::vector<diagtest::Filed> takeFiled() {
        std::vector<diagtest::Filed> all = diagtest::readDiagLog(home_);
        std::vector<diagtest::Filed> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
        seen_ = all.size();
        return fresh;
    }
    std::vector<int> takeFiledCodes() {
        std::vector<int> codes;
        for (const diagtest::Filed& filed : takeFiled()) codes.push_back(filed.code);
        return codes;
    }

    std::string unsolFile_ = home_.file("ZENTO_UNSOL_LIST.SVC");
    std::string storeFile_ = home_.file("ZENTO_STORE_LIST.SVC");

private:
    std::int32_t previousKind_ = 0;
    std::size_t seen_ = 0;
};

}  // namespace listtest
