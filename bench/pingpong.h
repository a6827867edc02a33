#pragma once
// Two processes exchanging messages over the real local transport: this one
// sends a message to a forked echo process and waits for the copy to come
// back. Benchmarks use it as the baseline of message round trips.
//
//   bench::PingPong pingPong;
//   if (!pingPong.start()) ...;
//   for (...) pingPong.roundTrip();
//
// start() gives the pair a fresh ZENTO_HOME; stop() (or the destructor) ends
// the echo process and removes it again. The echo process can be pinned to a
// CPU of its own.
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "msglib/head_writer.h"
#include "msglib/msglib.h"

namespace bench {

class PingPong {
public:
    static constexpr std::uint32_t kDefaultMessageBytes = 400;

    PingPong() = default;
    PingPong(const PingPong&) = delete;
    PingPong& operator=(const PingPong&) = delete;
    ~PingPong() { stop(); }

    bool start(std::uint32_t messageBytes = kDefaultMessageBytes, int echoCpu = -1) {
        if (!makeHome()) return false;
        int ready[2];
        if (::pipe(ready) != 0) return false;
        pongPid_ = ::fork();
        if (pongPid_ < 0) return false;
        if (pongPid_ == 0) {
            ::close(ready[0]);
            if (echoCpu >= 0) {
                cpu_set_t set;
                CPU_ZERO(&set);
                CPU_SET(echoCpu, &set);
                if (::sched_setaffinity(0, sizeof set, &set) != 0) ::_exit(2);
            }
            ::_exit(runPong(ready[1]));
        }
        ::close(ready[1]);
        char byte = 0;
        const bool pongReady = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        if (!pongReady) return false;

        StatusBlock status;
        ZENTO_SERVER_INIT(1, "PING", self_, status);
        if (statusFailed(status)) return false;
        registered_ = true;
        return buildRequest(messageBytes);
    }

    // One message there and back; false when either way failed.
    bool roundTrip() {
        StatusBlock status;
        ZENTO_SERVER_SEND(50, request_.view(), status);
        if (statusFailed(status)) return false;
        for (;;) {
            const std::int32_t length = ZENTO_SERVER_RECEIVE(50, reply_, status);
            if (length <= 0) return false;
            if (ZENTO_SERVER_MSGTYPE(reply_.view()) != kMsgNotification) return true;
        }
    }

    // User and system time of the echo process, once stopped.
    double echoCpuSeconds() const { return echoCpuSeconds_; }

    void stop() {
        StatusBlock status;
        if (pongPid_ > 0) {
            Message shut;
            buildNotification(kTransShut, self_, pongAddress(), 0, shut, status);
            if (!statusFailed(status)) ZENTO_SERVER_SEND(10, shut.view(), status);
            if (statusFailed(status)) ::kill(pongPid_, SIGKILL);
            rusage usage{};
            ::wait4(pongPid_, nullptr, 0, &usage);
            echoCpuSeconds_ = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
            pongPid_ = -1;
        }
        if (registered_) ZENTO_SERVER_EXIT(status);
        registered_ = false;
        if (!home_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(home_, ignored);
            if (previousHome_) {
                ::setenv("ZENTO_HOME", previousHome_->c_str(), 1);
            } else {
                ::unsetenv("ZENTO_HOME");
            }
            home_.clear();
        }
    }

private:
    static AddressRecord pongAddress() { return makeAddress("", "PONG"); }

    bool makeHome() {
        std::string pattern = "/tmp/zento-pingpong-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) return false;
        home_ = pattern;
        if (const char* old = ::getenv("ZENTO_HOME")) previousHome_ = old;
        ::setenv("ZENTO_HOME", home_.c_str(), 1);
        return true;
    }

    bool buildRequest(std::uint32_t bytes) {
        if (bytes < head::kSize || !allocateMessage(request_, bytes)) return false;
        HeadFields fields;
        fields.length = bytes;
        fields.messageType = kMsgRequest;
        fields.transType = kTransGet;
        fields.destination = pongAddress();
        fields.source = self_;
        writeHead(request_.data(), fields);
        return true;
    }

    // The echo process: every request goes back to its source; SHUT ends it,
    // and so does a long silence, should its parent have died.
    static int runPong(int readyFd) {
        StatusBlock status;
        AddressRecord self{};
        ZENTO_SERVER_INIT(1, "PONG", self, status);
        if (statusFailed(status)) return 2;
        const char byte = 'r';
        if (::write(readyFd, &byte, 1) != 1) return 2;
        ::close(readyFd);
        for (int idlePasses = 0; idlePasses < 30;) {
            Message msg;
            const std::int32_t length = ZENTO_SERVER_RECEIVE(10, msg, status);
            if (length < 0) return 2;
            if (length == 0) {
                ++idlePasses;
                continue;
            }
            idlePasses = 0;
            if (ZENTO_SERVER_MSGTYPE(msg.view()) == kMsgNotification) {
                if (ZENTO_SERVER_TRANSTYPE(msg.view()) == kTransShut) break;
                continue;
            }
            ZENTO_SERVER_SET_MSGDEST(msg.span(), ZENTO_SERVER_MSGSRC(msg.view()));
            ZENTO_SERVER_SET_MSGSRC(msg.span(), self);
            ZENTO_SERVER_SEND(50, msg.view(), status);
            if (statusFailed(status)) return 2;
        }
        ZENTO_SERVER_EXIT(status);
        return 0;
    }

    std::string home_;
    std::optional<std::string> previousHome_;
    pid_t pongPid_ = -1;
    double echoCpuSeconds_ = 0;
    bool registered_ = false;
    AddressRecord self_{};
    Message request_;
    Message reply_;
};

}  // namespace bench
