#pragma once

// The Windows Sockets error numbers that CWSocketException carries on every platform. On
// Windows they are what WSAGetLastError reports; elsewhere the wrapper translates errno and the
// getaddrinfo codes into them. Each constant names the Winsock symbol it stands for.
namespace socket_error {

inline constexpr int kNotEnoughMemory = 8;                // WSA_NOT_ENOUGH_MEMORY
inline constexpr int kInterrupted = 10004;                // WSAEINTR
inline constexpr int kBadHandle = 10009;                  // WSAEBADF
inline constexpr int kAccessDenied = 10013;               // WSAEACCES
inline constexpr int kBadAddress = 10014;                 // WSAEFAULT
inline constexpr int kInvalidArgument = 10022;            // WSAEINVAL
inline constexpr int kTooManySockets = 10024;             // WSAEMFILE
inline constexpr int kWouldBlock = 10035;                 // WSAEWOULDBLOCK
inline constexpr int kInProgress = 10036;                 // WSAEINPROGRESS
inline constexpr int kAlready = 10037;                    // WSAEALREADY
inline constexpr int kNotSocket = 10038;                  // WSAENOTSOCK
inline constexpr int kDestinationRequired = 10039;        // WSAEDESTADDRREQ
inline constexpr int kMessageSize = 10040;                // WSAEMSGSIZE
inline constexpr int kWrongProtocolType = 10041;          // WSAEPROTOTYPE
inline constexpr int kNoProtocolOption = 10042;           // WSAENOPROTOOPT
inline constexpr int kProtocolNotSupported = 10043;       // WSAEPROTONOSUPPORT
inline constexpr int kSocketTypeNotSupported = 10044;     // WSAESOCKTNOSUPPORT
inline constexpr int kOperationNotSupported = 10045;      // WSAEOPNOTSUPP
inline constexpr int kFamilyNotSupported = 10046;         // WSAEPFNOSUPPORT
inline constexpr int kAddressFamilyNotSupported = 10047;  // WSAEAFNOSUPPORT
inline constexpr int kAddressInUse = 10048;               // WSAEADDRINUSE
inline constexpr int kAddressNotAvailable = 10049;        // WSAEADDRNOTAVAIL
inline constexpr int kNetworkDown = 10050;                // WSAENETDOWN
inline constexpr int kNetworkUnreachable = 10051;         // WSAENETUNREACH
inline constexpr int kNetworkReset = 10052;               // WSAENETRESET
inline constexpr int kConnectionAborted = 10053;          // WSAECONNABORTED
inline constexpr int kConnectionReset = 10054;            // WSAECONNRESET
inline constexpr int kNoBufferSpace = 10055;              // WSAENOBUFS
inline constexpr int kIsConnected = 10056;                // WSAEISCONN
inline constexpr int kNotConnected = 10057;               // WSAENOTCONN
inline constexpr int kShutDown = 10058;                   // WSAESHUTDOWN
inline constexpr int kTooManyReferences = 10059;          // WSAETOOMANYREFS
inline constexpr int kTimedOut = 10060;                   // WSAETIMEDOUT
inline constexpr int kConnectionRefused = 10061;          // WSAECONNREFUSED
inline constexpr int kLoop = 10062;                       // WSAELOOP
inline constexpr int kNameTooLong = 10063;                // WSAENAMETOOLONG
inline constexpr int kHostDown = 10064;                   // WSAEHOSTDOWN
inline constexpr int kHostUnreachable = 10065;            // WSAEHOSTUNREACH
inline constexpr int kNotEmpty = 10066;                   // WSAENOTEMPTY
inline constexpr int kTooManyUsers = 10068;               // WSAEUSERS
inline constexpr int kDiskQuota = 10069;                  // WSAEDQUOT
inline constexpr int kStale = 10070;                      // WSAESTALE
inline constexpr int kRemote = 10071;                     // WSAEREMOTE
inline constexpr int kNotInitialised = 10093;             // WSANOTINITIALISED
inline constexpr int kSystemCallFailure = 10107;          // WSASYSCALLFAILURE
inline constexpr int kHostNotFound = 11001;               // WSAHOST_NOT_FOUND
inline constexpr int kTryAgain = 11002;                   // WSATRY_AGAIN
inline constexpr int kNoRecovery = 11003;                 // WSANO_RECOVERY
inline constexpr int kNoData = 11004;                     // WSANO_DATA

}  // namespace socket_error
