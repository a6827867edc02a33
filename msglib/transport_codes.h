#pragma once
// Error codes of the transport (facility kFacilityLibrary, 9). A failing call
// loads the operating system's errno first (facility 1) when there is one,
// then one of these.
#include <cstdint>

// Registration.
constexpr std::int32_t kTransportNotRegistered = 9101;     // ACCEPT before INIT
constexpr std::int32_t kTransportAlreadyRegistered = 9102; // a second INIT without EXIT
constexpr std::int32_t kTransportBadServiceName = 9103;    // empty, too long, or not [A-Za-z0-9_.-]
constexpr std::int32_t kTransportServiceInUse = 9104;      // a live process serves the name
constexpr std::int32_t kTransportListenFailed = 9105;      // socket, bind or listen failed
constexpr std::int32_t kTransportPathTooLong = 9106;       // ZENTO_HOME too long for a socket path

// Accept and receive.
constexpr std::int32_t kTransportAcceptFailed = 9110;
constexpr std::int32_t kTransportReceiveFailed = 9111;     // poll failed
constexpr std::int32_t kTransportNoMemory = 9112;          // no buffer for a message

// Send.
constexpr std::int32_t kTransportBadMessage = 9120;        // shorter than a head, bad magic, length word not its size
constexpr std::int32_t kTransportNoDestination = 9121;     // destination service empty
constexpr std::int32_t kTransportNoRoute = 9122;           // remote node not in the routes file
constexpr std::int32_t kTransportNoSuchService = 9123;     // nothing listens under the name (no socket, refused)
constexpr std::int32_t kTransportConnectFailed = 9124;     // any other connect failure
constexpr std::int32_t kTransportSendTimedOut = 9125;      // connect or write did not finish in time
constexpr std::int32_t kTransportSendFailed = 9126;        // the connection broke during the write
